// Built-in actions and their result event through the real component and
// repository: rules with built-in actions, events handed to the profile's
// sink, providers that record what they receive, and the result events
// collected from the repository. Every Run also proves that one event's
// processing released every BSTR and object it obtained.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "actions/result_event.h"
#include "actions/testing/action_world.h"
#include "method_actions/impl_builtin_action_info.h"
#include "settings/action_rule.h"
#include "wbem/holders.h"

namespace method_actions_test {
namespace {

using namespace actions::testing;  // NOLINT(build/namespaces)
using actions::NotifyActionResult;
using actions::ResultVariant;
using ::testing::_;
using ::testing::ElementsAre;

CBuiltInActionInfo BuiltIn(std::string class_name, std::string method, bool class_call,
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

// Test_Event carries key values of every form; Disk has one string key, one
// instance, and methods with and without in-parameters and a return value.
class BuiltInActionTest : public ActionWorld {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ActionWorld::SetUp());
    // clang-format off
    ASSERT_EQ(ns_.Define(repository::Class("Test_Event", "ZRV_Event").Property("Id", CIM_STRING)
                  .Property("K2", CIM_SINT32).Property("On", CIM_BOOLEAN)
                  .Property("Label", CIM_STRING).Property("Stamp", CIM_DATETIME)
                  .Property("Thing", CIM_OBJECT)), WBEM_S_NO_ERROR);
    using repository::MethodDef;
    ASSERT_EQ(ns_.Define(repository::Class("Disk").Key("Id", CIM_STRING)
                  .Method(MethodDef("Reset").In("Force", CIM_BOOLEAN).Provider(Recording()))
                  .Method(MethodDef("Ping").Provider(Recording()))
                  .Method(MethodDef("Text").Returns(CIM_STRING).Provider(Recording()))),
              WBEM_S_NO_ERROR);
    // clang-format on
    ASSERT_EQ(ns_.AddInstance("Disk", {{"Id", "C:"}}), WBEM_S_NO_ERROR);
  }
  void TearDown() override {
    sink_.reset();
    ActionWorld::TearDown();
  }

  // A provider that records the call ("PATH KEY=VALUE... [+in]", the
  // in-parameters apart) and answers with exec_result_ and return_value_.
  repository::MethodProvider Recording() {
    return [this](repository::MethodCall& call) {
      std::string text = call.path;
      for (const auto& [name, value] : call.keys) text += " " + name + "=" + value;
      calls_.push_back(text + (call.in != nullptr ? " +in" : ""));
      in_ = ReadProperties(call.in);
      if (!return_value_.IsNull()) call.Return(return_value_);
      return exec_result_;
    };
  }

  // A running sink of profile "P" with one rule for `event_class`.
  void StartSink(const std::vector<CBuiltInActionInfo>& actions,
                 const std::string& event_class = "Test_Event") {
    std::vector<std::unique_ptr<CBaseActionInfo>> list;
    for (const auto& action : actions) list.push_back(std::make_unique<CBuiltInActionInfo>(action));
    CActionManagerSettings settings;
    AddRule(settings, event_class, std::move(list));
    sink_ = std::make_unique<CActionManagerSink>("P", settings);
    ASSERT_EQ(sink_->Start(services_.get()), 1);
    journal_->TakeAll();
  }
  int Run(const std::string& event_class, const repository::PropertyValues& values) {
    return Process(*sink_, NewEvent(event_class, values).get());
  }
  // The log without the rule executor's level-1 lines.
  std::vector<std::string> Log() { return journal_->Take(1); }
  // The calls so far; read after the repository is idle (providers run on deliveries).
  std::vector<std::string> TakeCalls() { return std::exchange(calls_, {}); }
  // The Puts made on result events so far, as "Name VT, ...".
  std::string ResultPuts() {
    std::string puts;
    for (const PutRecord& put : journal_->TakePuts()) {
      if (put.object != "ZRV_ActionResult") continue;
      puts += (puts.empty() ? "" : ", ") + put.name + " " + std::to_string(put.vt);
    }
    return puts;
  }

  // Sends one result event directly; returns the Puts made on it and leaves
  // the event in results_seen_.
  std::string Notify(ResultVariant variant, const char* model, const char* what,
                     const char* descriptive, const char* severity,
                     std::initializer_list<std::string_view> names = {}) {
    const wbem::LiveCounts before = wbem::GetLiveCounts();
    NotifyActionResult(variant, sink_.get(), "E-1", "key-1", 901, model, what, descriptive, -5,
                       severity);
    results_seen_ = TakeResultText(names);
    EXPECT_EQ(wbem::GetLiveCounts(), before);
    return ResultPuts();
  }

  // clang-format off
  static repository::PropertyValues Event() {
    return {{"ProfileName", "P"}, {"EventId", "E-17"}, {"event_key", "disk/C:"},
            {"ModelName", "DiskModel"}, {"severity", "CRITICAL"}, {"Id", "C:"}};
  }
  // clang-format on

  std::unique_ptr<CActionManagerSink> sink_;
  std::vector<std::string> calls_;
  Properties in_;  // of the last call
  std::string results_seen_;
  HRESULT exec_result_ = WBEM_S_NO_ERROR;
  wbem::Variant return_value_ = 0;
};

const std::string kMissingClass =
    "0 ActionManager: The definition of the event ZRV_ActionResult was not found in CIM "
    "Repository ";

TEST_F(BuiltInActionTest, BuildsClassAndInstancePathsAndCallsWithoutInParameters) {
  // Ping takes no in-parameters: the list would log mismatches if it were walked.
  struct Case {
    CBuiltInActionInfo action;
    std::string path, keys;
  };
  // clang-format off
  const Case cases[] = {
      // A class call ignores the keys and the in-parameters.
      {BuiltIn("Disk", "Ping", true, {{"x", "Id"}}, {{"Force", "Label"}, {"Nope", "K2"}}),
       R"(\\.\root\zrv:Disk)", ""},
      {BuiltIn("Disk", "Ping", false), R"(\\.\root\zrv:Disk)", ""},
      {BuiltIn("Disk", "Ping", false, {{"x", "Id"}}), R"(\\.\root\zrv:Disk.Id="C:")", " Id=C:"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    StartSink({c.action});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    EXPECT_THAT(TakeCalls(), ElementsAre(c.path + c.keys));
    EXPECT_THAT(Log(), ElementsAre("0 ActionManager: Executing method Ping on the object with "
                                   "following path '" +
                                       c.path + "'",
                                   "3 ActionManager: Executed Method 'Ping' belonging to the "
                                   "class '" +
                                       c.path + "' (hres=0)"));
  }
}

TEST_F(BuiltInActionTest, KeyStringQuotesTextsAndLeavesUnreadableAndObjectKeysWithoutValue) {
  CImplBuiltInActionInfo executor(
      BuiltIn("Disk", "Ping", false,
              {{"", "Id"}, {"", "K2"}, {"", "On"}, {"", "Missing"}, {"", "Thing"}, {"", "Stamp"}}));
  StartSink({});
  auto event = NewEvent(
      "Test_Event",
      {{"Id", "say \"hi\""}, {"K2", 5}, {"On", true}, {"Stamp", "20240102030405.000000+000"}});
  EXPECT_EQ(executor.BuildKeyString(sink_.get(), event.get()),
            R"(.Id="say "hi"",K2=5,On=TRUE,Missing=,Thing=,Stamp="20240102030405.000000+000")");
  EXPECT_THAT(Log(), ElementsAre("0 ActionManager: The event is malformed. The property Missing "
                                 "of  was not found"));
  // A key the event lacks makes the path malformed: the call fails visibly.
  StartSink({BuiltIn("Disk", "Ping", false, {{"", "Missing"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 0);
  EXPECT_THAT(TakeCalls(), ElementsAre());
  EXPECT_EQ(TakeResultText({"MsgInfo"}), "MsgInfo=\"ZRV_CorrelatedEvents|901\"\n");
}

// One event property e<i> and one method parameter p<i> per row (a type of 0
// leaves that side undeclared): the variant sent, the value the provider got
// and the messages of the record. The conversion tables themselves are pinned
// in param_mapping_test; these rows are the kinds of step and every refusal.
TEST_F(BuiltInActionTest, MapsEventPropertiesIntoParametersAndLogsEachRefusedRecord) {
  struct Row {
    CIMTYPE event_type;
    wbem::Variant value;
    CIMTYPE param_type;
    const char* sent;      // "VT TEXT" as put, or "" when nothing was put
    const char* received;  // as the provider stored it, MOF form; "-": no such parameter
    const char* log;       // M: type mismatch, P: no parameter, E: no event property
  };
  const char* const kStamp = "20240101000000.000000+000";
  // clang-format off
  const Row rows[] = {
      {CIM_STRING, "text", CIM_STRING, "8 text", "\"text\"", ""},
      {CIM_STRING, nullptr, CIM_STRING, "8 ", "\"\"", ""},
      {CIM_UINT32, 4000000000u, CIM_SINT32, "3 -294967296", "-294967296", ""},
      {CIM_REAL64, -2.7, CIM_SINT32, "3 -2", "-2", ""},
      {CIM_REAL64, -2.7, CIM_BOOLEAN, "11 TRUE", "TRUE", ""},
      {CIM_BOOLEAN, true, CIM_BOOLEAN, "11 TRUE", "TRUE", ""},
      {CIM_SINT64, "5000000000", CIM_UINT64, "8 705032704", "705032704", ""},
      {CIM_SINT32, nullptr, CIM_SINT32, "3 0", "0", ""},
      {CIM_STRING, "12", CIM_SINT32, "", "NULL", "M"},
      {CIM_SINT32, 12, CIM_STRING, "", "NULL", "M"},
      {CIM_SINT32, 3, 0, "", "-", "P"},
      {0, nullptr, CIM_BOOLEAN, "", "NULL", "E"},
      {0, nullptr, 0, "", "-", "PE"},
      {CIM_DATETIME, kStamp, CIM_STRING, "", "NULL", "M"},
      {CIM_DATETIME, kStamp, 0, "", "-", "MP"},
  };
  // clang-format on
  repository::Class event_class("Mapping_Event", "ZRV_Event");
  repository::MethodDef method("Take");
  std::vector<CParams> in;
  repository::PropertyValues values;
  std::vector<std::string> messages;
  const std::string am = "0 ActionManager: ", error = "' (hres=2147749890)";
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const std::string e = "e" + std::to_string(i), p = "p" + std::to_string(i);
    if (rows[i].event_type != 0) event_class.Property(e, rows[i].event_type);
    if (rows[i].event_type != 0) values.emplace_back(e, rows[i].value);
    if (rows[i].param_type != 0) method.In(p, rows[i].param_type);
    in.emplace_back(p, e);
    for (const char* code = rows[i].log; *code != '\0'; ++code) {
      messages.push_back(*code == 'M' ? am + "Type Mismathching between event prop name '" + e +
                                            "' and method param name '" + p + "'"
                         : *code == 'P'
                             ? am + "Error getting info for the method param name '" + p + error
                             : am + "Error getting info for the event prop name '" + e + error);
    }
  }
  ASSERT_EQ(ns_.Define(event_class), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(repository::Class("Mapper").Method(method.Provider(Recording()))),
            WBEM_S_NO_ERROR);
  StartSink({BuiltIn("Mapper", "Take", true, {}, in)}, "Mapping_Event");

  EXPECT_EQ(Run("Mapping_Event", values), 1);
  EXPECT_THAT(TakeCalls(), ElementsAre(R"(\\.\root\zrv:Mapper +in)"));
  std::map<std::string, std::string> sent;
  for (const PutRecord& put : journal_->TakePuts()) {
    if (put.object != "ZRV_ActionResult") sent[put.name] = std::to_string(put.vt) + " " + put.text;
  }
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const std::string p = "p" + std::to_string(i);
    SCOPED_TRACE(p);
    const auto received = in_.find(p);
    EXPECT_EQ(sent[p] + " | " + (received == in_.end() ? "-" : received->second),
              std::string(rows[i].sent) + " | " + rows[i].received);
  }
  std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.end() - 1), messages);
}

TEST_F(BuiltInActionTest, EachFailingCallSendsItsResultEventBeforeItsMessage) {
  struct Case {
    CBuiltInActionInfo action;
    HRESULT spawn_fault, exec_result;
    std::int32_t return_code;
    const char* message;
    std::size_t provider_calls;
  };
  // clang-format off
  const Case cases[] = {
      {BuiltIn("Nope", "Reset", true), WBEM_S_NO_ERROR, WBEM_S_NO_ERROR, -2147217406,
       "Get Object Failed for the class 'Nope' (hres=2147749890)", 0},
      {BuiltIn("Disk", "Nope", true), WBEM_S_NO_ERROR, WBEM_S_NO_ERROR, -2147217406,
       "Get Method Failed for the method 'Nope' of the class 'Disk' (hres=2147749890)", 0},
      {BuiltIn("Disk", "Reset", true), WBEM_E_OUT_OF_MEMORY, WBEM_S_NO_ERROR, -2147217402,
       "Failed Spawning the instance of the Input Params for the method 'Reset' of the class "
       "'Disk'  (hres=2147749894)", 0},
      {BuiltIn("Disk", "Reset", true), WBEM_S_NO_ERROR, WBEM_E_ACCESS_DENIED, -2147217405,
       "Failed the execution of the method 'Reset' of the class 'Disk' (hres=2147749891) ", 1},
      // A positive status is a failure too.
      {BuiltIn("Disk", "Reset", true), WBEM_S_NO_ERROR, WBEM_S_FALSE, 1,
       "Failed the execution of the method 'Reset' of the class 'Disk' (hres=1) ", 1},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    journal_->faults.spawn_in_params = c.spawn_fault;
    exec_result_ = c.exec_result;
    StartSink({c.action});
    EXPECT_EQ(Run("Test_Event", Event()), 0);
    EXPECT_EQ(TakeCalls().size(), c.provider_calls);
    EXPECT_THAT(journal_->Take(1, /*markers=*/true),
                ElementsAre(_, Journal::kIndicate, std::string("0 ActionManager: ") + c.message));
    EXPECT_EQ(TakeResultText({"MsgInfo", "return_code", "Method"}),
              "MsgInfo=\"ZRV_CorrelatedEvents|901\" return_code=" + std::to_string(c.return_code) +
                  " Method=" + Mof(c.action.m_strMethodName) + "\n");
  }
}

TEST_F(BuiltInActionTest, ReadsReturnValueAsAtolDoes) {
  struct Case {
    const char* method;
    wbem::Variant value;
    const char* return_code;
  };
  const Case cases[] = {
      {"Reset", 2, "2"},
      {"Text", "x", "0"},
      {"Text", "  -7 apples", "-7"},
      {"Reset", nullptr, "0"},
      {"Reset", 4000000000u, "-294967296"},
      {"Text", "99999999999", "2147483647"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.return_code);
    return_value_ = c.value;
    StartSink({BuiltIn("Disk", c.method, true)});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    EXPECT_EQ(
        TakeResultText({"MsgInfo", "return_code"}),
        std::string("MsgInfo=\"ZRV_CorrelatedEvents|900\" return_code=") + c.return_code + "\n");
  }
}

TEST_F(BuiltInActionTest, ResultEventCarriesEveryPropertyInOrderInBothVariants) {
  return_value_ = 2;
  StartSink({BuiltIn("Disk", "Reset", false, {{"", "Id"}})});
  EXPECT_EQ(Run("Test_Event", Event()), 1);
  EXPECT_EQ(TakeResultText(),
            "AlreadySent=FALSE Duration=0 EventId=\"E-17\" Method=\"Reset\" "
            "ModelName=\"DiskModel\" MsgInfo=\"ZRV_CorrelatedEvents|900\" ProfileName=\"P\" "
            "ProgressiveNumber=0 Send2Vox=TRUE descriptive_name=\"restart it\" "
            "event_key=\"disk/C:\" program=\"\" return_code=2 send_to_kvrn=TRUE "
            "severity=\"CRITICAL\"\n");
  EXPECT_EQ(ResultPuts(),
            "ModelName 8, ProfileName 8, EventId 8, event_key 8, ProgressiveNumber 3, MsgInfo 8, "
            "Duration 3, Send2Vox 11, send_to_kvrn 11, severity 8, AlreadySent 11, Method 8, "
            "descriptive_name 8, program 8, return_code 3");
  Log();

  // The program variant: the program text instead of the method, set earlier.
  EXPECT_EQ(Notify(ResultVariant::kProgram, "Model", "run.pl \"a b\"", "restart", "HIGH"),
            "ModelName 8, ProfileName 8, EventId 8, event_key 8, ProgressiveNumber 3, MsgInfo 8, "
            "Duration 3, Send2Vox 11, send_to_kvrn 11, severity 8, AlreadySent 11, program 8, "
            "return_code 3, Method 1, descriptive_name 8");
  EXPECT_EQ(results_seen_,
            "AlreadySent=FALSE Duration=0 EventId=\"E-1\" Method=NULL ModelName=\"Model\" "
            "MsgInfo=\"ZRV_CorrelatedEvents|901\" ProfileName=\"P\" ProgressiveNumber=0 "
            "Send2Vox=TRUE descriptive_name=\"restart\" event_key=\"key-1\" program=" +
                Mof("run.pl \"a b\"") + " return_code=-5 send_to_kvrn=TRUE severity=\"HIGH\"\n");
  EXPECT_THAT(Log(), ElementsAre("3 ZRVMethodProv: Send indication of the event ZRV_ActionResult"));
}

TEST_F(BuiltInActionTest, AbsentTextsAreSentAsNull) {
  StartSink({});
  for (ResultVariant variant : {ResultVariant::kBuiltIn, ResultVariant::kProgram}) {
    SCOPED_TRACE(static_cast<int>(variant));
    const std::string puts =
        Notify(variant, nullptr, nullptr, nullptr, nullptr,
               {"ModelName", "severity", "Method", "descriptive_name", "program"});
    EXPECT_EQ(std::count(puts.begin(), puts.end(), ','), 14);
    EXPECT_THAT(puts, ::testing::StartsWith("ModelName 1, "));
    EXPECT_THAT(puts, ::testing::HasSubstr(", severity 1, "));
    // The built-in variant always sends an empty program.
    EXPECT_EQ(results_seen_,
              "ModelName=NULL severity=NULL Method=NULL descriptive_name=NULL program=" +
                  std::string(variant == ResultVariant::kBuiltIn ? "\"\"" : "NULL") + "\n");
    Log();
  }
}

TEST_F(BuiltInActionTest, IdentityTextsFallBackToNone) {
  ASSERT_EQ(ns_.Define(repository::Class("Bare_Event")
                           .Property("EventId", CIM_SINT32)
                           .Property("ModelName", CIM_BOOLEAN)
                           .Property("severity", CIM_STRING)),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(repository::Class("Empty_Event")), WBEM_S_NO_ERROR);
  const std::string missing = "0 ActionManager: The event is malformed. The property ";
  struct Case {
    const char* event_class;
    repository::PropertyValues values;
    std::string result;
    std::vector<std::string> malformed;  // the missing properties the log names
  };
  const std::string nones = " event_key=\"None\" severity=\"None\"\n";
  // clang-format off
  const Case cases[] = {
      {"Bare_Event", {{"EventId", 7}, {"ModelName", true}},
       "EventId=\"7\" ModelName=\"TRUE\"" + nones, {"event_key"}},
      {"Empty_Event", {}, "EventId=\"None\" ModelName=\"None\"" + nones, {"EventId", "event_key"}},
      // Declared, but null.
      {"Test_Event", {{"ProfileName", "P"}}, "EventId=\"None\" ModelName=\"None\"" + nones, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.event_class);
    StartSink({BuiltIn("Disk", "Ping", true)}, c.event_class);
    EXPECT_EQ(Run(c.event_class, c.values), 1);
    EXPECT_EQ(TakeResultText({"EventId", "ModelName", "event_key", "severity"}), c.result);
    const std::vector<std::string> log = Log();
    for (const char* name : {"EventId", "event_key"}) {
      const bool named =
          std::find(c.malformed.begin(), c.malformed.end(), name) != c.malformed.end();
      EXPECT_EQ(std::count(log.begin(), log.end(), missing + name + " of  was not found"),
                named ? 1 : 0)
          << name;
    }
  }
}

TEST_F(BuiltInActionTest, ResultEventFailuresLeaveTheActionsResultAlone) {
  const std::string done =
      R"(3 ActionManager: Executed Method 'Ping' belonging to the class '\\.\root\zrv:Disk' (hres=0))";
  const std::string sent = "3 ZRVMethodProv: Send indication of the event ZRV_ActionResult";
  struct Case {
    Faults faults;
    std::string message;  // "" when all goes well
    std::ptrdiff_t result_puts;
    bool indicated;  // the program variant says so, even when the indication failed
    const char* program_message = nullptr;  // the program variant's, when it differs
  };
  // clang-format off
  const Case cases[] = {
      {{.get_result_class = WBEM_E_NOT_FOUND}, kMissingClass, 0, false,
       "0 ActionManager: The definition of the event NotifyResult( was not found in CIM Repository "},
      {{.spawn_result = WBEM_E_FAILED},
       "0 ActionManager: Failed Spawning instances of the Event ZRV_ActionResult ", 0, false},
      {{.query_object_sink = WBEM_E_ACCESS_DENIED},
       "0 ActionManager: Unable to get the sink for the event provider", 15, false},
      {{.indicate = WBEM_E_FAILED},
       "0 ZRVMethodProv: Failed the indication of the event  ZRV_ActionResult", 15, true},
      {{}, "", 15, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    journal_->faults = c.faults;
    StartSink({BuiltIn("Disk", "Ping", true)});
    EXPECT_EQ(Run("Test_Event", Event()), 1);
    std::vector<std::string> log = Log();
    std::vector<std::string> expected = {log.empty() ? "" : log[0]};
    if (!c.message.empty()) expected.push_back(c.message);
    expected.push_back(done);
    EXPECT_EQ(log, expected);
    const std::string puts = ResultPuts();
    EXPECT_EQ(puts.empty() ? 0 : std::count(puts.begin(), puts.end(), ',') + 1, c.result_puts);
    EXPECT_EQ(TakeResults().size(), c.message.empty() ? 1u : 0u);

    Notify(ResultVariant::kProgram, "M", "cmd", "d", "s");
    expected.clear();
    if (!c.message.empty()) expected.push_back(c.program_message ? c.program_message : c.message);
    if (c.indicated) expected.push_back(sent);
    EXPECT_EQ(Log(), expected);
    EXPECT_EQ(results_seen_.empty(), !c.message.empty());
  }
}

TEST_F(BuiltInActionTest, SinkWithoutServicesSendsNothing) {
  CActionManagerSink unstarted("P", CActionManagerSettings());
  // The executor keeps UTF-16 copies of its names for its lifetime.
  CImplBuiltInActionInfo executor(BuiltIn("Disk", "Ping", true));
  const wbem::LiveCounts before = wbem::GetLiveCounts();
  NotifyActionResult(ResultVariant::kBuiltIn, nullptr, "E", "K", 900, "M", "m", "d", 0, "s");
  // The executor reports the missing services as a failed class lookup.
  auto event = NewEvent("Test_Event", {});
  const wbem::LiveCounts with_event = wbem::GetLiveCounts();
  EXPECT_EQ(executor.Execute(&unstarted, event.get()), 0);
  EXPECT_EQ(wbem::GetLiveCounts(), with_event);
  event.Reset();
  EXPECT_EQ(wbem::GetLiveCounts(), before);
  EXPECT_THAT(Log(), ElementsAre(kMissingClass,
                                 "0 ActionManager: Executing method Ping on the object with "
                                 "following path '\\\\.\\root\\zrv:Disk'",
                                 kMissingClass,
                                 "0 ActionManager: Get Object Failed for the class 'Disk' "
                                 "(hres=2147749897)"));
}

}  // namespace
}  // namespace method_actions_test
