// amctl's settings JSON reader on arbitrary text. Reading may refuse the
// text, but what it accepts must store as an archive that loads back whole,
// decode's output of that archive must read back, and two decode-encode
// cycles must give back the archive's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "host/trace_utils.h"
#include "settings/archive_io.h"
#include "scenario/json_input.h"
#include "scenario/settings_json.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Archive(const CActionManagerSettings& settings) {
  Bytes bytes;
  if (StoreSettingsArchive(settings, 11, bytes) == 0) std::abort();
  return bytes;
}

// What `amctl settings encode` makes of what `amctl settings decode` writes
// of `archive`: the archive must load whole, and decode's output must be
// input that encode takes.
Bytes DecodeAndEncode(const Bytes& archive) {
  CActionManagerSettings loaded;
  AmArchiveStatus status;
  if (LoadSettingsArchive(archive, 11, loaded, &status) == 0 || status.offset != archive.size() ||
      !status.skipped.empty()) {
    std::abort();
  }
  const std::string decoded =
      scenario::SettingsToJson(loaded).dump(2, ' ', false, scenario::Json::error_handler_t::strict);
  scenario::Json json;
  scenario::InputError error;
  CActionManagerSettings reread;
  if (!scenario::ParseJson(decoded, &json, &error) ||
      !scenario::SettingsFromJson(json, &reread, &error)) {
    std::abort();
  }
  return Archive(reread);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Storing and loading log a notice each; keep the run quiet and fast.
  CTraceUtils::GetInstance()->SetThreshold(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  scenario::Json json;
  scenario::InputError error;
  if (!scenario::ParseJson(text, &json, &error)) return 0;
  CActionManagerSettings settings;
  if (!scenario::SettingsFromJson(json, &settings, &error)) return 0;

  // Each store-and-load cycle reverses the entries within a chain, so two
  // cycles give back the very bytes.
  const Bytes stored = Archive(settings);
  if (DecodeAndEncode(DecodeAndEncode(stored)) != stored) std::abort();
  return 0;
}
