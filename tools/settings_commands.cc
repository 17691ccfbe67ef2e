#include "tools/settings_commands.h"

#include <vector>

#include "settings/archive_io.h"
#include "tools/file_io.h"
#include "tools/settings_json.h"

namespace amctl {

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

bool LoadSettingsFile(const std::string& path, std::int32_t version,
                      CActionManagerSettings* settings, InputError* error) {
  std::string bytes;
  std::string why;
  if (!ReadWholeFile(path, &bytes, &why)) {
    *error = {"", "cannot read: " + why, InputName(path)};
    return false;
  }
  const std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  AmArchiveStatus status;
  CActionManagerSettings loaded;
  if (!LoadSettingsArchive(data, version, loaded, &status)) {
    *error = {"offset " + std::to_string(status.offset), status.reason, InputName(path)};
    return false;
  }
  if (status.offset != data.size()) {
    const std::size_t left = data.size() - status.offset;
    *error = {"offset " + std::to_string(status.offset),
              std::to_string(left) + (left == 1 ? " byte remains" : " bytes remain") +
                  " after the settings record (stored with another version than " +
                  std::to_string(version) + "?)",
              InputName(path)};
    return false;
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
  std::vector<std::uint8_t> archive;
  AmArchiveStatus status;
  if (!StoreSettingsArchive(settings, version, archive, &status)) {
    // Settings read from JSON hold only storable kinds; this is the library
    // refusing something else, so say what it said.
    err << "amctl: " << InputName(json_path) << ": cannot store the settings: " << status.reason << '\n';
    return kFailed;
  }
  std::string why;
  if (!WriteOutputFile(
          out_path, std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()),
          &why)) {
    err << "amctl: " << (out_path == "-" ? "standard output" : out_path) << ": cannot write: " << why
        << '\n';
    return kFailed;
  }
  return kRan;
}

ExitStatus DecodeSettings(const std::string& archive_path, std::int32_t version, std::ostream& out,
                          std::ostream& err) {
  CActionManagerSettings settings;
  InputError error;
  if (!LoadSettingsFile(archive_path, version, &settings, &error)) {
    return ReportInvalidInput(err, InputName(archive_path), error);
  }
  out << SettingsToJson(settings).dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
  out.flush();
  if (!out) {
    err << "amctl: cannot write the settings to standard output\n";
    return kFailed;
  }
  return kRan;
}

}  // namespace amctl
