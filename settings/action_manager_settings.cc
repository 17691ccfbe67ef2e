#include "settings/action_manager_settings.h"

#include <atomic>

namespace {

std::atomic<SettingsArchiveObserver> g_observer{nullptr};

void Tell(bool storing, int rule_count) {
  if (const SettingsArchiveObserver observer = g_observer.load()) observer({storing, rule_count});
}

}  // namespace

void SetSettingsArchiveObserver(SettingsArchiveObserver observer) { g_observer.store(observer); }

AM_IMPLEMENT_SERIAL(CActionManagerSettings, CObject)

void CActionManagerSettings::Serialize(CArchive& ar, std::int32_t version) {
  if (ar.IsStoring()) {
    const int count = m_mapRules.GetCount();
    ar.WriteCount(static_cast<std::size_t>(count));
    for (const auto& [event_name, rule] : m_mapRules) {
      ar.WriteString(event_name);
      // A rule is stored as a copy of it would be, without making the copy.
      rule.Store(ar, version, true);
    }
    Tell(true, count);
    return;
  }
  // An entry is at least a one-byte name prefix and a four-byte action count.
  const std::int32_t count = ar.ReadCount(5);
  ClearAll();
  // The count is checked against the data left, so the index it sizes stays
  // proportional to the input.
  if (count > 0) m_mapRules.Reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const std::string event_name = ar.ReadString();
    CActionRule loaded;
    {
      // The actions this rule leaves out carry its name, also when reading
      // it fails part way: the failed load still reports what it skipped.
      struct NameSkipped {
        CArchive& ar;
        const std::string& rule;
        const std::size_t from = ar.GetSkipped().size();
        ~NameSkipped() {
          for (std::size_t k = from; k < ar.GetSkipped().size(); ++k)
            ar.GetSkipped()[k].rule = rule;
        }
      } naming{ar, event_name};
      loaded.Serialize(ar, version);
    }
    // Filed as assignment would file it, without cloning every action.
    m_mapRules[event_name].TakeActionsFrom(loaded);
  }
  Tell(false, count);
}
