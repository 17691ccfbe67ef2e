#include "service_config/command_plan.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/hex.h"
#include "base/utf8.h"
#include "repository/cim.h"

namespace service {
namespace {

using scenario::FieldPath;
using scenario::IndexPath;
using scenario::InputError;
using scenario::SameName;

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
  std::string text;
  text.reserve(line.size());
  while (!line.empty()) {
    const auto c = static_cast<unsigned char>(line[0]);
    std::size_t take = 1;
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else if (const base::Utf8Sequence sequence = base::DecodeUtf8(line);
               c >= 0x80 && sequence.valid) {
      take = sequence.length;
      text.append(line.substr(0, take));
    } else {
      text += "\\x";
      base::AppendHexByte(&text, c, base::HexCase::kUpper);
    }
    line.remove_prefix(take);
  }
  return text;
}

std::vector<std::string> ClassKeys(const std::vector<scenario::ScenarioClass>& classes,
                                   const scenario::ScenarioClass& cls) {
  std::vector<std::string> keys;
  const std::vector<std::string> chain = scenario::SuperclassChain(classes, cls.name);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const scenario::ScenarioClass* current = i == 0 ? &cls : scenario::FindClass(classes, chain[i]);
    if (current == nullptr) break;
    for (const scenario::ScenarioProperty& property : current->properties) {
      const bool known = std::any_of(keys.begin(), keys.end(),
                                     [&](const std::string& k) { return SameName(k, property.name); });
      if (property.key && !known) keys.push_back(property.name);
    }
  }
  return keys;
}

namespace {

// Two values that would share a variable would hide one another.
bool CheckVariables(const CommandPlan& plan, const std::string& command_path, InputError* error) {
  std::vector<std::pair<std::string, std::string>> variables;
  for (const std::string& key : plan.keys)
    variables.emplace_back(CommandVariable(kKeyPrefix, key), key);
  for (const auto& [in, type] : plan.in) variables.emplace_back(CommandVariable(kInPrefix, in), in);
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
  return true;
}

// The placeholder {`name`} at `place` names exactly one key or in-parameter,
// and one with a text form.
bool CheckPlaceholder(const std::string& name, const scenario::ScenarioClass& cls,
                      const scenario::ScenarioMethod& method, const std::vector<std::string>& keys,
                      const std::string& place, InputError* error) {
  const auto is = [&](const std::string& other) { return SameName(other, name); };
  const bool key = std::any_of(keys.begin(), keys.end(), is);
  const auto in = std::find_if(method.in.begin(), method.in.end(),
                               [&](const auto& param) { return SameName(param.first, name); });
  if (key && in != method.in.end()) {
    *error = {place, "{" + name + "} is both a key and an in-parameter; rename one"};
    return false;
  }
  if (!key && in == method.in.end()) {
    *error = {place, "{" + name + "} names no key of " + cls.name + " and no in-parameter of " +
                         method.name};
    return false;
  }
  if (in != method.in.end() && ((in->second & CIM_FLAG_ARRAY) || in->second == CIM_OBJECT)) {
    *error = {place, "{" + name + "} is an in-parameter without a text form"};
    return false;
  }
  return true;
}

}  // namespace

bool PrepareCommand(const scenario::ScenarioClass& cls, const scenario::ScenarioMethod& method,
                    std::vector<std::string> keys, const std::filesystem::path& directory,
                    CommandPlan* out, InputError* error) {
  const scenario::ScenarioCommand& command = *method.command;
  CommandPlan plan;
  plan.label = cls.name + "." + method.name;
  plan.keys = std::move(keys);
  plan.in = method.in;
  plan.timeout_seconds = command.timeout_seconds;
  plan.max_output_bytes = command.max_output_bytes;
  plan.directory = directory;
  const std::string command_path = FieldPath(method.path, "command");
  if (!repository::IsIntegerCimType(method.return_type)) {
    *error = {FieldPath(FieldPath(method.path, "out"), "ReturnValue"),
              "must be an integer type to hold the command's exit status"};
    return false;
  }
  if (!CheckVariables(plan, command_path, error)) return false;
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
      if (!CheckPlaceholder(piece.text, cls, method, plan.keys, place, error)) return false;
    }
    plan.argv.push_back(std::move(argument));
  }
  *out = std::move(plan);
  return true;
}


}  // namespace service
