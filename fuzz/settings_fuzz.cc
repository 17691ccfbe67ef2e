// Loads arbitrary bytes through every settings record. The first byte picks
// the record and version; the rest is the archive. A load may fail only with
// CArchiveException; a load that succeeds must survive storing and loading
// again, and two round trips must reproduce the first stored bytes (each
// round trip of settings reverses the order within a chain once).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "host/trace_utils.h"
#include "settings/action_manager_settings.h"
#include "settings/event_def.h"
#include "settings/list_parameters.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <typename T, typename... Version>
Bytes Store(T& object, Version... version) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  object.Serialize(ar, version...);
  return out;
}

// Loads `data` into a fresh T; false when the archive is rejected.
template <typename T, typename... Version>
bool Load(const Bytes& data, T& object, Version... version) {
  try {
    CArchive ar(data);
    object.Serialize(ar, version...);
    return true;
  } catch (const CArchiveException&) {
    return false;
  }
}

// Stored bytes of a successful load must load again (at the version that
// reads what storing writes) and come back identical after two round trips.
template <typename T, typename... Version>
void CheckRoundTrips(T& loaded, Version... version) {
  const Bytes first = Store(loaded, version...);
  T second_object;
  if (!Load(first, second_object, version...)) std::abort();
  const Bytes second = Store(second_object, version...);
  T third_object;
  if (!Load(second, third_object, version...)) std::abort();
  if (Store(third_object, version...) != first) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The settings log a line per load and store; keep the run quiet and fast.
  CTraceUtils::GetInstance()->SetThreshold(2);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Bytes archive(data + 1, data + size);
  const int pick = data[0] % 6;
  if (pick < 2) {
    CActionManagerSettings settings;
    if (Load(archive, settings, pick == 0 ? 10 : 11)) CheckRoundTrips(settings, 11);
  } else if (pick == 2) {
    CStringListParameter list;
    if (Load(archive, list)) CheckRoundTrips(list);
  } else if (pick == 3) {
    // NaN payloads survive bit for bit, so byte equality still holds.
    CNumericListParameter list;
    if (Load(archive, list)) CheckRoundTrips(list);
  } else {
    CEventDef def;
    if (Load(archive, def, pick == 4 ? 5 : 6)) CheckRoundTrips(def, 6);
  }
  return 0;
}
