#include "settings/archive_io.h"

#include <new>
#include <utility>

namespace {

void Report(AmArchiveStatus* status, std::size_t offset, std::string reason) {
  if (status) {
    status->offset = offset;
    status->reason = std::move(reason);
  }
}

// Runs `serialize` on a loading archive over `data` and, when it succeeds,
// `commit`, which hands the loaded object to the caller's.
template <typename Serialize, typename Commit>
int Load(const std::vector<std::uint8_t>& data, AmArchiveStatus* status, Serialize serialize,
         Commit commit) {
  CArchive ar(data);
  int result = 1;
  try {
    serialize(ar);
    commit();
    Report(status, ar.GetOffset(), {});
  } catch (const CArchiveException& e) {
    Report(status, e.GetOffset(), e.GetReason());
    result = 0;
  } catch (const std::bad_alloc&) {
    Report(status, ar.GetOffset(), "out of memory");
    result = 0;
  }
  if (status) status->skipped = std::move(ar.GetSkipped());
  return result;
}

template <typename Serialize>
int Store(std::vector<std::uint8_t>& out, AmArchiveStatus* status, Serialize serialize) {
  std::vector<std::uint8_t> record;
  CArchive ar(record, CArchive::store);
  try {
    serialize(ar);
    out.insert(out.end(), record.begin(), record.end());
  } catch (const CArchiveException& e) {
    Report(status, out.size() + e.GetOffset(), e.GetReason());
    return 0;
  } catch (const std::bad_alloc&) {
    Report(status, out.size() + record.size(), "out of memory");
    return 0;
  }
  Report(status, out.size(), {});
  return 1;
}

// Storing never changes an object, but Serialize serves both directions and
// is therefore not const.
template <typename T>
T& Mutable(const T& object) {
  return const_cast<T&>(object);
}

}  // namespace

int LoadSettingsArchive(const std::vector<std::uint8_t>& data, std::int32_t version,
                        CActionManagerSettings& settings, AmArchiveStatus* status) {
  CActionManagerSettings loaded;
  return Load(
      data, status, [&](CArchive& ar) { loaded.Serialize(ar, version); },
      [&] { settings.m_mapRules.Swap(loaded.m_mapRules); });
}

int StoreSettingsArchive(const CActionManagerSettings& settings, std::int32_t version,
                         std::vector<std::uint8_t>& out, AmArchiveStatus* status) {
  return Store(out, status, [&](CArchive& ar) { Mutable(settings).Serialize(ar, version); });
}

int LoadSettingsArchive(const std::vector<std::uint8_t>& data, std::int32_t version,
                        CEventDef& event_def, AmArchiveStatus* status) {
  CEventDef loaded;
  return Load(
      data, status, [&](CArchive& ar) { loaded.Serialize(ar, version); },
      [&] { event_def = static_cast<const CEventDef&>(loaded); });
}

int StoreSettingsArchive(const CEventDef& event_def, std::int32_t version,
                         std::vector<std::uint8_t>& out, AmArchiveStatus* status) {
  return Store(out, status, [&](CArchive& ar) { Mutable(event_def).Serialize(ar, version); });
}

int LoadSettingsArchive(const std::vector<std::uint8_t>& data, CStringListParameter& list,
                        AmArchiveStatus* status) {
  CStringListParameter loaded;
  return Load(
      data, status, [&](CArchive& ar) { loaded.Serialize(ar); }, [&] { list = loaded; });
}

int StoreSettingsArchive(const CStringListParameter& list, std::vector<std::uint8_t>& out,
                         AmArchiveStatus* status) {
  return Store(out, status, [&](CArchive& ar) { Mutable(list).Serialize(ar); });
}

int LoadSettingsArchive(const std::vector<std::uint8_t>& data, CNumericListParameter& list,
                        AmArchiveStatus* status) {
  CNumericListParameter loaded;
  return Load(
      data, status, [&](CArchive& ar) { loaded.Serialize(ar); }, [&] { list = loaded; });
}

int StoreSettingsArchive(const CNumericListParameter& list, std::vector<std::uint8_t>& out,
                         AmArchiveStatus* status) {
  return Store(out, status, [&](CArchive& ar) { Mutable(list).Serialize(ar); });
}
