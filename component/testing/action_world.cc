#include "component/testing/action_world.h"

#include <gtest/gtest.h>

#include <utility>

#include "host/zrv_classes.h"
#include "settings/action_rule.h"
#include "wbem/cim.h"
#include "wbem/holders.h"

namespace am_testing {

Properties ReadProperties(IWbemClassObject* object) {
  Properties props;
  if (object == nullptr) return props;
  object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY);
  for (;;) {
    wbem::Bstr name;
    wbem::Variant value;
    CIMTYPE type = CIM_EMPTY;
    if (object->Next(0, name.Out(), value.ptr(), &type, nullptr) != WBEM_S_NO_ERROR) break;
    props[name.ToUtf8()] = wbem::FormatCimValue(type, value.get());
  }
  object->EndEnumeration();
  return props;
}

std::string Mof(const std::string& text) {
  return wbem::FormatCimValue(CIM_STRING, wbem::Variant(text).get());
}

void AddRule(CActionManagerSettings& settings, const std::string& event_class,
             std::vector<std::unique_ptr<CBaseActionInfo>> actions) {
  CActionRule rule;
  for (std::size_t i = 0; i < actions.size(); ++i) {
    rule.SetAt("a" + std::to_string(i), std::move(actions[i]));
  }
  settings.m_mapRules.SetAt(event_class, std::move(rule));
}

void ActionWorld::SetUp() {
  ASSERT_EQ(ns_.Define(host::ZrvEventClass()), WBEM_S_NO_ERROR);
  services_ = WrapServices(ns_.Services(), journal_);
  if (define_result_class_) {
    ASSERT_EQ(ns_.Define(host::ZrvActionResultClass()), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_ActionResult", results_.get()), WBEM_S_NO_ERROR);
  }
}

void ActionWorld::TearDown() {
  ns_.Unsubscribe(results_.get());
  results_->Clear();
  services_.Reset();
  EXPECT_EQ(LiveWrappers().load(), 0);
}

wbem::ComPtr<IWbemClassObject> ActionWorld::NewEvent(std::string_view event_class,
                                                     const wbem::PropertyValues& values,
                                                     const wbem::Namespace* ns) {
  wbem::ComPtr<IWbemClassObject> event;
  EXPECT_EQ((ns != nullptr ? *ns : ns_).NewInstance(event_class, values, &event), WBEM_S_NO_ERROR);
  return event;
}

int ActionWorld::Process(CActionManagerSink& sink, IWbemClassObject* event) {
  const wbem::LiveCounts before = wbem::GetLiveCounts();
  const int result = sink.ProcessEvent(event);
  EXPECT_TRUE(repo_.WaitIdle());
  for (const auto& object : results_->Objects()) taken_.push_back(ReadProperties(object.get()));
  results_->Clear();
  EXPECT_EQ(wbem::GetLiveCounts(), before) << "one event's processing kept a reference";
  return result;
}

std::vector<Properties> ActionWorld::TakeResults() {
  EXPECT_TRUE(repo_.WaitIdle());
  for (const auto& object : results_->Objects()) taken_.push_back(ReadProperties(object.get()));
  results_->Clear();
  return std::exchange(taken_, {});
}

}  // namespace am_testing
