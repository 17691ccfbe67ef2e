#include "tools/settings_commands.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "settings/action_info.h"
#include "settings/archive_io.h"
#include "tools/file_io.h"
#include "tools/settings_json.h"

namespace tools {

bool ReadJsonFile(const std::string& path, Json* json, std::ostream& err) {
  std::string text;
  std::string why;
  if (!ReadWholeFile(path, &text, &why)) {
    ReportInvalidInput(err, InputName(path), {"", "cannot read: " + why});
    return false;
  }
  InputError error;
  if (!ParseJson(text, json, &error)) {
    ReportInvalidInput(err, InputName(path), error);
    return false;
  }
  return true;
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
  const std::string name = InputName(path);
  std::string bytes;
  std::string why;
  if (!ReadWholeFile(path, &bytes, &why)) {
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

ExitStatus EncodeSettings(const std::string& json_path, const std::string& out_path,
                          std::int32_t version, std::ostream& err) {
  Json json;
  if (!ReadJsonFile(json_path, &json, err)) return kInvalidInput;
  CActionManagerSettings settings;
  InputError error;
  if (!SettingsFromJson(json, &settings, &error)) {
    return ReportInvalidInput(err, InputName(json_path), error);
  }
  json = Json();  // the settings hold what is needed now
  std::vector<std::uint8_t> archive;
  AmArchiveStatus status;
  if (!StoreSettingsArchive(settings, version, archive, &status)) {
    // Settings read from JSON hold only storable kinds; this is the library
    // refusing something else, so say what it said.
    err << "amctl: " << InputName(json_path) << ": cannot store the settings: " << status.reason
        << '\n';
    return kFailed;
  }
  std::string why;
  errno = 0;
  if (!WriteOutputFile(
          out_path, std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()),
          &why)) {
    if (out_path == "-" && errno == EPIPE) return kOutputClosed;
    err << "amctl: " << (out_path == "-" ? "standard output" : out_path)
        << ": cannot write: " << why << '\n';
    return kFailed;
  }
  return kRan;
}

ExitStatus DecodeSettings(const std::string& archive_path, std::int32_t version, bool strict,
                          std::ostream& out, std::ostream& err) {
  CActionManagerSettings settings;
  InputError error;
  std::vector<InputError> left_out;
  if (!LoadSettingsFile(archive_path, version, &settings, &error, &left_out)) {
    return ReportInvalidInput(err, InputName(archive_path), error);
  }
  for (InputError& problem : left_out) {
    if (!strict) problem.message += "; the action is left out";
    ReportInvalidInput(err, InputName(archive_path), problem);
  }
  if (strict && !left_out.empty()) return kInvalidInput;
  const std::string text =
      SettingsToJson(settings).dump(2, ' ', false, Json::error_handler_t::replace) + '\n';
  errno = 0;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  if (!out) {
    const int error = errno != 0 ? errno : EIO;
    // A reader that stopped reading wants nothing more, not even a message.
    if (error == EPIPE) return kOutputClosed;
    err << "amctl: cannot write the settings to standard output: " << std::strerror(error) << '\n';
    return kFailed;
  }
  return kRan;
}

}  // namespace tools
