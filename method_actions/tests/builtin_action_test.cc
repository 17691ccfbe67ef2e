// CImplBuiltInActionInfo through the real component and repository: rules
// with built-in actions, events handed to the profile's sink, providers that
// record what they receive, and the result events collected from the
// repository.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "method_actions/impl_builtin_action_info.h"
#include "method_actions/tests/builtin_world.h"

namespace method_actions_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class BuiltInActionTest : public BuiltInWorld {};

TEST_F(BuiltInActionTest, BuildsClassAndInstancePaths) {
  struct Case {
    const char* what;
    CBuiltInActionInfo action;
    const char* path;
    std::vector<std::pair<std::string, std::string>> keys;
  };
  const Case cases[] = {
      {"class call ignores the keys",
       BuiltIn("Disk", "Ping", true, {{"x", "Id"}}),
       R"(\\.\root\zrv:Disk)",
       {}},
      {"instance call without keys", BuiltIn("Disk", "Ping", false), R"(\\.\root\zrv:Disk)", {}},
      {"string key, named by the event property",
       BuiltIn("Disk", "Ping", false, {{"x", "Id"}}),
       R"(\\.\root\zrv:Disk.Id="C:")",
       {{"Id", "C:"}}},
      {"string and integer keys",
       BuiltIn("Pair", "Ping", false, {{"", "K1"}, {"", "K2"}}),
       R"(\\.\root\zrv:Pair.K1="a",K2=5)",
       {{"K1", "a"}, {"K2", "5"}}},
      {"boolean key",
       BuiltIn("Switch", "Ping", false, {{"", "On"}}),
       R"(\\.\root\zrv:Switch.On=TRUE)",
       {{"On", "TRUE"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartSink({c.action});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    const std::vector<Call> calls = TakeCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].path, c.path);
    EXPECT_EQ(calls[0].keys, c.keys);
    const std::vector<std::string> log = journal_->TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), std::string("0 ActionManager: Executing method Ping on the object with "
                                       "following path '") +
                               c.path + "'");
    EXPECT_EQ(log.back(), std::string("3 ActionManager: Executed Method 'Ping' belonging to the "
                                      "class '") +
                              c.path + "' (hres=0)");
  }
}

TEST_F(BuiltInActionTest, KeyStringLeavesUnreadableAndObjectKeysWithoutValue) {
  CImplBuiltInActionInfo executor(
      BuiltIn("Disk", "Ping", false, {{"", "Id"}, {"", "Missing"}, {"", "Thing"}, {"", "Stamp"}}));
  StartSink({});
  wbem::ComPtr<IWbemClassObject> event;
  ASSERT_EQ(ns_.NewInstance("Test_Event",
                            {{"Id", "say \"hi\""}, {"Stamp", "20240102030405.000000+000"}}, &event),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(executor.BuildKeyString(sink_.get(), event.get()),
            R"(.Id="say "hi"",Missing=,Thing=,Stamp="20240102030405.000000+000")");
  EXPECT_THAT(journal_->TakeLog(),
              ElementsAre("0 ActionManager: The event is malformed. The property Missing of  was "
                          "not found"));

  // A key the event lacks makes the path malformed: the call fails visibly.
  StartSink({BuiltIn("Disk", "Ping", false, {{"", "Missing"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 0);
  EXPECT_TRUE(TakeCalls().empty());
  ASSERT_EQ(results_seen_.size(), 1u);
  EXPECT_EQ(results_seen_[0]["MsgInfo"], "\"ZRV_CorrelatedEvents|901\"");
}

TEST_F(BuiltInActionTest, MethodWithoutInParametersGetsNoInstanceAndNoMapping) {
  // The in-parameter list would log mismatches if it were walked.
  StartSink({BuiltIn("Disk", "Ping", true, {}, {{"Force", "Label"}, {"Nope", "Count"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 1);
  const std::vector<Call> calls = TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_FALSE(calls[0].has_in);
  EXPECT_THAT(
      journal_->TakeLog(),
      ElementsAre(
          R"(0 ActionManager: Executing method Ping on the object with following path '\\.\root\zrv:Disk')",
          R"(3 ActionManager: Executed Method 'Ping' belonging to the class '\\.\root\zrv:Disk' (hres=0))"));
}

// Every row of both conversion tables, end to end: one event property and one
// method parameter per row, the variant sent and the value the provider got.
TEST_F(BuiltInActionTest, MapsEventPropertiesIntoParametersByBothTables) {
  struct Row {
    CIMTYPE event_type;
    wbem::Variant value;
    CIMTYPE param_type;
    const char* sent;      // "VT TEXT" as put, or "" for a mismatch
    const char* received;  // as the provider stored it, MOF form
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Row rows[] = {
      {CIM_STRING, "text", CIM_STRING, "8 text", "\"text\""},
      {CIM_STRING, nullptr, CIM_STRING, "8 ", "\"\""},
      {CIM_REFERENCE, R"(\\.\root\zrv:Disk.Id="C:")", CIM_REFERENCE,
       R"(8 \\.\root\zrv:Disk.Id="C:")", R"("\\\\.\\root\\zrv:Disk.Id=\"C:\"")"},
      {CIM_SINT32, -5, CIM_SINT32, "3 -5", "-5"},
      {CIM_UINT32, 4000000000u, CIM_REAL64, "5 4e+09", "4e+09"},
      {CIM_UINT32, 4000000000u, CIM_SINT32, "3 -294967296", "-294967296"},
      {CIM_UINT32, 4000000000u, CIM_UINT32, "19 4000000000", "4000000000"},
      {CIM_REAL32, 0.5f, CIM_REAL64, "5 0.5", "0.5"},
      {CIM_REAL64, -2.7, CIM_SINT32, "3 -2", "-2"},
      {CIM_REAL64, -2.7, CIM_BOOLEAN, "11 TRUE", "TRUE"},
      {CIM_REAL64, 0.4, CIM_BOOLEAN, "11 FALSE", "FALSE"},
      {CIM_REAL64, 0.1, CIM_REAL32, "4 0.1", "0.1"},
      {CIM_REAL64, 300.9, CIM_UINT8, "17 44", "44"},
      {CIM_UINT8, 200, CIM_SINT8, "16 -56", "-56"},
      {CIM_SINT8, -3, CIM_UINT8, "17 253", "253"},
      {CIM_BOOLEAN, true, CIM_UINT8, "17 1", "1"},
      {CIM_SINT16, -2, CIM_UINT16, "18 65534", "65534"},
      {CIM_UINT16, 65535, CIM_SINT16, "2 -1", "-1"},
      {CIM_SINT64, "42", CIM_UINT64, "8 42", "42"},
      {CIM_SINT64, "5000000000", CIM_UINT64, "8 705032704", "705032704"},
      {CIM_UINT64, "4294967295", CIM_SINT64, "8 -1", "-1"},
      {CIM_SINT32, nullptr, CIM_SINT32, "3 0", "0"},
      {CIM_REAL64, 1e30, CIM_SINT32, "3 -1", "-1"},
      {CIM_REAL64, nan, CIM_BOOLEAN, "11 FALSE", "FALSE"},
      {CIM_STRING, "12", CIM_SINT32, "", "NULL"},
      {CIM_SINT32, 12, CIM_STRING, "", "NULL"},
      {CIM_DATETIME, "20240102030405.000000+000", CIM_STRING, "", "NULL"},
      {CIM_STRING, "20240102030405.000000+000", CIM_DATETIME, "", "NULL"},
      {CIM_CHAR16, 65, CIM_SINT32, "", "NULL"},
  };
  const std::size_t n = std::size(rows);
  wbem::Class event_class("Mapping_Event", "ZRV_Event");
  wbem::MethodSpec method("Take");
  std::vector<CParams> in;
  wbem::PropertyValues values;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string e = "e" + std::to_string(i), p = "p" + std::to_string(i);
    event_class.Property(e, rows[i].event_type);
    method.In(p, rows[i].param_type);
    in.emplace_back(p, e);
    values.emplace_back(e, rows[i].value);
  }
  ASSERT_EQ(ns_.Define(event_class), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("Mapper").Method(method.Provider(Recording()))),
            WBEM_S_NO_ERROR);
  StartSink({BuiltIn("Mapper", "Take", true, {}, in)}, "Mapping_Event");

  EXPECT_EQ(Run("Mapping_Event", values), 1);
  const std::vector<Call> calls = TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  std::map<std::string, std::string> sent;
  for (const PutRecord& put : journal_->TakePuts()) {
    if (put.object != "ZRV_ActionResult") sent[put.name] = std::to_string(put.vt) + " " + put.text;
  }
  std::vector<std::string> mismatches;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string p = "p" + std::to_string(i);
    SCOPED_TRACE(p);
    EXPECT_EQ(sent[p], rows[i].sent);
    EXPECT_EQ(calls[0].in.at(p), rows[i].received);
    if (*rows[i].sent == '\0') {
      mismatches.push_back("0 ActionManager: Type Mismathching between event prop name 'e" +
                           std::to_string(i) + "' and method param name '" + p + "'");
    }
  }
  std::vector<std::string> log = journal_->TakeLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end() - 1), mismatches);
}

TEST_F(BuiltInActionTest, LogsMissingNamesAndMismatchesRecordByRecord) {
  StartSink({BuiltIn("Disk", "Reset", false, {{"", "Id"}},
                     {{"Nope", "Count"},
                      {"Force", "NoSuchProp"},
                      {"Nope2", "NoSuchProp"},
                      {"Nope3", "Stamp"},
                      {"Label", "Count"},
                      {"Count", "Label"},
                      {"Force", "Flag"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 1);
  const std::vector<Call> calls = TakeCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].in, (Properties{{"Count", "NULL"}, {"Force", "TRUE"}, {"Label", "NULL"}}));
  std::vector<std::string> log = journal_->TakeLog();
  ASSERT_EQ(log.size(), 10u);
  EXPECT_THAT(std::vector<std::string>(log.begin() + 1, log.end() - 1),
              ElementsAreArray({
                  "0 ActionManager: Error getting info for the method param name 'Nope' "
                  "(hres=2147749890)",
                  "0 ActionManager: Error getting info for the event prop name 'NoSuchProp' "
                  "(hres=2147749890)",
                  "0 ActionManager: Error getting info for the method param name 'Nope2' "
                  "(hres=2147749890)",
                  "0 ActionManager: Error getting info for the event prop name 'NoSuchProp' "
                  "(hres=2147749890)",
                  "0 ActionManager: Type Mismathching between event prop name 'Stamp' and method "
                  "param name 'Nope3'",
                  "0 ActionManager: Error getting info for the method param name 'Nope3' "
                  "(hres=2147749890)",
                  "0 ActionManager: Type Mismathching between event prop name 'Count' and method "
                  "param name 'Label'",
                  "0 ActionManager: Type Mismathching between event prop name 'Label' and method "
                  "param name 'Count'",
              }));
}

TEST_F(BuiltInActionTest, EachFailingCallSendsItsResultEventBeforeItsMessage) {
  struct Case {
    const char* what;
    CBuiltInActionInfo action;
    HRESULT spawn_fault;
    HRESULT exec_result;
    std::int32_t return_code;
    const char* message;
    std::size_t provider_calls;
  };
  const Case cases[] = {
      {"class not found", BuiltIn("Nope", "Reset", true), WBEM_S_NO_ERROR, WBEM_S_NO_ERROR,
       -2147217406, "Get Object Failed for the class 'Nope' (hres=2147749890)", 0},
      {"method not found", BuiltIn("Disk", "Nope", true), WBEM_S_NO_ERROR, WBEM_S_NO_ERROR,
       -2147217406, "Get Method Failed for the method 'Nope' of the class 'Disk' (hres=2147749890)",
       0},
      {"in-parameters not spawned", BuiltIn("Disk", "Reset", true), WBEM_E_OUT_OF_MEMORY,
       WBEM_S_NO_ERROR, -2147217402,
       "Failed Spawning the instance of the Input Params for the method 'Reset' of the class "
       "'Disk'  (hres=2147749894)",
       0},
      {"execution failed", BuiltIn("Disk", "Reset", true), WBEM_S_NO_ERROR, WBEM_E_ACCESS_DENIED,
       -2147217405,
       "Failed the execution of the method 'Reset' of the class 'Disk' (hres=2147749891) ", 1},
      {"positive status", BuiltIn("Disk", "Reset", true), WBEM_S_NO_ERROR, WBEM_S_FALSE, 1,
       "Failed the execution of the method 'Reset' of the class 'Disk' (hres=1) ", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    journal_->faults.spawn_in_params = c.spawn_fault;
    exec_result_ = c.exec_result;
    StartSink({c.action});
    EXPECT_EQ(Run("Test_Event", Event()), 0);
    EXPECT_EQ(TakeCalls().size(), c.provider_calls);
    const std::vector<std::string> entries = journal_->TakeEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1], "indicate");
    EXPECT_EQ(entries[2], std::string("log 0 ActionManager: ") + c.message);
    ASSERT_EQ(results_seen_.size(), 1u);
    Properties& result = results_seen_[0];
    EXPECT_EQ(result["MsgInfo"], "\"ZRV_CorrelatedEvents|901\"");
    EXPECT_EQ(result["return_code"], std::to_string(c.return_code));
    EXPECT_EQ(result["Method"], "\"" + c.action.m_strMethodName + "\"");
    results_seen_.clear();
  }
}

TEST_F(BuiltInActionTest, ReadsReturnValueAsAtolDoes) {
  struct Case {
    const char* what;
    const char* method;
    wbem::Variant value;
    const char* return_code;
  };
  const Case cases[] = {
      {"uint32 2", "Reset", 2, "2"},
      {"text x", "Text", "x", "0"},
      {"text with blanks and a sign", "Text", "  -7 apples", "-7"},
      {"no return value", "Reset", nullptr, "0"},
      {"uint32 above the signed range", "Reset", 4000000000u, "-294967296"},
      {"beyond 32 bits", "Text", "99999999999", "2147483647"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    return_value_ = c.value;
    StartSink({BuiltIn("Disk", c.method, true)});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    ASSERT_EQ(results_seen_.size(), 1u);
    EXPECT_EQ(results_seen_[0]["MsgInfo"], "\"ZRV_CorrelatedEvents|900\"");
    EXPECT_EQ(results_seen_[0]["return_code"], c.return_code);
    results_seen_.clear();
    TakeCalls();
  }
}

TEST_F(BuiltInActionTest, ResultEventCarriesEveryPropertyInOrder) {
  return_value_ = 2;
  StartSink({BuiltIn("Disk", "Reset", false, {{"", "Id"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 1);
  ASSERT_EQ(results_seen_.size(), 1u);
  EXPECT_EQ(results_seen_[0], (Properties{
                                  {"ModelName", "\"DiskModel\""},
                                  {"ProfileName", "\"P\""},
                                  {"EventId", "\"E-17\""},
                                  {"event_key", "\"disk/C:\""},
                                  {"ProgressiveNumber", "0"},
                                  {"MsgInfo", "\"ZRV_CorrelatedEvents|900\""},
                                  {"Duration", "0"},
                                  {"Send2Vox", "TRUE"},
                                  {"send_to_kvrn", "TRUE"},
                                  {"severity", "\"CRITICAL\""},
                                  {"AlreadySent", "FALSE"},
                                  {"Method", "\"Reset\""},
                                  {"descriptive_name", "\"restart it\""},
                                  {"program", "\"\""},
                                  {"return_code", "2"},
                              }));
  std::vector<std::string> puts;
  for (const PutRecord& put : journal_->TakePuts()) {
    if (put.object == "ZRV_ActionResult") puts.push_back(put.name + " " + std::to_string(put.vt));
  }
  EXPECT_THAT(puts, ElementsAre("ModelName 8", "ProfileName 8", "EventId 8", "event_key 8",
                                "ProgressiveNumber 3", "MsgInfo 8", "Duration 3", "Send2Vox 11",
                                "send_to_kvrn 11", "severity 8", "AlreadySent 11", "Method 8",
                                "descriptive_name 8", "program 8", "return_code 3"));
}

TEST_F(BuiltInActionTest, IdentityTextsFallBackToNone) {
  ASSERT_EQ(ns_.Define(wbem::Class("Bare_Event")
                           .Property("EventId", CIM_SINT32)
                           .Property("ModelName", CIM_BOOLEAN)
                           .Property("severity", CIM_STRING)),
            WBEM_S_NO_ERROR);
  StartSink({BuiltIn("Disk", "Ping", true)}, "Bare_Event");
  EXPECT_EQ(Run("Bare_Event", {{"EventId", 7}, {"ModelName", true}}), 1);
  ASSERT_EQ(results_seen_.size(), 1u);
  EXPECT_EQ(results_seen_[0]["EventId"], "\"7\"");
  EXPECT_EQ(results_seen_[0]["ModelName"], "\"TRUE\"");
  EXPECT_EQ(results_seen_[0]["event_key"], "\"None\"");
  EXPECT_EQ(results_seen_[0]["severity"], "\"None\"");
  const std::vector<std::string> log = journal_->TakeLog();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "0 ActionManager: The event is malformed. The property event_key of  was "
                       "not found"),
            1);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "0 ActionManager: The event is malformed. The property EventId of  was not "
                       "found"),
            0);

  // Without the properties at all, and with them null.
  const std::string missing_id =
      "0 ActionManager: The event is malformed. The property EventId of  was not found";
  ASSERT_EQ(ns_.Define(wbem::Class("Empty_Event")), WBEM_S_NO_ERROR);
  StartSink({BuiltIn("Disk", "Ping", true)}, "Empty_Event");
  EXPECT_EQ(Run("Empty_Event", {}), 1);
  std::vector<std::string> empty_log = journal_->TakeLog();
  EXPECT_EQ(std::count(empty_log.begin(), empty_log.end(), missing_id), 1);
  StartSink({BuiltIn("Disk", "Ping", true)});
  EXPECT_EQ(Run("Test_Event", {{"ProfileName", "P"}}), 1);
  std::vector<std::string> null_log = journal_->TakeLog();
  EXPECT_EQ(std::count(null_log.begin(), null_log.end(), missing_id), 0);
  ASSERT_EQ(results_seen_.size(), 3u);
  for (std::size_t i = 1; i < 3; ++i) {
    SCOPED_TRACE(i);
    for (const char* name : {"EventId", "event_key", "ModelName", "severity"}) {
      EXPECT_EQ(results_seen_[i][name], "\"None\"") << name;
    }
  }
}

TEST_F(BuiltInActionTest, RaisedEventsRunTheActionOnDelivery) {
  StartSink({BuiltIn("Disk", "Reset", false, {{"", "Id"}}, {{"Force", "Flag"}})});
  wbem::PropertyValues values = Event();
  wbem::PropertyValues second = Event();
  second[1].second = "E-18";
  const wbem::LiveCounts before = wbem::GetLiveCounts();
  ASSERT_EQ(ns_.Raise("Test_Event", values), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Raise("Test_Event", second), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  TakeResults();
  EXPECT_EQ(wbem::GetLiveCounts(), before);
  EXPECT_EQ(TakeCalls().size(), 2u);
  ASSERT_EQ(results_seen_.size(), 2u);
  EXPECT_EQ(results_seen_[0]["EventId"], "\"E-17\"");
  EXPECT_EQ(results_seen_[1]["EventId"], "\"E-18\"");
}

TEST_F(BuiltInActionTest, ResultEventFailuresLeaveTheActionsResultAlone) {
  struct Case {
    const char* what;
    Faults faults;
    std::vector<std::string> tail;  // the log lines after "Executing ..."
    std::size_t result_puts;
    std::size_t results;
  };
  const std::string done =
      "3 ActionManager: Executed Method 'Ping' belonging to the class '\\\\.\\root\\zrv:Disk' "
      "(hres=0)";
  const Case cases[] = {
      {"instance not spawned",
       {.spawn_result = WBEM_E_FAILED},
       {"0 ActionManager: Failed Spawning instances of the Event ZRV_ActionResult ", done},
       0,
       0},
      {"no provider sink",
       {.query_object_sink = WBEM_E_ACCESS_DENIED},
       {"0 ActionManager: Unable to get the sink for the event provider", done},
       15,
       0},
      {"indication refused",
       {.indicate = WBEM_E_FAILED},
       {"0 ZRVMethodProv: Failed the indication of the event  ZRV_ActionResult", done},
       15,
       0},
      {"all well", {}, {done}, 15, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    journal_->faults = c.faults;
    StartSink({BuiltIn("Disk", "Ping", true)});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    std::vector<std::string> log = journal_->TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end()), c.tail);
    EXPECT_EQ(journal_->TakePuts().size(), c.result_puts);
    EXPECT_EQ(results_seen_.size(), c.results);
    results_seen_.clear();
  }
}

class BuiltInActionWithoutResultClassTest : public BuiltInWorld {
  bool DefinesResultClass() const override { return false; }
};

TEST_F(BuiltInActionWithoutResultClassTest, LogsTheMissingClassOnceAndStillSucceeds) {
  StartSink({BuiltIn("Disk", "Ping", true)});
  EXPECT_EQ(Run("Test_Event", Event()), 1);
  EXPECT_EQ(TakeCalls().size(), 1u);
  const std::vector<std::string> log = journal_->TakeLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1],
            "0 ActionManager: The definition of the event ZRV_ActionResult was not found in CIM "
            "Repository ");
}

}  // namespace
}  // namespace method_actions_test
