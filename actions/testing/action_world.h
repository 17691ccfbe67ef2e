// Test support: the fixture the component and action tests run in: the shared
// world (a real repository with the agent's standard classes in root\zrv and
// the collector of ZRV_ActionResult events), its services seen through the
// fault-injecting wrapper, and a journal of the log. The fixture checks that
// every BSTR, repository object and wrapper was released by the end of a test.
//
// Tests of one binary run one after another: the logger's line sink and the
// live counts are process-wide.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "actions/testing/fault_injection.h"
#include "actions/testing/journal.h"
#include "component/action_manager_sink.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "wbem/testing/leak_check.h"
#include "world/world.h"

namespace actions::testing {

using world::Mof;
using world::Properties;
using world::ReadProperties;

// Files a rule under `event_class` whose actions are filed as "a0", "a1", ...
void AddRule(CActionManagerSettings& settings, const std::string& event_class,
             std::vector<std::unique_ptr<CBaseActionInfo>> actions);
template <typename... Actions>
std::vector<std::unique_ptr<CBaseActionInfo>> ActionList(Actions... actions) {
  std::vector<std::unique_ptr<CBaseActionInfo>> list;
  (list.push_back(std::move(actions)), ...);
  return list;
}

class ActionWorld : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A new, unfiled instance of `event_class` in `ns` (root\zrv when null).
  wbem::ComPtr<IWbemClassObject> NewEvent(std::string_view event_class,
                                          const repository::PropertyValues& values,
                                          const repository::Namespace* ns = nullptr);
  // Hands `event` to `sink` and waits for what it indicated; returns
  // ProcessEvent's result. Checks that the processing released every
  // reference it obtained, once the result events are taken.
  int Process(CActionManagerSink& sink, IWbemClassObject* event);
  // The result events collected so far, and a fresh start.
  std::vector<Properties> TakeResults();
  // The same, one line per event of "name=value" pairs, in the order of
  // `names` (every property, by name, when empty): one comparison shows a
  // whole event.
  std::string TakeResultText(std::initializer_list<std::string_view> names = {});

  world::World world_;
  repository::Repository& repo_ = world_.repository();
  const repository::Namespace& ns_ = world_.ns();
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  wbem::ComPtr<IWbemServices> services_;

 private:
  std::vector<Properties> taken_;
};

}  // namespace actions::testing
