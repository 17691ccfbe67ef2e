// A scenario: one profile, the repository it runs against, its settings and
// the events to raise (the input of `amctl run`).
//
//   {"profile": "Prof1", "namespace": "root\\zrv", "standard_classes": true,
//    "classes": [{"name": "Disk_Full", "superclass": "ZRV_Event",
//                 "properties": {"Drive": "string", "Free": "uint32"}},
//                {"name": "Service", "properties": {"Name": {"type": "string", "key": true}},
//                 "methods": {"Restart": {"in": {"Reason": "string"},
//                                         "out": {"ReturnValue": "uint32"},
//                                         "return_value": 0}}}],
//    (or, for actionmanagerd, "command": ["/usr/bin/systemctl", "restart", "{Name}"],
//     "timeout_seconds": 30, "max_output_bytes": 65536 in place of return_value)
//    "instances": [{"class": "Service", "properties": {"Name": "C:"}}],
//    "settings": {...settings JSON...},        or "settings_archive": "s.bin", "version": 11
//    "environment": {"ZMO_HALBERD_DIR": "scripts"},
//    "events": [{"class": "Disk_Full", "properties": {"EventId": "e1", "Drive": "C:"}}]}
//
// ReadScenario checks the document's shape (fields, types, type names) and
// loads the settings; values of instances and events are kept as JSON and
// converted later against the classes as the repository holds them (see
// scenario/scenario_world.h), since their declared types may come from
// inherited or standard classes.
//
// Relative paths (the settings archive, and ZMO_HALBERD_DIR, the one variable
// the component reads as a folder) are taken from the scenario file's folder,
// so a scenario runs the same from anywhere.
//
// Not thread-safe; a Scenario is plain data owned by its reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "scenario/expect.h"
#include "scenario/json_input.h"
#include "settings/action_manager_settings.h"
#include "wbem/types.h"

namespace scenario {

// A CIM type name ("uint32", "string[]") as its CIMTYPE; nullopt when unknown.
std::optional<CIMTYPE> ParseCimTypeName(std::string_view name);

// Whether two names are equal with ASCII letters' case ignored: how the
// repository compares class, property and method names.
bool SameName(std::string_view a, std::string_view b);

struct ScenarioProperty {
  std::string name;
  CIMTYPE type = CIM_STRING;
  bool key = false;
  std::optional<Json> default_value;
  std::string path;  // field path, for messages
  // An event of the class (or of a subclass) must give it a value other
  // than null; actionmanagerd refuses the event otherwise.
  bool required = false;
};

// A method backed by a command (actionmanagerd): the program and its
// arguments, each a template in which {Name} stands for a key or in-parameter
// value ({{ and }} for braces). Read here as written; actionmanagerd checks
// the placeholders and runs it (service/command_method.h).
struct ScenarioCommand {
  std::vector<std::string> argv;  // not empty; argv[0] not empty
  int timeout_seconds = 30;
  std::int64_t max_output_bytes = 65536;
};

struct ScenarioMethod {
  std::string name;
  std::vector<std::pair<std::string, CIMTYPE>> in;
  std::vector<std::pair<std::string, CIMTYPE>> out;  // without ReturnValue
  CIMTYPE return_type = CIM_UINT32;
  // The call fails with this HRESULT when set; otherwise it returns
  // `return_value` (0 when absent).
  std::optional<HRESULT> hresult;
  Json return_value = 0;
  // Set: the method runs this command instead (return_value and hresult are
  // then absent).
  std::optional<ScenarioCommand> command;
  std::string path;
};

struct ScenarioClass {
  std::string name;
  std::string superclass;
  std::vector<ScenarioProperty> properties;
  std::vector<ScenarioMethod> methods;
  std::string path;
};

// The class of `classes` named `name` (as SameName compares; the last of that
// name); null when there is none.
const ScenarioClass* FindClass(const std::vector<ScenarioClass>& classes, std::string_view name);

// `name`, then the superclass that each class on the way declares, nearest
// first, as written. Ends after a root class, or at a name `classes` does not
// hold (a standard class such as ZRV_Event, which is then the last name).
// Bounded by the number of classes: a longer chain would be a cycle, which
// the repository refuses.
std::vector<std::string> SuperclassChain(const std::vector<ScenarioClass>& classes,
                                         std::string_view name);

// The properties marked `required` in `name`'s class and in each class of its
// SuperclassChain, each with the class that marks it.
std::vector<std::pair<std::string, std::string>> RequiredProperties(
    const std::vector<ScenarioClass>& classes, std::string_view name);

// The first of `required` (as RequiredProperties gives it) that the event's
// `properties` object (null: none given) leaves out or gives as null, names
// compared as SameName does; null when there is none. An empty string is a
// value.
const std::pair<std::string, std::string>* MissingRequired(
    const std::vector<std::pair<std::string, std::string>>& required, const Json* properties);

// An instance to file or an event to raise: a class and property values.
struct ScenarioObject {
  std::string class_name;
  std::vector<std::pair<std::string, Json>> properties;
  std::string path;  // "events[2]", for messages
};

struct Scenario {
  std::string profile;
  std::string ns = "root\\zrv";
  bool standard_classes = true;
  std::vector<ScenarioClass> classes;
  std::vector<ScenarioObject> instances;
  std::unique_ptr<CActionManagerSettings> settings = std::make_unique<CActionManagerSettings>();
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<ScenarioObject> events;
  // The expected outcome, for `amctl test` (scenario/expect.h); a plain run
  // ignores it.
  std::optional<Expectations> expect;
  // What does not stop the run but should be said before it: the actions
  // that loading the settings archive left out.
  std::vector<InputError> warnings;
};

// Reads `json` (the document of the file `file`, whose folder resolves
// relative paths). On failure `*error` names the place; when the problem lies
// in the settings archive, `error->file` names that file.
[[nodiscard]] bool ReadScenario(const Json& json, const std::filesystem::path& file,
                                Scenario* scenario, InputError* error);
// The same, recording into `problems` (with Problems::Keep::kEvery, every
// refusal of the document); `*scenario` holds what was read, meaningful
// only when no problem was recorded.
void ReadScenario(Problems& problems, const Json& json, const std::filesystem::path& file,
                  Scenario* scenario);

// The pieces of a scenario, for documents that embed them (the service's
// configuration): each records its problems in `problems` and returns what
// it read. Paths name the value in messages; relative paths are
// taken from `folder`.
ScenarioClass ReadClass(Problems& problems, const Json& value, const std::string& path);
ScenarioObject ReadObject(Problems& problems, const Json& value, const std::string& path);
// "settings" (inline) or "settings_archive" with "version", fields of `reader`.
// Actions that loading an archive left out are added to `*warnings` (when not
// null).
void ReadSettingsSource(ObjectReader& reader, const std::filesystem::path& folder,
                        CActionManagerSettings* settings,
                        std::vector<InputError>* warnings = nullptr);
// "environment", a field of `reader`.
void ReadEnvironment(ObjectReader& reader, const std::filesystem::path& folder,
                     std::vector<std::pair<std::string, std::string>>* variables);

// Reads one event given as a line of its own ({"class": ..., "properties":
// {...}}), as `amctl run --events` takes them; `path` names it in messages.
[[nodiscard]] bool ReadEvent(const Json& json, const std::string& path, ScenarioObject* event,
                             InputError* error);

}  // namespace scenario
