// Non-throwing entries for storing and loading whole settings objects, so
// that no caller has to catch CArchiveException itself.
//
// Each returns 1 on success and 0 on failure (the system's convention).
//   Loading reads the record from the start of `data` into a fresh object and
//   only on success moves it into `object`; on failure `object` is left as it
//   was. Bytes after the record are not an error here (the caller frames its
//   records); `status->offset` says where the record ended.
//   Storing appends the record to `out` only on success; on failure `out` is
//   left as it was (an action of no storable kind is the only such failure).
// `status` may be null. On success it holds the offset where the record ended
// (loading) or the new size of `out` (storing) and an empty reason; on
// failure the offset at which the archive failed and a short reason.
//
// Thread-safe as far as the objects passed in are not shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/action_manager_settings.h"
#include "settings/event_def.h"
#include "settings/export.h"
#include "settings/list_parameters.h"

struct AmArchiveStatus {
  std::size_t offset = 0;
  // Empty on success, e.g. "a long needs 4 bytes, 2 remain" on failure.
  std::string reason;
  // Loading: the action entries passed over because their class name names
  // no action kind (loading goes on with the next entry); on failure, those
  // met before it.
  std::vector<AmSkippedAction> skipped = {};
};

AM_EXPORT int LoadSettingsArchive(const std::vector<std::uint8_t>& data, std::int32_t version,
                                  CActionManagerSettings& settings,
                                  AmArchiveStatus* status = nullptr);
AM_EXPORT int StoreSettingsArchive(const CActionManagerSettings& settings, std::int32_t version,
                                   std::vector<std::uint8_t>& out,
                                   AmArchiveStatus* status = nullptr);

AM_EXPORT int LoadSettingsArchive(const std::vector<std::uint8_t>& data, std::int32_t version,
                                  CEventDef& event_def, AmArchiveStatus* status = nullptr);
AM_EXPORT int StoreSettingsArchive(const CEventDef& event_def, std::int32_t version,
                                   std::vector<std::uint8_t>& out,
                                   AmArchiveStatus* status = nullptr);

// The list parameters' record has one layout: no version.
AM_EXPORT int LoadSettingsArchive(const std::vector<std::uint8_t>& data, CStringListParameter& list,
                                  AmArchiveStatus* status = nullptr);
AM_EXPORT int StoreSettingsArchive(const CStringListParameter& list, std::vector<std::uint8_t>& out,
                                   AmArchiveStatus* status = nullptr);
AM_EXPORT int LoadSettingsArchive(const std::vector<std::uint8_t>& data,
                                  CNumericListParameter& list, AmArchiveStatus* status = nullptr);
AM_EXPORT int StoreSettingsArchive(const CNumericListParameter& list,
                                   std::vector<std::uint8_t>& out,
                                   AmArchiveStatus* status = nullptr);
