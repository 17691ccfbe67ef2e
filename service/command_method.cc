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

#include "component/dispatch_observer.h"
#include "runner/child_process.h"
#include "runner/env_block.h"
#include "service/log.h"
#include "wbem/variant_text.h"

namespace service {
namespace {

using scenario::SameName;

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
// What a stream captured, up to `bound` bytes (the capture keeps one more,
// to tell whether there was more).
std::string_view Kept(const runner::StreamChannel& channel, std::int64_t bound) {
  if (!channel.data || channel.length <= 0) return {};
  const auto captured = static_cast<std::size_t>(channel.length);
  return {channel.data.get(), std::min(captured, static_cast<std::size_t>(bound))};
}

void LogStream(const std::string& prefix, const char* stream, const runner::StreamChannel& channel,
               std::int64_t bound, int priority) {
  if (!channel.data || channel.length == 0) return;
  const auto captured = static_cast<std::size_t>(channel.length);
  const bool cut = static_cast<std::int64_t>(captured) > bound;
  std::string_view text = Kept(channel, bound);
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


// The call's keys and in-parameters as text, with their variable names
// (absent text: no value in this call).
std::vector<NamedValue> CallValues(const CommandPlan& plan, repository::MethodCall& call) {
  std::vector<NamedValue> values;
  for (const std::string& key : plan.keys) {
    NamedValue value{key, CommandVariable(kKeyPrefix, key), std::nullopt};
    for (const auto& [name, text] : call.keys) {
      if (SameName(name, key)) value.text = text;
    }
    values.push_back(std::move(value));
  }
  for (const auto& [in, type] : plan.in) {
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
  return values;
}

// The argument vector with each placeholder replaced by its value; an
// error (logged) when a value holds a NUL byte or a placeholder has none.
bool IsKey(const CommandPlan& plan, const std::string& name) {
  return std::any_of(plan.keys.begin(), plan.keys.end(),
                     [&](const std::string& key) { return SameName(key, name); });
}

HRESULT Arguments(const CommandPlan& plan, const std::vector<NamedValue>& values,
                  const std::string& prefix, std::vector<std::string>* out) {
  for (const NamedValue& value : values) {
    if (value.text && value.text->find('\0') != std::string::npos) {
      Log(kPriorityErr, prefix + "the value of " + value.name +
                            " holds a NUL byte, which no argument or variable can carry; the "
                            "call fails with " + Hex32(WBEM_E_INVALID_PARAMETER));
      return WBEM_E_INVALID_PARAMETER;
    }
  }
  for (const NamedValue& value : values) {
    // A class call has no keys at all, which is fine unless a placeholder
    // needs one (below); a key given as empty text comes from an event
    // property that was absent or null.
    if (IsKey(plan, value.name) && value.text && value.text->empty()) {
      Log(kPriorityErr, prefix + "the key " + value.name +
                            " has no value in this call; the call fails with " +
                            Hex32(WBEM_E_ILLEGAL_NULL));
      return WBEM_E_ILLEGAL_NULL;
    }
  }
  for (const CommandArgument& argument : plan.argv) {
    std::string text;
    for (const CommandPiece& piece : argument) {
      if (!piece.placeholder) {
        text += piece.text;
        continue;
      }
      const auto value = std::find_if(values.begin(), values.end(),
                                      [&](const NamedValue& v) { return SameName(v.name, piece.text); });
      // The built-in action passes an event property that is absent or null
      // as empty text, so empty text is no value here: it must never become
      // an empty argument ("systemctl restart -- ''").
      if (value == values.end() || !value->text || value->text->empty()) {
        Log(kPriorityErr, prefix + "{" + piece.text + "} has no value in this call; the call fails with " +
                              Hex32(WBEM_E_ILLEGAL_NULL));
        return WBEM_E_ILLEGAL_NULL;
      }
      text += *value->text;
    }
    out->push_back(std::move(text));
  }
  return WBEM_S_NO_ERROR;
}

// The daemon's environment without variables of this scheme that it may
// have inherited, so the child sees exactly this call's values.
void CallEnvironment(const std::vector<NamedValue>& values, runner::CEnvBlock& environment) {
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
}

// What the run's end makes of the call, logged with `run` and `took`.
HRESULT Outcome(const CommandPlan& plan, const runner::ChildProcess& record,
                const std::string& run, const char* took, repository::MethodCall& call) {
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
      Log(kPriorityErr, run + " ran past its " + std::to_string(plan.timeout_seconds) +
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

}  // namespace

CommandMethods::CommandMethods() : cancel_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CommandMethods::~CommandMethods() {
  if (cancel_fd_ >= 0) ::close(cancel_fd_);
}

repository::MethodProvider CommandMethods::Provider(CommandPlan plan) {
  return [this, plan = std::move(plan)](repository::MethodCall& call) { return Run(plan, call); };
}

void CommandMethods::StopAll() {
  stopped_ = true;
  if (cancel_fd_ < 0) return;
  const std::uint64_t one = 1;
  // Only an overflowing counter can refuse this, and it is readable then.
  if (::write(cancel_fd_, &one, sizeof one) < 0) return;
}

HRESULT CommandMethods::Run(const CommandPlan& plan, repository::MethodCall& call) {
  const std::string prefix = "command of " + plan.label + ": ";
  const std::vector<NamedValue> values = CallValues(plan, call);
  std::vector<std::string> argv;
  if (const HRESULT refused = Arguments(plan, values, prefix, &argv); refused != WBEM_S_NO_ERROR) {
    return refused;
  }

  runner::CEnvBlock environment;
  CallEnvironment(values, environment);
  if (stopped_) {
    Log(kPriorityErr, prefix + "not started, the daemon is stopping; the call fails with " +
                          Hex32(WBEM_E_SHUTTING_DOWN));
    return WBEM_E_SHUTTING_DOWN;
  }
  // One byte more than the bound tells whether the output went beyond it.
  const auto keep = static_cast<std::int32_t>(plan.max_output_bytes + 1);
  runner::ChildProcess record;
  for (runner::StreamChannel* channel : {&record.output, &record.error}) {
    channel->enabled = 1;
    channel->initial_size = std::min<std::int32_t>(keep, 4096);
    channel->maximum_size = keep;
  }
  record.environment = &environment;
  record.current_directory = plan.directory.string();
  record.child_wait_ms = plan.timeout_seconds * 1000;
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
  LogStream(lines, "stdout", record.output, plan.max_output_bytes, kPriorityInfo);
  LogStream(lines, "stderr", record.error, plan.max_output_bytes, kPriorityWarning);
  // The action that called the method keeps what the command printed (its
  // history row), within the same bound as the log.
  AmReportActionOutput(Kept(record.output, plan.max_output_bytes),
                       Kept(record.error, plan.max_output_bytes));

  return Outcome(plan, record, run, took, call);
}

}  // namespace service

