// The event sink: its texts, the rule map and its case folding, and the
// dispatch of delivered events.
#include "component/action_manager_sink.h"

#include "component/tests/component_world.h"

namespace component_test {
namespace {

class ActionManagerSinkTest : public ComponentTest {};

TEST_F(ActionManagerSinkTest, FillsTheBaseTextsFromTheProfileName) {
  const std::pair<const char*, const char*> cases[] = {
      {"P", R"(SELECT * FROM ZRV_Event WHERE ProfileName="P")"},
      {R"(a\b)", R"(SELECT * FROM ZRV_Event WHERE ProfileName="a\\b")"},
      {R"(\\x\)", R"(SELECT * FROM ZRV_Event WHERE ProfileName="\\\\x\\")"},
      {R"(say "hi")", R"(SELECT * FROM ZRV_Event WHERE ProfileName="say "hi"")"},
      {"", R"(SELECT * FROM ZRV_Event WHERE ProfileName="")"},
  };
  for (const auto& [profile, query] : cases) {
    SCOPED_TRACE(profile);
    CActionManagerSink sink(profile, CActionManagerSettings());
    EXPECT_EQ(sink.GetWQLQuery(), query);
    EXPECT_EQ(sink.GetProfileName(), profile);
    EXPECT_EQ(sink.GetSinkId(), std::string("ACTIONMANAGER@") + profile);
    EXPECT_EQ(sink.GetPingEventClass(), "ZRV_Event_Ping");
  }
  // The quote ends the query's text early: such a profile cannot subscribe.
  CActionManagerSettings settings;
  void* handle = nullptr;
  ASSERT_EQ(manager_->CompCreate(R"(a"b)", &handle, &settings), 1);
  EXPECT_EQ(manager_->CompStart(services_.get(), handle), 0);
  EXPECT_EQ(manager_->CompCheck(services_.get(), handle), 0);
  EXPECT_EQ(manager_->CompDelete(handle), 1);
}

// The classes are defined as "Disk_Full", "CPU_HIGH" and "mem_low". Of two
// rule names that differ only in case, the later enumerated wins.
TEST_F(ActionManagerSinkTest, MatchesClassNamesWithoutRegardToCase) {
  // clang-format off
  const std::vector<std::string> cases[] = {
      {"disk_full", "Disk_Full"}, {"DISK_FULL", "Disk_Full"}, {"Disk_Full", "Disk_Full"},
      {"cpu_high", "CPU_HIGH"},   {"Cpu_High", "CPU_HIGH"},   {"MEM_LOW", "mem_low"},
      {"Disk_Full", "DISK_FULL", "Disk_Full"}, {"disk_full", "Disk_Full", "Disk_Full"},
      {"DISK_FULL", "disk_FULL", "Disk_Full"},
  };
  // clang-format on
  for (const std::vector<std::string>& rules : cases) {
    const std::string event_class = rules.back();
    SCOPED_TRACE(rules[0] + " / " + rules[1]);
    CActionManagerSettings settings;
    for (std::size_t i = 0; i + 1 < rules.size(); ++i) {
      AddRule(settings, rules[i], ActionList(Recording(rules[i])));
    }
    std::string last;
    for (const auto& [name, rule] : settings.m_mapRules) last = name;
    CActionManagerSink* sink = Component(settings);
    ASSERT_NE(sink, nullptr);
    ASSERT_EQ(sink->GetRuleCount(), 1u);
    std::string lower = event_class;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    journal_->Take();
    Raise(event_class.c_str(), {{"EventId", "9"}});
    EXPECT_THAT(Recorder::Get().Take(), ElementsAre(last + "@9"));
    EXPECT_THAT(journal_->Take(), ElementsAre(ExecutingLine(lower, 0)));
    manager_->CompStop(sink);
  }
}

// Events of no rule's class, or whose class name cannot be read or is no
// text, run nothing; only an unreadable name is reported and fails.
TEST_F(ActionManagerSinkTest, ClassNamesThatCannotBeReadOrHaveNoRule) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("A")));
  AddRule(settings, "", ActionList(Recording("unnamed")));
  AddRule(settings, "0", ActionList(Recording("zero")));
  CActionManagerSink* sink = Component(settings, /*start=*/false);
  CActionManagerSettings empty;
  CActionManagerSink* no_rules = Component(empty);
  ASSERT_NE(sink, nullptr);
  ASSERT_NE(no_rules, nullptr);
  auto real = Event("Disk_Full", {{"EventId", "1"}});
  const std::string failed = "0 ActionManager: Failed getting event Name";
  struct Case {
    const char* name;
    HRESULT hr;
    wbem::Variant value;
    int result;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"read fails", WBEM_E_NOT_FOUND, nullptr, 0, {failed}},
      {"read fails otherwise", WBEM_E_FAILED, "Disk_Full", 0, {failed}},
      {"null", WBEM_S_NO_ERROR, nullptr, 1, {}},
      {"a number", WBEM_S_NO_ERROR, 0, 1, {}},
      {"no rule", WBEM_S_NO_ERROR, "CPU_HIGH", 1, {}},
      {"the base class", WBEM_S_NO_ERROR, "ZRV_Event", 1, {}},
      // clang-format off
      {"a positive non-error result still reads", 1, "DISK_FULL", 1,
       {ExecutingLine("disk_full", 0)}},
      // clang-format on
  };
  journal_->Take();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto event = WrapEvent(real.get(), {{u"__CLASS", {c.hr, c.value}}});
    EXPECT_EQ(sink->ProcessEvent(event.get()), c.result);
    EXPECT_EQ(journal_->Take(), c.lines);
  }
  EXPECT_EQ(no_rules->ProcessEvent(real.get()), 1);
  Raise("Disk_Full", {{"EventId", "1"}});
  EXPECT_THAT(journal_->Take(), IsEmpty());
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("A@1"));
  EXPECT_EQ(sink->ProcessEvent(nullptr), 0);
  EXPECT_THAT(journal_->Take(), ElementsAre(failed));
}

TEST_F(ActionManagerSinkTest, AddRuleReplacesTheRuleAndItsCounters) {
  CActionManagerSettings settings;
  AddRule(settings, "Disk_Full", ActionList(Recording("old", 1)));
  CActionManagerSink* sink = Component(settings, /*start=*/false);
  ASSERT_NE(sink, nullptr);
  auto event = Event("Disk_Full", {{"EventId", "1"}});
  sink->ProcessEvent(event.get());
  CActionRule replacement;
  replacement.SetAt("x", Recording("new", 1));
  sink->AddRule("disk_full", replacement);
  EXPECT_EQ(sink->GetRuleCount(), 1u);
  EXPECT_EQ(sink->FindRule("disk_full")->GetExecutionCount("1"), 0);
  sink->ProcessEvent(event.get());
  sink->ProcessEvent(event.get());
  EXPECT_THAT(Recorder::Get().Take(), ElementsAre("old@1", "new@1"));
}

}  // namespace
}  // namespace component_test
