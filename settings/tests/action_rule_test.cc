#include "settings/action_rule.h"

#include <gtest/gtest.h>

#include "settings/action_manager_settings.h"
#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

using Names = std::vector<std::string>;
const Bytes kProgramName = Str("CProgramActionInfo");

std::unique_ptr<CProgramActionInfo> Program(const std::string& command) {
  auto p = std::make_unique<CProgramActionInfo>();
  p->m_strCommand = command;
  return p;
}

const std::string& CommandOf(const CBaseActionInfo* action) {
  return static_cast<const CProgramActionInfo*>(action)->m_strCommand;
}

// Counts destructions, to prove that replaced and cleared actions are freed.
struct CountingProgram : CProgramActionInfo {
  explicit CountingProgram(int* destroyed) : m_destroyed(destroyed) {}
  ~CountingProgram() override { ++*m_destroyed; }
  int* m_destroyed;
};

TEST(ActionRuleTest, SetAtReplacesAndDestroysInPlace) {
  const auto same = KeysInChain(4, 2);
  int destroyed = 0;
  CActionRule rule;
  rule.SetAt(same[0], std::make_unique<CountingProgram>(&destroyed));
  rule.SetAt(same[1], Program("b"));
  EXPECT_TRUE(rule.SetAt(same[0], Program("replacement")));
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(Keys(rule), (Names{same[1], same[0]}));
  EXPECT_EQ(CommandOf(rule.Lookup(same[0])), "replacement");
  EXPECT_FALSE(rule.SetAt(same[0], nullptr));
  EXPECT_NE(rule.Lookup(same[0]), nullptr);
  EXPECT_EQ(rule.Lookup("missing"), nullptr);

  rule.SetAt("c", std::make_unique<CountingProgram>(&destroyed));
  rule.ClearAll();
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(rule.GetCount(), 0);
}

TEST(ActionRuleTest, AssignmentClonesAndReversesEachChain) {
  const auto a = KeysInChain(2, 2, "a");
  const auto b = KeysInChain(11, 1, "b");
  CActionRule rule;
  rule.SetAt(a[0], Program("1"));
  rule.SetAt(b[0], Program("2"));
  rule.SetAt(a[1], Program("3"));
  ASSERT_EQ(Keys(rule), (Names{a[1], a[0], b[0]}));

  CActionRule copy;
  copy.SetAt("stale", Program("x"));
  copy = rule;
  EXPECT_EQ(Keys(copy), (Names{a[0], a[1], b[0]}));
  static_cast<CProgramActionInfo*>(copy.Lookup(a[0]))->m_strCommand = "changed";
  EXPECT_EQ(CommandOf(rule.Lookup(a[0])), "1");
  CActionRule moved(std::move(copy));
  EXPECT_EQ(Keys(moved), (Names{a[0], a[1], b[0]}));
}

using Reports = std::vector<std::pair<bool, int>>;  // storing, rule count
Reports g_reports;

// The observer's report; the log lines it becomes are the component's
// (component/tests/library_state_test.cc).
TEST(ActionRuleTest, SettingsRecordIsExactAndReported) {
  SetSettingsArchiveObserver(
      [](const SettingsArchived& a) { g_reports.emplace_back(a.storing, a.rule_count); });
  const auto take = [] { return std::exchange(g_reports, {}); };
  CActionManagerSettings settings;
  EXPECT_EQ(StoreOf(settings, 11), Long(0));
  EXPECT_EQ(take(), (Reports{{true, 0}}));

  settings.m_mapRules["E"].SetAt("a", Program("c"));
  const Bytes expected =
      Cat({Long(1), Str("E"), Long(1), Str("a"), kProgramName, Word(0), Str("c"), {0, 0, 0}});
  EXPECT_EQ(StoreOf(settings, 11), expected);
  take();
  CActionManagerSettings back;
  back.m_mapRules["old"].SetAt("x", Program("x"));
  ASSERT_TRUE(LoadAll(expected, back, 11));
  EXPECT_EQ(take(), (Reports{{false, 1}}));
  SetSettingsArchiveObserver(nullptr);
  EXPECT_EQ(StoreOf(back, 11), expected);  // and the old rule is gone
  EXPECT_TRUE(take().empty());
}

TEST(ActionRuleTest, LoadingMatchesClassNamesIgnoringCaseAndSkipsUnknownOnes) {
  const Bytes program_record = {5, 0, 1, 'c', 0, 0, 0};
  const Bytes rule = Cat({Long(4), Str("lower"), Str("cprogramactioninfo"), program_record,
                          Str("unknown"), Str("CFooActionInfo"),  // no record follows
                          Str("dup"), kProgramName, program_record, Str("dup"),
                          Str("CTASKACTIONINFO"), Cat({Word(1), Word(0), Word(0), Long(0)})});
  CActionRule loaded;
  ASSERT_TRUE(LoadAll(rule, loaded, 11));
  EXPECT_EQ(loaded.GetCount(), 2);
  ASSERT_NE(loaded.Lookup("lower"), nullptr);
  EXPECT_TRUE(loaded.Lookup("lower")->IsKindOf(&CProgramActionInfo::classCProgramActionInfo));
  EXPECT_EQ(loaded.Lookup("lower")->m_wExecLimit, 5);
  // Two actions under one name load as one: the later record's.
  ASSERT_NE(loaded.Lookup("dup"), nullptr);
  EXPECT_TRUE(loaded.Lookup("dup")->IsKindOf(&CTaskActionInfo::classCTaskActionInfo));
}

TEST(ActionRuleTest, StoreAndLoadReverseRulesAndActionsPerChain) {
  const auto rules = KeysInChain(3, 3, "Event");
  const auto actions = KeysInChain(9, 3, "act");
  CActionManagerSettings settings;
  for (const auto& r : rules) {
    for (const auto& a : actions) settings.m_mapRules[r].SetAt(a, Program(r + a));
  }
  // Rule names are exact bytes: these two stay apart.
  settings.m_mapRules["Other"].SetAt("x", std::make_unique<CBuiltInActionInfo>());
  settings.m_mapRules["other"].SetAt("t", std::make_unique<CTaskActionInfo>(2, "x", "y", "z"));
  ASSERT_EQ(Keys(*settings.m_mapRules.Lookup(rules[0])), Names(actions.rbegin(), actions.rend()));

  const Bytes stored = StoreOf(settings, 11);
  CActionManagerSettings back;
  ASSERT_TRUE(LoadAll(stored, back, 11));
  EXPECT_EQ(back.m_mapRules.GetCount(), 5);
  Names rule_order = Keys(back.m_mapRules);
  std::erase_if(rule_order, [](const std::string& n) { return n == "Other" || n == "other"; });
  EXPECT_EQ(rule_order, rules);  // filed newest first, so reversed once
  for (const auto& r : rules) {
    SCOPED_TRACE(r);
    // Copy for storing, the load and the filing copy: three reversals.
    EXPECT_EQ(Keys(*back.m_mapRules.Lookup(r)), actions);
    EXPECT_EQ(CommandOf(back.m_mapRules.Lookup(r)->Lookup(actions[1])), r + actions[1]);
  }
  EXPECT_TRUE(back.m_mapRules.Lookup("other")->Lookup("t")->IsKindOf(
      &CTaskActionInfo::classCTaskActionInfo));
  // A second round trip reverses everything back, and with it the bytes.
  CActionManagerSettings again;
  ASSERT_TRUE(LoadAll(StoreOf(back, 11), again, 11));
  EXPECT_EQ(StoreOf(again, 11), stored);
}

TEST(ActionRuleTest, SubclassOfAStorableKindIsStoredUnderItsBaseKindsName) {
  int destroyed = 0;
  CActionRule derived;
  derived.SetAt("d", std::make_unique<CountingProgram>(&destroyed));
  EXPECT_EQ(StoreOf(derived, 11), Cat({Long(1), Str("d"), kProgramName, Bytes(6, 0)}));
}

}  // namespace
}  // namespace settings_test
