// amctl settings encode / decode: settings JSON to archive and back.
//
//   encode  reads SETTINGS.json (tools/settings_json.h), stores the settings
//           with the given version and writes the archive to OUT.bin as
//           base/file_io.h's WriteOutputFile does ("-": standard output).
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
#include "tools/shared_readers.h"

namespace tools {


ExitStatus EncodeSettings(const std::string& json_path, const std::string& out_path,
                          std::int32_t version, std::ostream& err);
ExitStatus DecodeSettings(const std::string& archive_path, std::int32_t version, bool strict,
                          std::ostream& out, std::ostream& err);

// Reads and parses a JSON file; on failure reports it to `err` and returns
// false. Shared by the commands that read JSON.
[[nodiscard]] bool ReadJsonFile(const std::string& path, Json* json, std::ostream& err);


}  // namespace tools
