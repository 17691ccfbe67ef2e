// The world of the built-in action tests: a repository with the profile's
// event classes, the ZRV_ActionResult class, target classes whose method
// providers record what they receive, and a running CActionManagerSink of
// profile "P" whose services pass through WrappedServices.
//
// Each test builds its rules with StartSink, then either hands events to the
// sink directly (Run: synchronous, returns ProcessEvent's result) or raises
// them through the repository. Run also proves that one event's processing
// released every BSTR and object it obtained: the live counts after it equal
// those before it, once the collected result events are dropped.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "component/action_manager_sink.h"
#include "method_actions/tests/wrapped_services.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"
#include "wbem/cim.h"
#include "wbem/repository.h"
#include "wbem/sinks.h"
#include "wbem/testing/leak_check.h"

namespace method_actions_test {

using Properties = std::map<std::string, std::string>;

// Every non-system property as MOF writes it (strings quoted, NULL, TRUE).
inline Properties ReadProperties(IWbemClassObject* object) {
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

// One method call as its provider saw it.
struct Call {
  std::string path;
  std::string method;
  std::vector<std::pair<std::string, std::string>> keys;
  bool has_in = false;
  Properties in;
};

inline CBuiltInActionInfo BuiltIn(std::string class_name, std::string method, bool class_call,
                                  std::vector<CParams> keys = {}, std::vector<CParams> in = {}) {
  CBuiltInActionInfo info;
  info.m_strNamespace = "root\\zrv";
  info.m_strClassName = std::move(class_name);
  info.m_strMethodName = std::move(method);
  info.m_bClassCall = class_call ? 1 : 0;
  for (CParams& k : keys) info.m_KeyParams.AddTail(std::move(k));
  for (CParams& p : in) info.m_InParams.AddTail(std::move(p));
  info.m_strDescriptiveName = "restart it";
  return info;
}

class BuiltInWorld : public wbem::testing::LeakCheckedTest {
 protected:
  BuiltInWorld() : journal_(std::make_shared<Journal>()), log_(journal_) {}

  void SetUp() override {
    ASSERT_EQ(ns_.Define(wbem::Class("ZRV_Event")
                             .Property("ProfileName", CIM_STRING)
                             .Property("EventId", CIM_STRING)
                             .Property("event_key", CIM_STRING)
                             .Property("ModelName", CIM_STRING)
                             .Property("severity", CIM_STRING)),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(wbem::Class("Test_Event", "ZRV_Event")
                             .Property("Id", CIM_STRING)
                             .Property("K1", CIM_STRING)
                             .Property("K2", CIM_SINT32)
                             .Property("On", CIM_BOOLEAN)
                             .Property("Count", CIM_SINT32)
                             .Property("Flag", CIM_BOOLEAN)
                             .Property("Label", CIM_STRING)
                             .Property("Stamp", CIM_DATETIME)
                             .Property("Thing", CIM_OBJECT)),
              WBEM_S_NO_ERROR);
    if (DefinesResultClass()) {
      ASSERT_EQ(ns_.Define(wbem::Class("ZRV_ActionResult")
                               .Property("ModelName", CIM_STRING)
                               .Property("ProfileName", CIM_STRING)
                               .Property("EventId", CIM_STRING)
                               .Property("event_key", CIM_STRING)
                               .Property("ProgressiveNumber", CIM_SINT32)
                               .Property("MsgInfo", CIM_STRING)
                               .Property("Duration", CIM_SINT32)
                               .Property("Send2Vox", CIM_BOOLEAN)
                               .Property("send_to_kvrn", CIM_BOOLEAN)
                               .Property("severity", CIM_STRING)
                               .Property("AlreadySent", CIM_BOOLEAN)
                               .Property("Method", CIM_STRING)
                               .Property("descriptive_name", CIM_STRING)
                               .Property("program", CIM_STRING)
                               .Property("return_code", CIM_SINT32)),
                WBEM_S_NO_ERROR);
    }
    ASSERT_EQ(
        ns_.Define(wbem::Class("Disk")
                       .Key("Id", CIM_STRING)
                       .Method(wbem::MethodSpec("Reset")
                                   .In("Force", CIM_BOOLEAN)
                                   .In("Label", CIM_STRING)
                                   .In("Count", CIM_SINT32)
                                   .Provider(Recording()))
                       .Method(wbem::MethodSpec("Ping").Provider(Recording()))
                       .Method(wbem::MethodSpec("Text").Returns(CIM_STRING).Provider(Recording()))),
        WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(wbem::Class("Pair")
                             .Key("K1", CIM_STRING)
                             .Key("K2", CIM_SINT32)
                             .Method(wbem::MethodSpec("Ping").Provider(Recording()))),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(wbem::Class("Switch")
                             .Key("On", CIM_BOOLEAN)
                             .Method(wbem::MethodSpec("Ping").Provider(Recording()))),
              WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.AddInstance("Disk", {{"Id", "C:"}}), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.AddInstance("Pair", {{"K1", "a"}, {"K2", 5}}), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.AddInstance("Switch", {{"On", true}}), WBEM_S_NO_ERROR);

    services_ = WrappedServices::Create(ns_.Services(), journal_);
    results_ = wbem::CollectingSink::Create();
    if (DefinesResultClass()) {
      ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_ActionResult", results_.get()), WBEM_S_NO_ERROR);
    }
  }

  void TearDown() override {
    sink_.reset();
    ns_.Unsubscribe(results_.get());
    results_.Reset();
    services_.Reset();
    EXPECT_EQ(LiveWrappers().load(), 0);
  }

  virtual bool DefinesResultClass() const { return true; }

  // A provider that records the call and answers with exec_result_ and
  // return_value_.
  wbem::MethodProvider Recording() {
    return [this](wbem::MethodCall& call) {
      Call seen;
      seen.path = call.path;
      seen.method = call.method;
      seen.keys = call.keys;
      seen.has_in = call.in != nullptr;
      seen.in = ReadProperties(call.in);
      std::lock_guard lock(mu_);
      calls_.push_back(std::move(seen));
      if (!return_value_.IsNull()) call.Return(return_value_);
      return exec_result_;
    };
  }

  // A running sink with one rule for `event_class` whose actions are
  // `actions`, filed as "a0", "a1", ...
  void StartSink(const std::vector<CBuiltInActionInfo>& actions,
                 const std::string& event_class = "Test_Event") {
    CActionRule rule;
    for (std::size_t i = 0; i < actions.size(); ++i) {
      rule.SetAt("a" + std::to_string(i), std::make_unique<CBuiltInActionInfo>(actions[i]));
    }
    CActionManagerSettings settings;
    settings.m_mapRules.SetAt(event_class, std::move(rule));
    sink_ = std::make_unique<CActionManagerSink>("P", settings);
    ASSERT_EQ(sink_->Start(services_.get()), 1);
    journal_->TakeEntries();
  }

  // Hands one event to the sink, waits for its result events and takes them;
  // returns ProcessEvent's result.
  int Run(const std::string& event_class, const wbem::PropertyValues& values) {
    wbem::ComPtr<IWbemClassObject> event;
    EXPECT_EQ(ns_.NewInstance(event_class, values, &event), WBEM_S_NO_ERROR);
    return RunObject(event.get());
  }

  int RunObject(IWbemClassObject* event) {
    const wbem::LiveCounts before = wbem::GetLiveCounts();
    const int result = sink_->ProcessEvent(event);
    EXPECT_TRUE(repo_.WaitIdle());
    TakeResults();
    EXPECT_EQ(wbem::GetLiveCounts(), before) << "one event's processing kept a reference";
    return result;
  }

  // Moves the collected result events into results_seen_, as plain values.
  void TakeResults() {
    for (const auto& object : results_->Objects())
      results_seen_.push_back(ReadProperties(object.get()));
    results_->Clear();
  }

  std::vector<Call> TakeCalls() {
    std::lock_guard lock(mu_);
    return std::exchange(calls_, {});
  }

  // The default event of the tests.
  static wbem::PropertyValues Event() {
    return {{"ProfileName", "P"},
            {"EventId", "E-17"},
            {"event_key", "disk/C:"},
            {"ModelName", "DiskModel"},
            {"severity", "CRITICAL"},
            {"Id", "C:"},
            {"K1", "a"},
            {"K2", 5},
            {"On", true},
            {"Count", 3},
            {"Flag", true},
            {"Label", "spare"}};
  }

  wbem::Repository repo_;
  wbem::Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  std::shared_ptr<Journal> journal_;
  JournalLog log_;
  wbem::ComPtr<IWbemServices> services_;
  wbem::ComPtr<wbem::CollectingSink> results_;
  std::unique_ptr<CActionManagerSink> sink_;
  std::vector<Properties> results_seen_;

  std::mutex mu_;
  std::vector<Call> calls_;
  HRESULT exec_result_ = WBEM_S_NO_ERROR;
  wbem::Variant return_value_ = 0;
};

}  // namespace method_actions_test
