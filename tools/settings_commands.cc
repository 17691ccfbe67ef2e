#include "tools/settings_commands.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "settings/action_info.h"
#include "settings/archive_io.h"
#include "tools/shared_readers.h"

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
