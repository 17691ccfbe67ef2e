#include "service/command_method.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "runner/child_process.h"
#include "runner/env_block.h"
#include "service/log.h"
#include "wbem/variant_text.h"

namespace service {
namespace {

using scenario::FieldPath;
using scenario::IndexPath;
using scenario::InputError;

constexpr std::string_view kKeyPrefix = "AM_KEY_";
constexpr std::string_view kInPrefix = "AM_IN_";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsIntegerType(CIMTYPE type) {
  switch (type) {
    case CIM_SINT8:
    case CIM_UINT8:
    case CIM_SINT16:
    case CIM_UINT16:
    case CIM_SINT32:
    case CIM_UINT32:
    case CIM_SINT64:
    case CIM_UINT64:
      return true;
    default:
      return false;
  }
}

// The length of the valid UTF-8 sequence at the start of `text`, 0 if none.
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

std::string Hex32(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

// The argument list as the log shows it: each argument quoted, escaped and
// cut after kLoggedArgumentBytes, so that one log line stays within what
// journald keeps as one entry.
constexpr std::size_t kLoggedArgumentBytes = 512;

std::string ArgumentsText(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& argument : argv) {
    if (!text.empty()) text += ' ';
    text += '"';
    const std::string_view shown = std::string_view(argument).substr(0, kLoggedArgumentBytes);
    for (const char c : EscapeOutputLine(shown)) {
      if (c == '"') text += '\\';
      text += c;
    }
    text += '"';
    if (shown.size() < argument.size()) {
      text += "...(" + std::to_string(argument.size()) + " bytes)";
    }
  }
  return text;
}

struct NamedValue {
  std::string name;
  std::string variable;
  std::optional<std::string> text;  // nullopt: no value
};

// Logs one captured stream line by line, within the bounds.
void LogStream(const std::string& prefix, const char* stream, const runner::StreamChannel& channel,
               std::int64_t bound, int priority) {
  if (!channel.data || channel.length == 0) return;
  const auto captured = static_cast<std::size_t>(channel.length);
  const bool cut = static_cast<std::int64_t>(captured) > bound;
  std::string_view text(channel.data.get(), cut ? static_cast<std::size_t>(bound) : captured);
  int lines = 0;
  int unlogged = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (lines < kMaxLoggedLines) {
      Log(priority, prefix + stream + ": " + EscapeOutputLine(line));
      ++lines;
    } else {
      ++unlogged;
    }
  }
  if (unlogged > 0) {
    Log(priority, prefix + stream + ": " + std::to_string(unlogged) + " more lines not logged");
  }
  if (cut) {
    Log(priority, prefix + stream + ": output beyond max_output_bytes (" + std::to_string(bound) +
                      ") was read and dropped");
  }
}

}  // namespace

bool ParseCommandArgument(std::string_view text, CommandArgument* out, std::string* message) {
  out->clear();
  std::string literal;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
      literal += c;  // {{ or }}
      ++i;
      continue;
    }
    if (c == '}') {
      *message = "a lone \"}\" (write \"}}\" for a brace)";
      return false;
    }
    if (c != '{') {
      literal += c;
      continue;
    }
    const std::size_t close = text.find_first_of("{}", i + 1);
    if (close == std::string_view::npos || text[close] != '}') {
      *message = "a \"{\" without its \"}\" (write \"{{\" for a brace)";
      return false;
    }
    if (close == i + 1) {
      *message = "an empty placeholder \"{}\"";
      return false;
    }
    if (!literal.empty()) out->push_back({false, std::exchange(literal, {})});
    out->push_back({true, std::string(text.substr(i + 1, close - i - 1))});
    i = close;
  }
  if (!literal.empty() || out->empty()) out->push_back({false, literal});
  return true;
}

std::string CommandVariable(std::string_view prefix, std::string_view name) {
  std::string variable(prefix);
  for (const char c : name) {
    if (c >= 'a' && c <= 'z') {
      variable += static_cast<char>(c - 'a' + 'A');
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
      variable += c;
    } else {
      variable += '_';
    }
  }
  return variable;
}

std::string EscapeOutputLine(std::string_view line) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(line.size());
  while (!line.empty()) {
    const auto c = static_cast<unsigned char>(line[0]);
    std::size_t take = 1;
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else if (c >= 0x80 && (take = Utf8Length(line)) > 0) {
      text.append(line.substr(0, take));
    } else {
      take = 1;
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 15];
    }
    line.remove_prefix(take);
  }
  return text;
}

std::vector<std::string> ClassKeys(const std::vector<scenario::ScenarioClass>& classes,
                                   const scenario::ScenarioClass& cls) {
  std::vector<std::string> keys;
  const scenario::ScenarioClass* current = &cls;
  // Bounded: a longer chain would be a cycle, which the repository refuses.
  for (std::size_t step = 0; current != nullptr && step <= classes.size(); ++step) {
    for (const scenario::ScenarioProperty& property : current->properties) {
      const bool known = std::any_of(keys.begin(), keys.end(),
                                     [&](const std::string& k) { return SameName(k, property.name); });
      if (property.key && !known) keys.push_back(property.name);
    }
    const scenario::ScenarioClass* parent = nullptr;
    for (const scenario::ScenarioClass& other : classes) {
      if (!current->superclass.empty() && SameName(other.name, current->superclass)) parent = &other;
    }
    current = parent;
  }
  return keys;
}

bool PrepareCommand(const scenario::ScenarioClass& cls, const scenario::ScenarioMethod& method,
                    std::vector<std::string> keys, const std::filesystem::path& directory,
                    CommandSpec* out, InputError* error) {
  const scenario::ScenarioCommand& command = *method.command;
  CommandSpec spec;
  spec.label = cls.name + "." + method.name;
  spec.keys = std::move(keys);
  spec.in = method.in;
  spec.timeout_seconds = command.timeout_seconds;
  spec.max_output_bytes = command.max_output_bytes;
  spec.directory = directory;
  const std::string command_path = FieldPath(method.path, "command");
  if (!IsIntegerType(method.return_type)) {
    *error = {FieldPath(FieldPath(method.path, "out"), "ReturnValue"),
              "must be an integer type to hold the command's exit status"};
    return false;
  }
  // Two values that would share a variable would hide one another.
  std::vector<std::pair<std::string, std::string>> variables;
  for (const std::string& key : spec.keys) variables.emplace_back(CommandVariable(kKeyPrefix, key), key);
  for (const auto& [in, type] : spec.in) variables.emplace_back(CommandVariable(kInPrefix, in), in);
  for (std::size_t i = 0; i < variables.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (variables[i].first == variables[j].first) {
        *error = {command_path, "\"" + variables[j].second + "\" and \"" + variables[i].second +
                                    "\" would both be the variable " + variables[i].first +
                                    "; rename one"};
        return false;
      }
    }
  }
  for (std::size_t i = 0; i < command.argv.size(); ++i) {
    const std::string place = IndexPath(command_path, i);
    CommandArgument argument;
    std::string message;
    if (!ParseCommandArgument(command.argv[i], &argument, &message)) {
      *error = {place, message};
      return false;
    }
    for (const CommandPiece& piece : argument) {
      if (!piece.placeholder) continue;
      if (i == 0) {
        *error = {place, "the program takes no placeholder: an event must not choose what runs"};
        return false;
      }
      const auto is = [&](const std::string& name) { return SameName(name, piece.text); };
      const bool key = std::any_of(spec.keys.begin(), spec.keys.end(), is);
      const auto in = std::find_if(method.in.begin(), method.in.end(),
                                   [&](const auto& param) { return SameName(param.first, piece.text); });
      if (key && in != method.in.end()) {
        *error = {place, "{" + piece.text + "} is both a key and an in-parameter; rename one"};
        return false;
      }
      if (!key && in == method.in.end()) {
        *error = {place, "{" + piece.text + "} names no key of " + cls.name +
                             " and no in-parameter of " + method.name};
        return false;
      }
      if (in != method.in.end() && ((in->second & CIM_FLAG_ARRAY) || in->second == CIM_OBJECT)) {
        *error = {place, "{" + piece.text + "} is an in-parameter without a text form"};
        return false;
      }
    }
    spec.argv.push_back(std::move(argument));
  }
  *out = std::move(spec);
  return true;
}

CommandMethods::CommandMethods() : cancel_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CommandMethods::~CommandMethods() {
  if (cancel_fd_ >= 0) ::close(cancel_fd_);
}

repository::MethodProvider CommandMethods::Provider(CommandSpec spec) {
  return [this, spec = std::move(spec)](repository::MethodCall& call) { return Run(spec, call); };
}

void CommandMethods::StopAll() {
  stopped_ = true;
  if (cancel_fd_ < 0) return;
  const std::uint64_t one = 1;
  // Only an overflowing counter can refuse this, and it is readable then.
  if (::write(cancel_fd_, &one, sizeof one) < 0) return;
}

HRESULT CommandMethods::Run(const CommandSpec& spec, repository::MethodCall& call) {
  const std::string prefix = "command of " + spec.label + ": ";
  std::vector<NamedValue> values;
  for (const std::string& key : spec.keys) {
    NamedValue value{key, CommandVariable(kKeyPrefix, key), std::nullopt};
    for (const auto& [name, text] : call.keys) {
      if (SameName(name, key)) value.text = text;
    }
    values.push_back(std::move(value));
  }
  for (const auto& [in, type] : spec.in) {
    NamedValue value{in, CommandVariable(kInPrefix, in), std::nullopt};
    const wbem::Variant argument = call.Arg(in.c_str());
    std::string text;
    if (type == CIM_UINT32 && argument.get().vt == VT_I4) {
      value.text = std::to_string(static_cast<std::uint32_t>(argument.get().lVal));
    } else if (!argument.IsNull() && wbem::FormatVariant(argument.get(), &text)) {
      value.text = std::move(text);
    }
    values.push_back(std::move(value));
  }
  for (const NamedValue& value : values) {
    if (value.text && value.text->find('\0') != std::string::npos) {
      Log(kPriorityErr, prefix + "the value of " + value.name +
                            " holds a NUL byte, which no argument or variable can carry; the "
                            "call fails with " + Hex32(WBEM_E_INVALID_PARAMETER));
      return WBEM_E_INVALID_PARAMETER;
    }
  }
  std::vector<std::string> argv;
  for (const CommandArgument& argument : spec.argv) {
    std::string text;
    for (const CommandPiece& piece : argument) {
      if (!piece.placeholder) {
        text += piece.text;
        continue;
      }
      const auto value = std::find_if(values.begin(), values.end(),
                                      [&](const NamedValue& v) { return SameName(v.name, piece.text); });
      if (value == values.end() || !value->text) {
        Log(kPriorityErr, prefix + "{" + piece.text + "} has no value in this call; the call fails with " +
                              Hex32(WBEM_E_ILLEGAL_NULL));
        return WBEM_E_ILLEGAL_NULL;
      }
      text += *value->text;
    }
    argv.push_back(std::move(text));
  }

  // The daemon's environment without variables of this scheme that it may
  // have inherited, so the child sees exactly this call's values.
  runner::CEnvBlock environment;
  environment.LoadFromProcess();
  for (bool removed = true; removed;) {
    removed = false;
    for (const std::string_view entry : environment.Entries()) {
      if (entry.starts_with(kKeyPrefix) || entry.starts_with(kInPrefix)) {
        environment.RemoveName(std::string(entry.substr(0, entry.find('=') + 1)).c_str());
        removed = true;
        break;
      }
    }
  }
  for (const NamedValue& value : values) {
    if (value.text) (void)environment.SetText(value.variable.c_str(), value.text->c_str());
  }

  if (stopped_) {
    Log(kPriorityErr, prefix + "not started, the daemon is stopping; the call fails with " +
                          Hex32(WBEM_E_SHUTTING_DOWN));
    return WBEM_E_SHUTTING_DOWN;
  }
  // One byte more than the bound tells whether the output went beyond it.
  const auto keep = static_cast<std::int32_t>(spec.max_output_bytes + 1);
  runner::ChildProcess record;
  for (runner::StreamChannel* channel : {&record.output, &record.error}) {
    channel->enabled = 1;
    channel->initial_size = std::min<std::int32_t>(keep, 4096);
    channel->maximum_size = keep;
  }
  record.environment = &environment;
  record.current_directory = spec.directory.string();
  record.child_wait_ms = spec.timeout_seconds * 1000;
  record.cancel_fd = cancel_fd_;
  const auto start = std::chrono::steady_clock::now();
  if (runner::StartChildProcess(argv, record) != runner::kStartOk) {
    const int why = record.process_information.start_error;
    const HRESULT result = why == ENOENT                  ? kCommandNotFound
                           : why == EACCES || why == EPERM ? kCommandNotPermitted
                                                           : WBEM_E_PROVIDER_FAILURE;
    Log(kPriorityErr, prefix + "cannot start " + ArgumentsText({argv.front()}) + ": " +
                          (why != 0 ? std::strerror(why) : "no pipe or descriptor for it") +
                          "; the call fails with " + Hex32(result));
    return result;
  }
  const int pid = record.process_information.process_id;
  (void)runner::WaitChildProcess(record);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char took[32];
  std::snprintf(took, sizeof took, " in %.3f s", seconds);
  const std::string run = prefix + ArgumentsText(argv) + " (pid " + std::to_string(pid) + ")";
  const std::string lines = prefix + "pid " + std::to_string(pid) + " ";
  LogStream(lines, "stdout", record.output, spec.max_output_bytes, kPriorityInfo);
  LogStream(lines, "stderr", record.error, spec.max_output_bytes, kPriorityWarning);

  const runner::ProcessInformation& info = record.process_information;
  switch (info.end) {
    case runner::RunEnd::kExited: {
      Log(info.exit_status == 0 ? kPriorityInfo : kPriorityNotice,
          run + " exited with status " + std::to_string(info.exit_status) + took);
      const HRESULT put = call.Return(wbem::Variant(static_cast<std::int32_t>(info.exit_status)));
      return put == WBEM_S_NO_ERROR ? WBEM_S_NO_ERROR : WBEM_E_PROVIDER_FAILURE;
    }
    case runner::RunEnd::kSignalled:
      Log(kPriorityErr, run + " was ended by signal " + std::to_string(info.exit_status) + " (" +
                            ::strsignal(info.exit_status) + ")" + took +
                            "; the call fails with " + Hex32(kCommandAborted));
      return kCommandAborted;
    case runner::RunEnd::kTimedOut:
      Log(kPriorityErr, run + " ran past its " + std::to_string(spec.timeout_seconds) +
                            " s; its process group was killed and the call fails with " +
                            Hex32(kCommandTimedOut));
      return kCommandTimedOut;
    case runner::RunEnd::kCancelled:
      Log(kPriorityErr, run + " was stopped with the daemon" + took +
                            "; its process group was killed and the call fails with " +
                            Hex32(WBEM_E_SHUTTING_DOWN));
      return WBEM_E_SHUTTING_DOWN;
    case runner::RunEnd::kNone:
    case runner::RunEnd::kWaitFailed:
      break;
  }
  Log(kPriorityErr, run + ": waiting for it failed; it was killed and the call fails with " +
                        Hex32(WBEM_E_PROVIDER_FAILURE));
  return WBEM_E_PROVIDER_FAILURE;
}

}  // namespace service
