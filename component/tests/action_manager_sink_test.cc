// The event sink: its texts, the rule map and its case folding, and the
// dispatch of delivered events.
#include "component/action_manager_sink.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "component/tests/test_support.h"

namespace component_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ActionManagerSinkTest : public ComponentTest {};

TEST_F(ActionManagerSinkTest, FillsTheBaseTextsFromTheProfileName) {
  struct Case {
    const char* profile;
    const char* query;
  };
  const Case cases[] = {
      {"P", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P")"},
      {R"(a\b)", R"(SELECT * FROM ZRV_Event WHERE ProfileName="a\\b")"},
      {R"(\\x\)", R"(SELECT * FROM ZRV_Event WHERE ProfileName="\\\\x\\")"},
      {R"(say "hi")", R"(SELECT * FROM ZRV_Event WHERE ProfileName="say "hi"")"},
      {"", R"(SELECT * FROM ZRV_Event WHERE ProfileName="")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    CActionManagerSettings settings;
    CActionManagerSink sink(c.profile, settings);
    EXPECT_EQ(sink.GetWQLQuery(), c.query);
    EXPECT_EQ(sink.GetProfileName(), c.profile);
    EXPECT_EQ(sink.GetSinkId(), std::string("ACTIONMANAGER@") + c.profile);
    EXPECT_EQ(sink.GetPingEventClass(), "ZRV_Event_Ping");
    EXPECT_EQ(sink.GetRuleCount(), 0u);
  }
}

TEST_F(ActionManagerSinkTest, ReceivesOnlyItsOwnProfilesEvents) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  CActionManagerSink* backslash = Component(settings, true, R"(root\p)");
  CActionManagerSink* plain = Component(settings, true, "P");
  ASSERT_NE(backslash, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_NE(backslash, plain);

  Raise("Disk_Full", {{"EventId", "1"}}, R"(root\p)");
  Raise("Disk_Full", {{"EventId", "2"}}, "P");
  Raise("Disk_Full", {{"EventId", "3"}}, "other");
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@1", "A@2"));
  EXPECT_EQ(backslash->FindRule("disk_full")->GetExecutionCount("1"), 1);
  EXPECT_EQ(backslash->FindRule("disk_full")->GetExecutionCount("2"), 0);
  EXPECT_EQ(plain->FindRule("disk_full")->GetExecutionCount("2"), 1);
}

TEST_F(ActionManagerSinkTest, AProfileNameWithAQuoteCannotSubscribe) {
  CActionManagerSettings settings;
  void* handle = nullptr;
  CActionManagerManager* manager = CActionManagerManager::GetInstance();
  ASSERT_EQ(manager->CompCreate(R"(a"b)", &handle, &settings), 1);
  EXPECT_EQ(manager->CompStart(services_.get(), handle), 0);
  EXPECT_EQ(manager->CompCheck(services_.get(), handle), 0);
  EXPECT_EQ(manager->CompDelete(handle), 1);
}

TEST_F(ActionManagerSinkTest, MatchesClassNamesWithoutRegardToCase) {
  // The classes are defined as "Disk_Full", "CPU_HIGH" and "mem_low".
  struct Case {
    const char* rule;
    const char* event_class;
  };
  const Case cases[] = {
      {"disk_full", "Disk_Full"}, {"DISK_FULL", "Disk_Full"}, {"Disk_Full", "Disk_Full"},
      {"cpu_high", "CPU_HIGH"},   {"Cpu_High", "CPU_HIGH"},   {"MEM_LOW", "mem_low"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + " / " + c.event_class);
    CActionManagerSettings settings;
    AddRule(settings, c.rule, ActionList(Recording(c.rule)));
    CActionManagerSink* sink = Component(settings);
    ASSERT_NE(sink, nullptr);
    ASSERT_EQ(sink->GetRuleCount(), 1u);
    std::string lower = c.event_class;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(sink->FindRule(lower), nullptr);
    log_.Take();
    Raise(c.event_class, {{"EventId", "9"}});
    EXPECT_THAT(Recorder::Get().Take(), ElementsAre(std::string(c.rule) + "@9"));
    EXPECT_THAT(log_.Take(), ElementsAre(ExecutingLine(lower, 0)));
    CActionManagerManager::GetInstance()->CompStop(sink);
  }
}

TEST_F(ActionManagerSinkTest, OfTwoNamesDifferingInCaseTheLaterEnumeratedWins) {
  for (const auto& names :
       {std::pair{"Disk_Full", "DISK_FULL"}, std::pair{"disk_full", "Disk_Full"},
        std::pair{"DISK_FULL", "disk_FULL"}}) {
    SCOPED_TRACE(std::string(names.first) + " / " + names.second);
    CActionManagerSettings settings;
    AddRule(settings, names.first, ActionList(Recording(names.first)));
    AddRule(settings, names.second, ActionList(Recording(names.second)));
    std::string last;
    for (const auto& [name, rule] : settings.m_mapRules) last = name;

    CActionManagerSink* sink = Component(settings, /*start=*/false);
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->GetRuleCount(), 1u);
    EXPECT_EQ(sink->ProcessEvent(Event("Disk_Full", {{"EventId", "1"}}).get()), 1);
    EXPECT_THAT(Recorder::Get().Take(), ElementsAre(last + "@1"));
  }
}

TEST_F(ActionManagerSinkTest, EventsWithoutARuleAreIgnoredSilently) {
  CActionManagerSettings empty;
  CActionManagerSink* no_rules = Component(empty);
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  AddRule(settings, "", ActionList(Recording("unnamed")));
  CActionManagerSink* some_rules = Component(settings, /*start=*/false);
  ASSERT_NE(no_rules, nullptr);
  ASSERT_NE(some_rules, nullptr);
  log_.Take();

  Raise("Disk_Full", {{"EventId", "1"}});
  Raise("CPU_HIGH", {{"EventId", "1"}});
  EXPECT_EQ(no_rules->ProcessEvent(Event("Disk_Full", {{"EventId", "1"}}).get()), 1);
  EXPECT_EQ(some_rules->ProcessEvent(Event("CPU_HIGH", {{"EventId", "1"}}).get()), 1);
  EXPECT_EQ(some_rules->ProcessEvent(Event("ZRV_Event").get()), 1);
  EXPECT_THAT(Recorder::Get().Take(), IsEmpty());
  EXPECT_THAT(log_.Take(), IsEmpty());
}

TEST_F(ActionManagerSinkTest, ClassNamesThatCannotBeReadOrAreNoText) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  AddRule(settings, "", ActionList(Recording("unnamed")));
  AddRule(settings, "0", ActionList(Recording("zero")));
  CActionManagerSink* sink = Component(settings, /*start=*/false);
  ASSERT_NE(sink, nullptr);
  auto real = Event("Disk_Full", {{"EventId", "1"}});
  log_.Take();

  struct Case {
    const char* name;
    HRESULT hr;
    wbem::Variant value;
    int result;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"read fails", WBEM_E_NOT_FOUND, nullptr, 0, {"0 ActionManager: Failed getting event Name"}},
      {"read fails otherwise",
       WBEM_E_FAILED,
       "Disk_Full",
       0,
       {"0 ActionManager: Failed getting event Name"}},
      {"null", WBEM_S_NO_ERROR, nullptr, 1, {}},
      {"a number", WBEM_S_NO_ERROR, 0, 1, {}},
      {"a positive non-error result still reads",
       1,
       "DISK_FULL",
       1,
       {ExecutingLine("disk_full", 0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = OverridingObject::Create(real.get(), {{u"__CLASS", {c.hr, c.value}}});
    EXPECT_EQ(sink->ProcessEvent(event.get()), c.result);
    EXPECT_EQ(log_.Take(), c.lines);
  }
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@1"));

  EXPECT_EQ(sink->ProcessEvent(nullptr), 0);
  EXPECT_THAT(log_.Take(), ElementsAre("0 ActionManager: Failed getting event Name"));
}

TEST_F(ActionManagerSinkTest, AddRuleReplacesTheRuleAndItsCounters) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("old", 1)));
  CActionManagerSink* sink = Component(settings, /*start=*/false);
  ASSERT_NE(sink, nullptr);
  auto event = Event("Disk_Full", {{"EventId", "1"}});
  sink->ProcessEvent(event.get());
  sink->ProcessEvent(event.get());
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("old@1"));

  CActionRule replacement;
  replacement.SetAt("x", Recording("new", 1));
  sink->AddRule("disk_full", replacement);
  EXPECT_EQ(sink->GetRuleCount(), 1u);
  EXPECT_EQ(sink->FindRule("disk_full")->GetExecutionCount("1"), 0);
  sink->ProcessEvent(event.get());
  sink->ProcessEvent(event.get());
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("new@1"));
}

}  // namespace
}  // namespace component_test
