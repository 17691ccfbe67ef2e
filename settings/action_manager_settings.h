// CActionManagerSettings: the action rules of one monitoring profile, each
// filed under the name of the event class that triggers it (exact, case-
// sensitive; the event sink folds case later).
//
// The settings own their rules by value, and each rule its actions. There is
// no copy: the component copies rule by rule.
//
// Record: long R, then R entries in enumeration order, each the event class
// name and the record of a copy of the rule (so the actions of each chain
// appear in the copy's order). Each store and each load ends by telling the
// archive observer (below) how many rules it wrote or read.
// Loading replaces every rule; it throws CArchiveException on short or
// corrupt data, and the settings then hold the rules loaded so far and are to
// be discarded (LoadSettingsArchive in settings/archive_io.h leaves its target
// untouched instead). Not thread-safe.
#pragma once

#include <cstdint>

#include "settings/action_rule.h"
#include "settings/archive.h"
#include "settings/export.h"
#include "settings/object.h"
#include "settings/string_map.h"

// What a store or a load of the settings did. The settings library sits below
// the host framework and logs nothing itself: the component library installs
// the observer that logs "Serialized %d action rules" and "De-serialized %d
// action rules" (component/library_state.h), so a process that loads
// libActionManager.so logs them at every store and load.
struct SettingsArchived {
  bool storing;    // false: loaded
  int rule_count;  // as written, or as read from the record
};
using SettingsArchiveObserver = void (*)(const SettingsArchived&);

// Installs the observer; null removes it. Thread-safe (an atomic pointer).
void SetSettingsArchiveObserver(SettingsArchiveObserver observer);

class AM_EXPORT CActionManagerSettings : public CObject {
  AM_DECLARE_SERIAL(CActionManagerSettings)

 public:
  CActionManagerSettings() = default;
  CActionManagerSettings(const CActionManagerSettings&) = delete;
  CActionManagerSettings& operator=(const CActionManagerSettings&) = delete;
  ~CActionManagerSettings() override = default;

  // Removes every rule and with it every action.
  void ClearAll() noexcept { m_mapRules.RemoveAll(); }

  using CObject::Serialize;
  void Serialize(CArchive& ar, std::int32_t version);

  CStringMap<CActionRule> m_mapRules;
};
