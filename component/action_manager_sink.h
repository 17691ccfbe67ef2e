// CActionManagerSink: one monitoring profile's component. It is the profile's
// temporary event sink (subscribed to the profile's ZRV_Event instances from
// Start to Stop) and holds the profile's rules, ready to run, under their
// lower-cased event class names.
//
// What the action executors use of it: the profile name (GetProfileName), the
// services pointer given to Start (GetServices) and DecodeVariant, all from
// the host's CTemporarySink.
//
// Ownership: created by CompCreate, destroyed by CompDelete; owns its rule
// executors. The settings it was built from are only read while it is built.
// Threads: events are processed one at a time, on the delivery thread
// (CTemporarySink serialises deliveries); the rule map never changes after
// construction.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>

#include "host/temporary_sink.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"

class CImplActionRule;

class CActionManagerSink : public CTemporarySink {
 public:
  CActionManagerSink(const std::string& profile_name, const CActionManagerSettings& settings);
  ~CActionManagerSink() override;

  // Installs a fresh rule executor for `rule` under `name` (already lower
  // case), replacing and destroying any executor filed under it.
  void AddRule(const std::string& name, const CActionRule& rule);

  // 0 when the event's class name cannot be read, 1 when no rule is filed
  // under it, else the result of the rule's ExecuteActions.
  int ProcessEvent(IWbemClassObject* event) override;

  int Start(IWbemServices* services) override;
  int Stop() override;

  // The rule executor filed under a lower-cased name, or null.
  CImplActionRule* FindRule(const std::string& lower_case_name) const;
  std::size_t GetRuleCount() const { return m_mapRules.size(); }

 private:
  std::unordered_map<std::string, std::unique_ptr<CImplActionRule>> m_mapRules;
};
