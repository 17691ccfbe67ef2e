// amctl settings encode / decode: settings JSON to archive and back.
//
//   encode  reads SETTINGS.json (tools/settings_json.h), stores the settings
//           with the given version and writes the archive to OUT.bin as
//           tools/file_io.h's WriteOutputFile does ("-": standard output).
//   decode  loads IN.bin with the given version and writes the settings as JSON.
//           Bytes left after the settings record are an error naming their
//           count and offset: that is how a wrong version shows, since no
//           record carries its version. When the archive would read cleanly
//           with the other layout, the message says at which version.
//           An action entry whose class name names no action kind is left
//           out by loading; decode says so on `err` for each one (rule,
//           action, class name, offset), and with `strict` it is an error.
//
// Archive versions run from kMinArchiveVersion to kMaxArchiveVersion: the
// layouts this tool knows change at 6 (event definitions) and at 11 (built-in
// actions), and a version beyond the newest could name a layout it does not
// know.
//
// Messages go to `err` as described in tools/exit_status.h. Not thread-safe:
// loading and storing log through the process's logger.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "settings/action_manager_settings.h"
#include "tools/exit_status.h"

namespace tools {

inline constexpr std::int32_t kDefaultArchiveVersion = 11;
inline constexpr std::int32_t kMinArchiveVersion = 1;
inline constexpr std::int32_t kMaxArchiveVersion = 11;

ExitStatus EncodeSettings(const std::string& json_path, const std::string& out_path,
                          std::int32_t version, std::ostream& err);
ExitStatus DecodeSettings(const std::string& archive_path, std::int32_t version, bool strict,
                          std::ostream& out, std::ostream& err);

// Reads and parses a JSON file; on failure reports it to `err` and returns
// false. Shared by the commands that read JSON.
[[nodiscard]] bool ReadJsonFile(const std::string& path, Json* json, std::ostream& err);

// Loads the settings archive at `path` ("-": standard input) with `version`.
// On failure (unreadable, cut short, corrupt, bytes left over) `*settings` is
// left as it was and `*error` names the file and the offset. Every action
// entry that loading left out is added to `*left_out` (when not null) as a
// problem naming the file, the offset, the rule and the class name.
[[nodiscard]] bool LoadSettingsFile(const std::string& path, std::int32_t version,
                                    CActionManagerSettings* settings, InputError* error,
                                    std::vector<InputError>* left_out = nullptr);

}  // namespace tools
