#include "tools/settings_commands.h"

#include <vector>

#include "settings/archive_io.h"
#include "tools/shared_readers.h"

namespace tools {

bool ReadJsonFile(const std::string& path, Json* json, std::ostream& err) {
  std::string text;
  std::string why;
  if (!ReadWholeFile(path, &text, &why)) {
    ReportInvalidInput(err, path, {"", "cannot read: " + why});
    return false;
  }
  InputError error;
  if (!ParseJson(text, json, &error)) {
    ReportInvalidInput(err, path, error);
    return false;
  }
  return true;
}

ExitStatus EncodeSettings(const std::string& json_path, const std::string& out_path,
                          std::int32_t version, std::ostream& err) {
  Json json;
  if (!ReadJsonFile(json_path, &json, err)) return kInvalidInput;
  CActionManagerSettings settings;
  InputError error;
  if (!SettingsFromJson(json, &settings, &error)) {
    return ReportInvalidInput(err, json_path, error);
  }
  std::vector<std::uint8_t> archive;
  AmArchiveStatus status;
  if (!StoreSettingsArchive(settings, version, archive, &status)) {
    // Settings read from JSON hold only storable kinds; this is the library
    // refusing something else, so say what it said.
    err << "amctl: " << json_path << ": cannot store the settings: " << status.reason << '\n';
    return kFailed;
  }
  std::string why;
  if (!WriteFileAtomically(
          out_path, std::string_view(reinterpret_cast<const char*>(archive.data()), archive.size()),
          &why)) {
    err << "amctl: " << out_path << ": cannot write: " << why << '\n';
    return kFailed;
  }
  return kRan;
}

ExitStatus DecodeSettings(const std::string& archive_path, std::int32_t version, std::ostream& out,
                          std::ostream& err) {
  CActionManagerSettings settings;
  InputError error;
  if (!LoadSettingsFile(archive_path, version, &settings, &error)) {
    return ReportInvalidInput(err, archive_path, error);
  }
  out << SettingsToJson(settings).dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
  out.flush();
  if (!out) {
    err << "amctl: cannot write the settings to standard output\n";
    return kFailed;
  }
  return kRan;
}

}  // namespace tools
