// NotifyActionResult on its own, for what the built-in action cannot show:
// the program variant (which program actions call) and absent texts.
#include "method_actions/result_event.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "method_actions/impl_builtin_action_info.h"
#include "method_actions/tests/builtin_world.h"

namespace method_actions_test {
namespace {

using method_actions::NotifyActionResult;
using method_actions::ResultVariant;
using ::testing::ElementsAre;

class ResultEventTest : public BuiltInWorld {
 protected:
  // Sends one result event and returns the Puts made on it.
  std::vector<std::string> Notify(ResultVariant variant, const char* model, const char* what,
                                  const char* descriptive, const char* severity) {
    const wbem::LiveCounts before = wbem::GetLiveCounts();
    NotifyActionResult(variant, sink_.get(), "E-1", "key-1", 901, model, what, descriptive, -5,
                       severity);
    EXPECT_TRUE(repo_.WaitIdle());
    TakeResults();
    EXPECT_EQ(wbem::GetLiveCounts(), before);
    std::vector<std::string> puts;
    for (const PutRecord& put : journal_->TakePuts()) {
      puts.push_back(put.name + " " + std::to_string(put.vt));
    }
    return puts;
  }
};

TEST_F(ResultEventTest, ProgramVariantSetsProgramAndLeavesMethodNull) {
  StartSink({});
  EXPECT_THAT(Notify(ResultVariant::kProgram, "Model", "run.pl \"a b\"", "restart", "HIGH"),
              ElementsAre("ModelName 8", "ProfileName 8", "EventId 8", "event_key 8",
                          "ProgressiveNumber 3", "MsgInfo 8", "Duration 3", "Send2Vox 11",
                          "send_to_kvrn 11", "severity 8", "AlreadySent 11", "program 8",
                          "return_code 3", "Method 1", "descriptive_name 8"));
  ASSERT_EQ(results_seen_.size(), 1u);
  EXPECT_EQ(results_seen_[0], (Properties{
                                  {"ModelName", "\"Model\""},
                                  {"ProfileName", "\"P\""},
                                  {"EventId", "\"E-1\""},
                                  {"event_key", "\"key-1\""},
                                  {"ProgressiveNumber", "0"},
                                  {"MsgInfo", "\"ZRV_CorrelatedEvents|901\""},
                                  {"Duration", "0"},
                                  {"Send2Vox", "TRUE"},
                                  {"send_to_kvrn", "TRUE"},
                                  {"severity", "\"HIGH\""},
                                  {"AlreadySent", "FALSE"},
                                  {"Method", "NULL"},
                                  {"descriptive_name", "\"restart\""},
                                  {"program", "\"run.pl \\\"a b\\\"\""},
                                  {"return_code", "-5"},
                              }));
  EXPECT_THAT(journal_->TakeLog(),
              ElementsAre("3 ZRVMethodProv: Send indication of the event ZRV_ActionResult"));
}

TEST_F(ResultEventTest, AbsentTextsAreSentAsNull) {
  StartSink({});
  for (ResultVariant variant : {ResultVariant::kBuiltIn, ResultVariant::kProgram}) {
    SCOPED_TRACE(static_cast<int>(variant));
    const std::vector<std::string> puts = Notify(variant, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(puts[0], "ModelName 1");
    EXPECT_EQ(puts[9], "severity 1");
    ASSERT_EQ(results_seen_.size(), 1u);
    Properties& result = results_seen_[0];
    EXPECT_EQ(result["ModelName"], "NULL");
    EXPECT_EQ(result["severity"], "NULL");
    EXPECT_EQ(result["Method"], "NULL");
    EXPECT_EQ(result["descriptive_name"], "NULL");
    // The built-in variant always sends an empty program.
    EXPECT_EQ(result["program"], variant == ResultVariant::kBuiltIn ? "\"\"" : "NULL");
    results_seen_.clear();
    journal_->TakeLog();
  }
}

TEST_F(ResultEventTest, ProgramVariantReportsTheIndicationEvenWhenItFailed) {
  struct Case {
    const char* what;
    Faults faults;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"indication refused",
       {.indicate = WBEM_E_FAILED},
       {"0 ZRVMethodProv: Failed the indication of the event  ZRV_ActionResult",
        "3 ZRVMethodProv: Send indication of the event ZRV_ActionResult"}},
      {"no provider sink",
       {.query_object_sink = WBEM_E_FAILED},
       {"0 ActionManager: Unable to get the sink for the event provider"}},
      {"instance not spawned",
       {.spawn_result = WBEM_E_FAILED},
       {"0 ActionManager: Failed Spawning instances of the Event ZRV_ActionResult "}},
  };
  StartSink({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    journal_->faults = c.faults;
    Notify(ResultVariant::kProgram, "M", "cmd", "d", "s");
    EXPECT_EQ(journal_->TakeLog(), c.log);
    EXPECT_TRUE(results_seen_.empty());
  }
}

TEST_F(ResultEventTest, SinkWithoutServicesSendsNothing) {
  CActionManagerSettings settings;
  CActionManagerSink unstarted("P", settings);
  // The executor keeps UTF-16 copies of its names for its lifetime.
  CImplBuiltInActionInfo executor(BuiltIn("Disk", "Ping", true));
  const wbem::LiveCounts before = wbem::GetLiveCounts();
  NotifyActionResult(ResultVariant::kProgram, &unstarted, "E", "K", 900, "M", "cmd", "d", 0, "s");
  NotifyActionResult(ResultVariant::kBuiltIn, nullptr, "E", "K", 900, "M", "m", "d", 0, "s");

  // The executor reports the missing services as a failed class lookup.
  wbem::ComPtr<IWbemClassObject> event;
  ASSERT_EQ(ns_.NewInstance("Test_Event", {}, &event), WBEM_S_NO_ERROR);
  const wbem::LiveCounts with_event = wbem::GetLiveCounts();
  EXPECT_EQ(executor.Execute(&unstarted, event.get()), 0);
  EXPECT_EQ(wbem::GetLiveCounts(), with_event);
  event.Reset();
  EXPECT_EQ(wbem::GetLiveCounts(), before);
  EXPECT_THAT(
      journal_->TakeLog(),
      ElementsAre("0 ActionManager: The definition of the event NotifyResult( was not found in "
                  "CIM Repository ",
                  "0 ActionManager: The definition of the event ZRV_ActionResult was not found "
                  "in CIM Repository ",
                  "0 ActionManager: Executing method Ping on the object with following path "
                  "'\\\\.\\root\\zrv:Disk'",
                  "0 ActionManager: The definition of the event ZRV_ActionResult was not found "
                  "in CIM Repository ",
                  "0 ActionManager: Get Object Failed for the class 'Disk' (hres=2147749897)"));
}

class ResultEventWithoutClassTest : public ResultEventTest {
  bool DefinesResultClass() const override { return false; }
};

TEST_F(ResultEventWithoutClassTest, EachVariantLogsItsOwnMissingClassText) {
  StartSink({});
  EXPECT_TRUE(Notify(ResultVariant::kBuiltIn, "M", "m", "d", "s").empty());
  EXPECT_TRUE(Notify(ResultVariant::kProgram, "M", "cmd", "d", "s").empty());
  EXPECT_THAT(journal_->TakeLog(),
              ElementsAre("0 ActionManager: The definition of the event ZRV_ActionResult was not "
                          "found in CIM Repository ",
                          "0 ActionManager: The definition of the event NotifyResult( was not "
                          "found in CIM Repository "));
}

}  // namespace
}  // namespace method_actions_test
