#include "tools/check_command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>

#include "base/ascii.h"
#include "service_config/config.h"
#include "settings/archive_io.h"
#include "tools/shared_readers.h"

namespace tools {
namespace {

// The fields only a scenario has at its top (a service configuration has
// some of them too, but is told apart by "profiles").
constexpr const char* kScenarioFields[] = {
    "profile",          "events",           "classes",   "instances",   "settings",
    "settings_archive", "standard_classes", "namespace", "environment",
};

// An archive starts with its rule count as four little-endian bytes, so it
// holds a NUL among them unless it has millions of rules; JSON never does
// (a 123-rule archive starts with "{").
bool LooksLikeJson(const std::string& bytes) {
  if (bytes.substr(0, 4).find('\0') != std::string::npos) return false;
  const std::size_t first = bytes.find_first_not_of(" \t\r\n");
  return first == std::string::npos || bytes[first] == '{' || bytes[first] == '[';
}

std::string JsonKind(const Json& value) {
  if (value.is_array()) return "an array";
  if (value.is_string()) return "a string";
  if (value.is_number()) return "a number";
  if (value.is_boolean()) return "a boolean";
  return "null";
}

// The world of a configuration the daemon's reader refused in a profile,
// read by the scenario reader from the configuration's world fields (which
// the daemon's reader read before the profiles, so they passed): the
// settings' meaning can still be checked against its classes. Null when even
// that fails.
std::unique_ptr<LintWorld> WorldOfRefusedConfig(const Json& json, const std::string& path) {
  Json world = Json::object();
  world["profile"] = "P";
  for (const char* field : {"namespace", "standard_classes", "classes", "instances", "environment"}) {
    if (const auto it = json.find(field); it != json.end()) world[field] = *it;
  }
  world["settings"] = Json::object();
  scenario::Scenario scenario;
  InputError error;
  if (!ReadScenario(world, path, &scenario, &error)) return nullptr;
  return LintWorld::Build(scenario, &error, /*commands_run=*/true);
}

// The service's configuration, read by the daemon's own reader
// (service_config/config.h), which reads only files. Its world and its profiles'
// settings then go through the same meaning checks as a scenario's.
void CheckServiceConfig(const Json& json, const std::string& path, Findings* findings) {
  const std::string name = InputName(path);
  if (path == "-") {
    AddFinding(findings, name, "", "AM100",
               "a service configuration is checked from its file: its relative paths "
               "start from the file's folder");
    return;
  }
  const Json* profiles = nullptr;
  if (const auto it = json.find("profiles"); it != json.end() && it->is_array()) profiles = &*it;
  // The profiles' own settings, each refusal reported here, piece by piece.
  std::vector<ShapeRefusals> skips(profiles != nullptr ? profiles->size() : 0);
  for (std::size_t i = 0; i < skips.size(); ++i) {
    const Json& profile = (*profiles)[i];
    if (profile.is_object() && profile.contains("settings")) {
      const std::string prefix = FieldPath(IndexPath("profiles", i), "settings");
      LintSettingsNames(profile["settings"], name, prefix, findings);
      skips[i] = LintSettingsShape(profile["settings"], name, prefix, findings);
    }
  }
  service::Config config;
  scenario::Problems problems(scenario::Problems::Keep::kEvery);
  if (!service::ReadConfig(path, &config, problems)) {
    for (const InputError& refusal : problems.all()) AddReaderErrorUnlessNamed(findings, name, refusal);
    // Refusals in profiles alone leave the world readable; any other leaves
    // the settings' own checks only.
    const InputError& error = problems.first();
    std::unique_ptr<LintWorld> world;
    const bool in_profiles_only =
        std::all_of(problems.all().begin(), problems.all().end(), [](const InputError& e) {
          return e.file.empty() && e.place.starts_with("profiles[");
        });
    if (in_profiles_only) world = WorldOfRefusedConfig(json, path);
    for (auto it = findings->rbegin(); world == nullptr && it != findings->rend(); ++it) {
      if (it->place == error.place) {
        it->message += "; the configuration is not read, so the checks that need classes do not run";
        break;
      }
    }
    for (std::size_t i = 0; i < skips.size(); ++i) {
      const Json& profile = (*profiles)[i];
      if (!profile.is_object() || !profile.contains("settings")) continue;
      LintSettingsMeaning(profile["settings"], name,
                          FieldPath(IndexPath("profiles", i), "settings"), world.get(), findings,
                          &skips[i]);
    }
    return;
  }
  const scenario::Scenario world_only = service::DescribedWorld(config);
  InputError error;
  std::unique_ptr<LintWorld> world = LintWorld::Build(world_only, &error, /*commands_run=*/true);
  if (world == nullptr) {
    AddFinding(findings, error.file.empty() ? name : error.file, error.place, "AM300",
               error.message);
  }
  std::vector<Json> settings;
  for (const service::ProfileConfig& profile : config.profiles) {
    settings.push_back(SettingsToJson(*profile.settings));
  }
  std::vector<const Json*> each;
  for (const Json& one : settings) each.push_back(&one);
  LintProgramFolder(config.environment, each, name, "environment", findings);
  const std::filesystem::path folder = config.file.parent_path();
  for (std::size_t i = 0; i < profiles->size() && i < config.profiles.size(); ++i) {
    const Json& profile = (*profiles)[i];
    if (profile.contains("settings")) {
      const std::string prefix = FieldPath(IndexPath("profiles", i), "settings");
      LintSettingsMeaning(profile["settings"], name, prefix, world.get(), findings, &skips[i]);
      LintAlertFeeds(config, profile["settings"], name, prefix, findings);
      continue;
    }
    const std::string archive =
        (folder / profile["settings_archive"].get<std::string>()).lexically_normal().string();
    const auto version = profile.contains("version") ? profile["version"].get<std::int32_t>()
                                                     : kDefaultArchiveVersion;
    LintArchiveSettings(archive, version, *config.profiles[i].settings, {}, world.get(),
                        findings);
    LintAlertFeeds(config, SettingsToJson(*config.profiles[i].settings), InputName(archive), "",
                   findings);
  }
}

std::string SeverityName(Severity severity) {
  return severity == Severity::kError ? "error" : "warning";
}

// A file name as a relative URI reference: the characters that may not stand
// in one are percent-encoded.
std::string FileUri(const std::string& file) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri;
  for (const unsigned char c : file) {
    if (std::isalnum(c) != 0 || std::strchr("-._~/!$&'()*+,;=:@", c) != nullptr) {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri;
}

bool WriteText(std::ostream& out, const std::string& text, std::ostream& err) {
  errno = 0;
  out << text;
  out.flush();
  if (out) return true;
  const int error = errno != 0 ? errno : EIO;
  if (error != EPIPE) {
    err << "amctl: cannot write the findings to standard output: " << std::strerror(error) << '\n';
  }
  return false;
}

// The checks of a JSON document, by what it is.
void CheckJson(const Json& json, const std::string& path, Findings* findings);

}  // namespace

Findings CheckFile(const std::string& path, std::int32_t version) {
  Findings findings;
  const std::string name = InputName(path);
  std::string bytes;
  std::string why;
  if (!ReadWholeFile(path, &bytes, &why)) {
    AddFinding(&findings, name, "", "AM100", "cannot read: " + why);
    return findings;
  }
  if (!LooksLikeJson(bytes)) {
    if (path == "-") {
      // The archive reader reads its own file; standard input is spent.
      CActionManagerSettings settings;
      std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
      AmArchiveStatus status;
      if (LoadSettingsArchive(data, version, settings, &status) == 0 ||
          status.offset != data.size()) {
        AddFinding(
            &findings, name, "offset " + std::to_string(status.offset), "AM103",
            status.reason.empty() ? "bytes remain after the settings record" : status.reason);
        return findings;
      }
      LintArchiveSettings(path, version, settings, {}, nullptr, &findings);
      return findings;
    }
    LintSettingsArchive(path, version, nullptr, &findings);
    return findings;
  }
  Json json;
  InputError error;
  if (!ParseJson(bytes, &json, &error)) {
    AddReaderError(&findings, name, error);
    return findings;
  }
  CheckJson(json, path, &findings);
  PlaceFieldPaths(bytes, name, &findings);
  return findings;
}

namespace {

void CheckJson(const Json& json, const std::string& path, Findings* findings) {
  const std::string name = InputName(path);
  if (!json.is_object()) {
    AddFinding(findings, name, "", "AM105",
                         "is " + JsonKind(json) +
                             ", not an object: settings, scenarios and service configurations "
                             "are JSON objects");
    return;
  }
  if (json.contains("profiles")) {
    CheckServiceConfig(json, path, findings);
    return;
  }
  for (const char* field : kScenarioFields) {
    if (json.contains(field)) {
      LintScenario(json, path, findings);
      return;
    }
  }
  LintSettingsJson(json, name, "", nullptr, findings);
}

}  // namespace

Json FindingsToJson(const Findings& findings) {
  Json array = Json::array();
  for (const Finding& finding : findings) {
    Json entry = Json::object();
    entry["file"] = finding.file;
    entry["place"] = finding.place;
    entry["line"] = finding.line > 0 ? Json(finding.line) : Json(nullptr);
    entry["column"] = finding.column > 0 ? Json(finding.column) : Json(nullptr);
    entry["code"] = finding.code;
    entry["severity"] = SeverityName(finding.severity);
    entry["message"] = finding.message;
    array.push_back(std::move(entry));
  }
  return array;
}

Json FindingsToSarif(const Findings& findings) {
  Json rules = Json::array();
  for (const LintRule& rule : LintRules()) {
    Json entry = Json::object();
    entry["id"] = std::string(rule.code);
    entry["name"] = std::string(rule.name);
    entry["shortDescription"] = {{"text", std::string(rule.summary)}};
    entry["defaultConfiguration"] = {{"level", SeverityName(rule.severity)}};
    entry["helpUri"] = AM_LINT_DOC_URI "#" + base::AsciiLowered(rule.code);
    rules.push_back(std::move(entry));
  }
  Json results = Json::array();
  const auto all = LintRules();
  for (const Finding& finding : findings) {
    Json result = Json::object();
    result["ruleId"] = finding.code;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (all[i].code == finding.code) result["ruleIndex"] = i;
    }
    result["level"] = SeverityName(finding.severity);
    result["message"] = {{"text", finding.message}};
    Json physical = Json::object();
    physical["artifactLocation"] = {{"uri", FileUri(finding.file)}};
    unsigned long long offset = 0;
    if (finding.line > 0) {
      physical["region"] = {{"startLine", finding.line}, {"startColumn", finding.column}};
    } else if (std::sscanf(finding.place.c_str(), "offset %llu", &offset) == 1) {
      physical["region"] = {{"byteOffset", offset}};
    }
    Json location = Json::object();
    location["physicalLocation"] = std::move(physical);
    // A field path also names the member: the region shows where it stands.
    if (!finding.place.empty() && !finding.place.starts_with("offset ") &&
        !finding.place.starts_with("line ")) {
      location["logicalLocations"] =
          Json::array({{{"fullyQualifiedName", finding.place}, {"kind", "member"}}});
    }
    result["locations"] = Json::array({std::move(location)});
    results.push_back(std::move(result));
  }
  Json driver = Json::object();
  driver["name"] = "amctl";
  driver["version"] = AM_VERSION;
  driver["informationUri"] = AM_LINT_DOC_URI;
  driver["rules"] = std::move(rules);
  Json run = Json::object();
  run["tool"] = {{"driver", std::move(driver)}};
  run["results"] = std::move(results);
  Json log = Json::object();
  log["$schema"] = "https://json.schemastore.org/sarif-2.1.0.json";
  log["version"] = "2.1.0";
  log["runs"] = Json::array({std::move(run)});
  return log;
}

ExitStatus CheckCommand(const std::vector<std::string>& files, const CheckOptions& options,
                        std::ostream& out, std::ostream& err) {
  Findings findings;
  for (const std::string& file : files) {
    Findings found = CheckFile(file, options.version);
    findings.insert(findings.end(), std::make_move_iterator(found.begin()),
                    std::make_move_iterator(found.end()));
  }
  std::size_t errors = 0;
  std::size_t warnings = 0;
  for (const Finding& finding : findings) {
    ++(finding.severity == Severity::kError ? errors : warnings);
  }
  std::string text;
  switch (options.format) {
    case CheckFormat::kText:
      for (const Finding& finding : findings) {
        text += finding.file + ":";
        if (!finding.place.empty()) text += finding.place + ":";
        text += " " + SeverityName(finding.severity) + ": " + finding.code + ": " + finding.message +
                "\n";
      }
      break;
    case CheckFormat::kJson:
      text = FindingsToJson(findings).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
      break;
    case CheckFormat::kSarif:
      text = FindingsToSarif(findings).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
      break;
  }
  if (!WriteText(out, text, err)) return kFailed;
  if (options.format == CheckFormat::kText && !findings.empty()) {
    err << "amctl: check: " << errors << (errors == 1 ? " error" : " errors") << ", " << warnings
        << (warnings == 1 ? " warning" : " warnings") << " in " << files.size()
        << (files.size() == 1 ? " file\n" : " files\n");
  }
  const bool failed = errors > 0 || (options.strict && warnings > 0);
  return failed ? kFailed : kRan;
}

}  // namespace tools
