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

std::string ActionWorld::TakeResultText(std::initializer_list<std::string_view> names) {
  std::string text;
  for (const Properties& result : TakeResults()) {
    std::string line;
    auto add = [&line](std::string_view name, const std::string& value) {
      ((line += line.empty() ? "" : " ") += name) += "=" + value;
    };
    for (std::string_view name : names) {
      const auto it = result.find(std::string(name));
      add(name, it != result.end() ? it->second : "<absent>");
    }
    if (names.size() == 0) {
      for (const auto& [name, value] : result) add(name, value);
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace actions::testing
