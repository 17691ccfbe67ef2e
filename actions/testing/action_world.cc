#include "actions/testing/action_world.h"

#include <gtest/gtest.h>

#include <utility>

#include "settings/action_rule.h"
#include "wbem/holders.h"

namespace actions::testing {

void AddRule(CActionManagerSettings& settings, const std::string& event_class,
             std::vector<std::unique_ptr<CBaseActionInfo>> actions) {
  CActionRule rule;
  for (std::size_t i = 0; i < actions.size(); ++i) {
    rule.SetAt("a" + std::to_string(i), std::move(actions[i]));
  }
  settings.m_mapRules.SetAt(event_class, std::move(rule));
}

void ActionWorld::SetUp() {
  ASSERT_EQ(world_.DefineStandardClasses(true), WBEM_S_NO_ERROR);
  services_ = WrapServices(ns_.Services(), journal_);
  ASSERT_EQ(world_.CollectResults(), WBEM_S_NO_ERROR);
}

void ActionWorld::TearDown() {
  world_.StopCollecting();
  services_.Reset();
}

wbem::ComPtr<IWbemClassObject> ActionWorld::NewEvent(std::string_view event_class,
                                                     const repository::PropertyValues& values,
                                                     const repository::Namespace* ns) {
  wbem::ComPtr<IWbemClassObject> event;
  EXPECT_EQ((ns != nullptr ? *ns : ns_).NewInstance(event_class, values, &event), WBEM_S_NO_ERROR);
  return event;
}

int ActionWorld::Process(CActionManagerSink& sink, IWbemClassObject* event) {
  const wbem::LiveCounts before = wbem::GetLiveCounts();
  const int result = sink.ProcessEvent(event);
  EXPECT_TRUE(world_.WaitIdle());
  for (const auto& object : world_.TakeResults()) taken_.push_back(ReadProperties(object.get()));
  EXPECT_EQ(wbem::GetLiveCounts(), before) << "one event's processing kept a reference";
  return result;
}

std::vector<Properties> ActionWorld::TakeResults() {
  EXPECT_TRUE(world_.WaitIdle());
  for (const auto& object : world_.TakeResults()) taken_.push_back(ReadProperties(object.get()));
  return std::exchange(taken_, {});
}

}  // namespace actions::testing
