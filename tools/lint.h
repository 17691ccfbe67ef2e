// Checking settings, scenarios and the worlds they run in without running
// anything (what `amctl check` reports).
//
// Every check reads through the same readers `amctl run`, `settings encode`
// and the service use (scenario/settings_json.h, scenario/scenario.h), so a
// syntax or shape problem is reported with exactly their place and message;
// the checks here add what those readers accept but what can never work as
// written: names that collide once the component folds them, built-in
// actions that name nothing, parameters the conversion tables never convert,
// program commands the runner cannot start as meant.
//
// Each finding carries a stable code (kLintRules; docs/lint.md shows an
// example and the fix for each) whose severity is fixed: an error is
// something the readers refuse or an action that can never do what it says;
// a warning is something that runs, but not as it reads.
//
// A world (the classes a scenario or the service's configuration declares,
// with the standard event classes) enables the checks that need classes:
// rule events, target classes and methods, keys, parameters, event
// properties and their types. The world is built in memory exactly as
// `amctl run` builds it, and asked through the same services interface the
// component uses, so the answers are the repository's own.
//
// Nothing here writes a file, sets a variable or starts a process. Not
// thread-safe (loading an archive logs through the process's logger).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "service_config/config.h"
#include "settings/action_manager_settings.h"
#include "tools/shared_readers.h"

namespace tools {

enum class Severity { kError, kWarning };

struct LintRule {
  std::string_view code;
  Severity severity;
  std::string_view name;     // a short identifier, for SARIF's rule name
  std::string_view summary;  // one sentence
};

// Every code, in order. Codes are never reused for another meaning.
std::span<const LintRule> LintRules();
// The rule of `code`; null for an unknown code.
const LintRule* FindLintRule(std::string_view code);

struct Finding {
  std::string file;   // as messages name it ("standard input" for "-")
  std::string place;  // "line L, column C", a field path, "offset N", or empty
  int line = 0;       // 1-based; 0 when the place is not a line
  int column = 0;
  std::string code;
  Severity severity = Severity::kError;
  std::string message;
};

using Findings = std::vector<Finding>;

// Records a finding of `code` (whose severity comes from the table).
void AddFinding(Findings* findings, std::string file, std::string place, std::string_view code,
                std::string message);
// Records a reader's refusal: a syntax error (line and column), an archive
// that does not read (offset), an unreadable file, or a shape problem (a
// field path). `file` is used unless the error names another file.
void AddReaderError(Findings* findings, const std::string& file, const InputError& error);

// The classes of a scenario's or the service's world, built in memory.
class LintWorld {
 public:
  // Builds the world of `scenario` (namespace, standard classes, classes,
  // instances; settings and events are not used). On failure returns null and
  // `*error` says why, as `amctl run` would. With `commands_run` (the
  // service's world, where methods backed by a command run) such a method
  // is accepted and given a provider that is never called; without it it is
  // refused, as `amctl run` refuses it.
  static std::unique_ptr<LintWorld> Build(const Scenario& scenario, InputError* error,
                                          bool commands_run = false);
  ~LintWorld();
  LintWorld(const LintWorld&) = delete;
  LintWorld& operator=(const LintWorld&) = delete;

  struct Impl;
  const Impl& impl() const { return *impl_; }

 private:
  explicit LintWorld(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Checks a settings document whose text was parsed: the reader's refusal (if
// any), names that collide, and the meaning of every action, with the world's
// classes when `world` is not null. Places are field paths under `prefix`
// ("" for a settings file, "settings" inside a scenario).
void LintSettingsJson(const Json& settings, const std::string& file, const std::string& prefix,
                      const LintWorld* world, Findings* findings);

// Checks the settings archive at `path` ("-": standard input) read with
// `version`: whether it reads, the actions loading leaves out, entries that
// loading merges, and the meaning of every action. Meaning findings are
// placed by the field paths of the archive's JSON form (`amctl settings
// decode`).
void LintSettingsArchive(const std::string& path, std::int32_t version, const LintWorld* world,
                         Findings* findings);

// Checks a scenario document read from `path` (whose folder resolves its
// relative paths): the reader, the world and its events, and the settings
// against that world.
void LintScenario(const Json& json, const std::string& path, Findings* findings);

// What the settings reader refused, by piece: the meaning checks skip these
// rules and actions, whose fields may not mean what the checks assume.
struct ShapeRefusals {
  std::set<std::size_t> rules;                            // by index
  std::set<std::pair<std::size_t, std::size_t>> actions;  // (rule, action)
};

// Reads settings JSON with the settings reader piece by piece (the document
// without its rules, each rule without its actions, each action in a rule of
// its own), so that a refusal does not hide the next one: reports the first
// refusal of every piece, each saying what the meaning checks then skip.
// Names that collide are LintSettingsNames' to report, not this.
ShapeRefusals LintSettingsShape(const Json& json, const std::string& file,
                                const std::string& prefix, Findings* findings);

// The meaning checks alone, for settings already read: `json` is the
// settings' JSON form (as written, or SettingsToJson of an archive), less
// what `skip` names. Used by the functions above and by hosts that read their
// own documents (the service's configuration).
void LintSettingsMeaning(const Json& json, const std::string& file, const std::string& prefix,
                         const LintWorld* world, Findings* findings,
                         const ShapeRefusals* skip = nullptr);

// The checks of an archive's settings once loaded (`left_out` as
// LoadSettingsFile gives it), for hosts that load archives themselves.
void LintArchiveSettings(const std::string& path, std::int32_t version,
                         const CActionManagerSettings& settings,
                         const std::vector<InputError>& left_out, const LintWorld* world,
                         Findings* findings);

// The collisions the settings reader refuses (letter case, repeated events
// and action names), found all at once rather than the first only.
void LintSettingsNames(const Json& json, const std::string& file, const std::string& prefix,
                       Findings* findings);

// Reports a reader's refusal unless a finding of LintSettingsNames or
// LintSettingsShape already stands at its place (the reader stops at the
// first of them).
void AddReaderErrorUnlessNamed(Findings* findings, const std::string& file,
                               const InputError& error);

// Where each field path of the JSON document `text` begins, as a byte
// offset: an object member at its key's opening quote, an array element (and
// the document, at "") at its first character. `text` must be JSON that
// ParseJson accepts; for anything else the map holds what was read before the
// parser stopped.
std::unordered_map<std::string, std::size_t> FieldOffsets(std::string_view text);

// Gives every finding of `file` that is placed by a field path the line and
// column (1-based, in bytes) where that path begins in `text`, the file's
// JSON. A path the text lacks (a required field left out) is placed at the
// nearest enclosing path that the text has.
void PlaceFieldPaths(std::string_view text, const std::string& file, Findings* findings);

// For a configuration whose Alertmanager mapping raises events: each
// built-in action of a rule for the mapping's firing or resolved class that
// calls a command-backed method, checked for values the mapping may leave
// out. A key, and an in-parameter the command names as a placeholder, must
// come from an event property the mapping always fills: EventId,
// ProfileName, event_key (the label alertname, which every alert has), or a
// property mapped from labels.alertname or from a field of the alert or the
// notification. A property filled from another label or an annotation
// (mapped, by name, or severity) or not filled at all is warned about: an
// alert without it fails the call with 901. `settings` is the profile's
// settings JSON, placed under `prefix`.
void LintAlertFeeds(const service::Config& config, const Json& settings, const std::string& file,
                    const std::string& prefix, Findings* findings);

// The program wrapper in the folder that `environment` gives as
// ZMO_HALBERD_DIR, checked when `settings` (settings JSON) hold a program
// action: every such action fails with 901 when scustom.pl cannot be read
// there. Nothing is checked when the variable is absent or empty (the
// process's own environment then decides). `place` is the environment
// field's path.
void LintProgramFolder(const std::vector<std::pair<std::string, std::string>>& environment,
                       const std::vector<const Json*>& settings, const std::string& file,
                       const std::string& place, Findings* findings);

}  // namespace tools
