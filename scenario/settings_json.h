// The settings of one profile as JSON, both ways.
//
//   {"rules": [{"event": "Disk_Full", "actions": [
//     {"name": "restart", "kind": "builtin", "exec_limit": 1, "namespace": "root\\zrv",
//      "class": "Service", "method": "Restart", "class_call": 0,
//      "descriptive_name": "Restart it", "aux": "",
//      "key_params": [{"param": "Name", "event_prop": "Drive"}],
//      "in_params": [{"param": "Reason", "event_prop": "event_key"}]},
//     {"name": "notify", "kind": "program", "exec_limit": 0, "command": "echo hi",
//      "probe": "disk", "descriptive_name": "Tell", "aux": ""},
//     {"name": "ticket", "kind": "task", "exec_limit": 0, "text1": "ab", "text2": "",
//      "items": ["x", "y", ""]}]}]}
//
// Reading files rules with m_mapRules[event] = rule and actions with SetAt, in
// the document's order. Omitted fields take the classes' defaults; "event",
// "name" and "kind" are required. "class_call" is an integer or a boolean. A
// task text "text1" gets the NUL byte that the task constructor appends;
// "text1_hex" gives every byte. An unknown field or kind, a value of the wrong
// type or range, and a rule or action name given twice (which would silently
// replace the first) are errors.
//
// Writing gives every field, rules and actions in enumeration order,
// "class_call" as an integer and task texts in the _hex form; any other text
// that is not UTF-8 is written in its _hex form (see scenario/json_input.h).
//
// Not thread-safe; the settings object belongs to the caller.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "settings/action_manager_settings.h"
#include "scenario/json_input.h"

namespace scenario {

// Reads `json` into `*settings`, replacing its rules only on success. On
// failure `*settings` is left as it was and `*error` names the field path.
[[nodiscard]] bool SettingsFromJson(const Json& json, CActionManagerSettings* settings,
                                    InputError* error);

// Reads the settings at `path` inside a larger document (the scenario's
// "settings"), recording a problem instead of returning an error.
void ReadSettings(Problems& problems, const Json& json, const std::string& path,
                  CActionManagerSettings* settings);

Json SettingsToJson(const CActionManagerSettings& settings);

// One line per action of `settings`, in the order the component will run
// them, so that actions that leave no trace (tasks, held-back actions) are
// seen too; then an empty line.
void DescribeSettings(const CActionManagerSettings& settings, std::ostream& out);

// The archive versions that amctl and the service read and write: 1 to 11,
// 11 by default.
inline constexpr std::int32_t kDefaultArchiveVersion = 11;
inline constexpr std::int32_t kMinArchiveVersion = 1;
inline constexpr std::int32_t kMaxArchiveVersion = 11;

// Loads the settings archive at `path` ("-": standard input) with `version`.
// On failure (unreadable, cut short, corrupt, bytes left over) `*settings` is
// left as it was and `*error` names the file and the offset, and says when the
// archive would read cleanly at the other layout's version. Every action entry
// that loading left out is added to `*left_out` (when not null) as a problem
// naming the file, the offset, the rule and the class name.
[[nodiscard]] bool LoadSettingsFile(const std::string& path, std::int32_t version,
                                    CActionManagerSettings* settings, InputError* error,
                                    std::vector<InputError>* left_out = nullptr);

}  // namespace scenario
