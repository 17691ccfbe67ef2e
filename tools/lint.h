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
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The meaning checks alone, for settings already read: `json` is the
// settings' JSON form (as written, or SettingsToJson of an archive). Used by
// the functions above and by hosts that read their own documents (the
// service's configuration).
void LintSettingsMeaning(const Json& json, const std::string& file, const std::string& prefix,
                         const LintWorld* world, Findings* findings);

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

// Reports a reader's refusal unless a finding of LintSettingsNames already
// stands at its place (the reader stops at the first of them).
void AddReaderErrorUnlessNamed(Findings* findings, const std::string& file,
                               const InputError& error);

}  // namespace tools
