#include "scenario/settings_json.h"

#include <cstdint>
#include <ostream>
#include <limits>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "settings/action_info.h"
#include "settings/action_rule.h"
#include "settings/archive_io.h"
#include "base/ascii.h"
#include "base/file_io.h"
#include "base/hex.h"

namespace scenario {
namespace {

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

void ReadParams(ObjectReader& action, std::string_view field, CParamsList* list) {
  const Json* array = action.Array(field);
  if (array == nullptr) return;
  const std::string path = action.PathOf(field);
  for (std::size_t i = 0; i < array->size() && action.problems().reading(); ++i) {
    ObjectReader pair(action.problems(), (*array)[i], IndexPath(path, i));
    CParams params;
    params.m_strParamName = pair.Text("param");
    params.m_strEventPropName = pair.Text("event_prop");
    pair.Finish();
    list->AddTail(std::move(params));
  }
}

std::int32_t ReadClassCall(ObjectReader& action) {
  const Json* value = action.Find("class_call");
  if (value == nullptr) return 0;
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  std::int64_t flag = 0;
  if (!ReadInteger(action.problems(), *value, action.PathOf("class_call"), kInt32Min, kInt32Max,
                   &flag)) {
    return 0;
  }
  return static_cast<std::int32_t>(flag);
}

// A task text given as text gets the NUL byte that the task constructor
// appends; the _hex form is every byte as it stands.
std::vector<std::uint8_t> ReadTaskText(ObjectReader& action, const std::string& field) {
  const bool plain = action.Find(field) != nullptr;
  std::string bytes = action.Text(field);
  if (plain) bytes.push_back('\0');
  return {bytes.begin(), bytes.end()};
}

std::unique_ptr<CBaseActionInfo> ReadAction(ObjectReader& action, const std::string& kind) {
  if (kind == "builtin") {
    auto info = std::make_unique<CBuiltInActionInfo>();
    info->m_strNamespace = action.Text("namespace");
    info->m_strClassName = action.Text("class");
    info->m_strMethodName = action.Text("method");
    info->m_bClassCall = ReadClassCall(action);
    info->m_strDescriptiveName = action.Text("descriptive_name");
    info->m_strAux = action.Text("aux");
    ReadParams(action, "key_params", &info->m_KeyParams);
    ReadParams(action, "in_params", &info->m_InParams);
    return info;
  }
  if (kind == "program") {
    auto info = std::make_unique<CProgramActionInfo>();
    info->m_strCommand = action.Text("command");
    info->m_strProbe = action.Text("probe");
    info->m_strDescriptiveName = action.Text("descriptive_name");
    info->m_strAux = action.Text("aux");
    return info;
  }
  if (kind == "task") {
    auto info = std::make_unique<CTaskActionInfo>();
    info->m_baText1 = ReadTaskText(action, "text1");
    info->m_baText2 = ReadTaskText(action, "text2");
    if (const Json* items = action.Array("items")) {
      const std::string path = action.PathOf("items");
      for (std::size_t i = 0; i < items->size(); ++i) {
        info->m_lstItems.AddTail(ReadTextValue(action.problems(), (*items)[i], IndexPath(path, i)));
      }
    }
    return info;
  }
  action.problems().Fail(action.PathOf("kind"),
                         "must be \"builtin\", \"program\" or \"task\", not \"" + kind + "\"");
  return nullptr;
}

// Reads the actions of the rule object that `rule` reads.
void ReadActions(ObjectReader& rule, CActionRule* out) {
  Problems& problems = rule.problems();
  const Json* actions = rule.Array("actions");
  const std::string path = rule.PathOf("actions");
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t i = 0; actions != nullptr && i < actions->size() && problems.reading(); ++i) {
    const std::size_t before = problems.count();
    ObjectReader action(problems, (*actions)[i], IndexPath(path, i));
    const std::string name = action.RequiredText("name");
    const std::size_t before_kind = problems.count();
    const std::string kind = action.Require("kind") ? action.String("kind") : std::string();
    const bool kind_read = problems.count() == before_kind;
    const auto limit = action.Integer("exec_limit", 0, 65535, 0);
    // The kind names the action's fields: without one that reads, the
    // other fields are neither read nor called unknown.
    std::unique_ptr<CBaseActionInfo> info =
        problems.reading() && kind_read ? ReadAction(action, kind) : nullptr;
    if (info != nullptr) action.Finish();
    if (problems.count() != before) continue;
    if (const auto [it, fresh] = seen.emplace(name, i); !fresh) {
      problems.Fail(action.PathOf("name"), "repeats the name of " + IndexPath(path, it->second));
      continue;
    }
    info->m_wExecLimit = static_cast<std::uint16_t>(limit);
    out->SetAt(name, std::move(info));
  }
}

Json ParamsToJson(const CParamsList& list) {
  Json array = Json::array();
  for (const CParams& params : list) {
    Json pair = Json::object();
    PutText(pair, "param", params.m_strParamName);
    PutText(pair, "event_prop", params.m_strEventPropName);
    array.push_back(std::move(pair));
  }
  return array;
}

Json ActionToJson(const std::string& name, const CBaseActionInfo& info) {
  Json action = Json::object();
  PutText(action, "name", name);
  // The same order of run-time class tests as storing a rule uses.
  if (const auto* builtin = dynamic_cast<const CBuiltInActionInfo*>(&info)) {
    action["kind"] = "builtin";
    action["exec_limit"] = info.m_wExecLimit;
    PutText(action, "namespace", builtin->m_strNamespace);
    PutText(action, "class", builtin->m_strClassName);
    PutText(action, "method", builtin->m_strMethodName);
    action["class_call"] = builtin->m_bClassCall;
    PutText(action, "descriptive_name", builtin->m_strDescriptiveName);
    PutText(action, "aux", builtin->m_strAux);
    action["key_params"] = ParamsToJson(builtin->m_KeyParams);
    action["in_params"] = ParamsToJson(builtin->m_InParams);
  } else if (const auto* task = dynamic_cast<const CTaskActionInfo*>(&info)) {
    action["kind"] = "task";
    action["exec_limit"] = info.m_wExecLimit;
    const auto view = [](const std::vector<std::uint8_t>& bytes) {
      return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    action["text1_hex"] = base::ToHex(view(task->m_baText1));
    action["text2_hex"] = base::ToHex(view(task->m_baText2));
    Json items = Json::array();
    for (const std::string& item : task->m_lstItems) items.push_back(TextValue(item));
    action["items"] = std::move(items);
  } else if (const auto* program = dynamic_cast<const CProgramActionInfo*>(&info)) {
    action["kind"] = "program";
    action["exec_limit"] = info.m_wExecLimit;
    PutText(action, "command", program->m_strCommand);
    PutText(action, "probe", program->m_strProbe);
    PutText(action, "descriptive_name", program->m_strDescriptiveName);
    PutText(action, "aux", program->m_strAux);
  }
  return action;
}

}  // namespace

void ReadSettings(Problems& problems, const Json& json, const std::string& path,
                  CActionManagerSettings* settings) {
  ObjectReader reader(problems, json, path);
  const Json* rules = reader.Array("rules");
  struct Seen {
    std::size_t index;
    std::string event;
  };
  std::unordered_map<std::string, Seen> seen;  // by the lower-cased event
  for (std::size_t i = 0; rules != nullptr && i < rules->size() && problems.reading(); ++i) {
    const std::string rule_path = IndexPath(reader.PathOf("rules"), i);
    const std::size_t before = problems.count();
    ObjectReader rule(problems, (*rules)[i], rule_path);
    const std::string event = rule.RequiredText("event");
    CActionRule loaded;
    ReadActions(rule, &loaded);
    rule.Finish();
    if (problems.count() != before) continue;
    // The component files its rules under the lower-cased event name, so
    // names that differ only in case would collide there.
    if (const auto [it, fresh] = seen.emplace(base::AsciiLowered(event), Seen{i, event}); !fresh) {
      const std::string first = IndexPath(reader.PathOf("rules"), it->second.index);
      if (it->second.event == event) {
        problems.Fail(rule.PathOf("event"), "repeats the event of " + first);
      } else {
        problems.Fail(rule.PathOf("event"),
                      "differs from " + FieldPath(first, "event") +
                          " only in letter case; events match without regard to case, so one "
                          "of the two rules could never run");
      }
      continue;
    }
    settings->m_mapRules[event] = loaded;
  }
  reader.Finish();
}

bool SettingsFromJson(const Json& json, CActionManagerSettings* settings, InputError* error) {
  Problems problems;
  CActionManagerSettings read;
  ReadSettings(problems, json, "", &read);
  if (!problems.ok()) {
    *error = problems.first();
    return false;
  }
  settings->m_mapRules.Swap(read.m_mapRules);
  return true;
}

Json SettingsToJson(const CActionManagerSettings& settings) {
  Json rules = Json::array();
  for (const auto& [event, rule] : settings.m_mapRules) {
    Json entry = Json::object();
    PutText(entry, "event", event);
    Json actions = Json::array();
    for (const auto& [name, info] : rule) actions.push_back(ActionToJson(name, *info));
    entry["actions"] = std::move(actions);
    rules.push_back(std::move(entry));
  }
  Json root = Json::object();
  root["rules"] = std::move(rules);
  return root;
}

// One line per action of the settings, in the order the component will run
// them, so that actions that leave no trace (tasks, held-back actions) are
// seen too.
void DescribeSettings(const CActionManagerSettings& settings, std::ostream& out) {
  for (const auto& [event, rule] : settings.m_mapRules) {
    out << "rule " << event << " (" << rule.GetCount() << " actions):\n";
    for (const auto& [name, action] : rule) {
      out << "  " << name << ": ";
      if (const auto* builtin = dynamic_cast<const CBuiltInActionInfo*>(action.get())) {
        out << "built-in, calls " << builtin->m_strClassName << "." << builtin->m_strMethodName
            << (builtin->m_bClassCall ? " on the class" : " on an instance");
      } else if (dynamic_cast<const CTaskActionInfo*>(action.get()) != nullptr) {
        out << "task, carried for the agent's task component and never run here";
      } else if (const auto* program = dynamic_cast<const CProgramActionInfo*>(action.get())) {
        out << "program, runs [" << program->m_strCommand << "]";
      }
      if (action->m_wExecLimit != 0) {
        out << ", at most " << action->m_wExecLimit << " time(s) per event id";
      }
      out << "\n";
    }
  }
  out << "\n";
}

namespace {

// A text of the archive as a JSON string, quoted and escaped, so that any
// bytes can stand in a message.
std::string Quoted(const std::string& text) {
  return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Whether `data` is exactly one settings record at `version`, with every
// action of a known kind.
bool ReadsCleanly(const std::vector<std::uint8_t>& data, std::int32_t version) {
  CActionManagerSettings probe;
  AmArchiveStatus status;
  return LoadSettingsArchive(data, version, probe, &status) != 0 && status.offset == data.size() &&
         status.skipped.empty();
}

}  // namespace

bool LoadSettingsFile(const std::string& path, std::int32_t version,
                      CActionManagerSettings* settings, InputError* error,
                      std::vector<InputError>* left_out) {
  const std::string name = base::InputName(path);
  std::string bytes;
  std::string why;
  if (!base::ReadWholeFile(path, &bytes, &why)) {
    *error = {"", "cannot read: " + why, name};
    return false;
  }
  const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  bytes = std::string();
  AmArchiveStatus status;
  CActionManagerSettings loaded;
  const bool read = LoadSettingsArchive(data, version, loaded, &status) != 0;
  if (!read || status.offset != data.size()) {
    std::string message = status.reason;
    if (read) {
      const std::size_t left = data.size() - status.offset;
      message = std::to_string(left) + (left == 1 ? " byte remains" : " bytes remain") +
                " after the settings record";
    }
    // Only the built-in action record has two layouts; if the other one
    // reads the whole archive, the version is what is wrong.
    const std::int32_t other = version < CBuiltInActionInfo::kKeyListVersion
                                   ? CBuiltInActionInfo::kKeyListVersion
                                   : CBuiltInActionInfo::kKeyListVersion - 1;
    if (ReadsCleanly(data, other)) {
      message += "; the archive reads cleanly at version " + std::to_string(other);
    }
    *error = {"offset " + std::to_string(status.offset), message, name};
    return false;
  }
  if (left_out != nullptr) {
    for (const AmSkippedAction& skipped : status.skipped) {
      left_out->push_back({"offset " + std::to_string(skipped.offset),
                           "rule " + Quoted(skipped.rule) + ", action " + Quoted(skipped.action) +
                               ": the class name " + Quoted(skipped.class_name) +
                               " names no action kind",
                           name});
    }
  }
  settings->m_mapRules.Swap(loaded.m_mapRules);
  return true;
}

}  // namespace scenario
