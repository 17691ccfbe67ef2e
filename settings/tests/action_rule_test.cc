#include "settings/action_rule.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/trace_utils.h"
#include "settings/action_manager_settings.h"
#include "settings/registry.h"
#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

const Bytes kProgramName = Str("CProgramActionInfo");

// Names that fall into one chain, found by counting up.
std::vector<std::string> NamesInChain(int chain, int how_many, const std::string& stem = "n") {
  std::vector<std::string> names;
  for (int i = 0; static_cast<int>(names.size()) < how_many; ++i) {
    const std::string name = stem + std::to_string(i);
    if (CActionRule::Actions::ChainOf(name) == chain) names.push_back(name);
  }
  return names;
}

std::unique_ptr<CProgramActionInfo> Program(const std::string& command, std::uint16_t limit = 0) {
  auto p = std::make_unique<CProgramActionInfo>();
  p->m_strCommand = command;
  p->m_wExecLimit = limit;
  return p;
}

std::vector<std::string> Names(const CActionRule& rule) {
  std::vector<std::string> names;
  for (const auto& [name, action] : rule) names.push_back(name);
  return names;
}

std::vector<std::string> Names(const CActionManagerSettings& settings) {
  std::vector<std::string> names;
  for (const auto& [name, rule] : settings.m_mapRules) names.push_back(name);
  return names;
}

template <typename T>
std::vector<T> Reversed(std::vector<T> v) {
  return {v.rbegin(), v.rend()};
}

// Counts destructions, to prove that replaced and cleared actions are freed.
struct CountingProgram : CProgramActionInfo {
  explicit CountingProgram(int* destroyed) : m_destroyed(destroyed) {}
  ~CountingProgram() override { ++*m_destroyed; }
  int* m_destroyed;
};

class ActionRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(AmRegisterSettingsClasses());
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& component, const std::string& message) {
          log_.push_back(std::to_string(level) + " " + component + ": " + message);
        });
  }
  void TearDown() override {
    CTraceUtils::GetInstance()->SetLineSink({});
    AmUnregisterSettingsClasses();
  }
  std::vector<std::string> log_;
};

TEST_F(ActionRuleTest, RegistryCreatesEveryClassByName) {
  for (const char* name :
       {"CParamsList", "CBaseActionInfo", "CBuiltInActionInfo", "CTaskActionInfo",
        "CProgramActionInfo", "CActionRule", "CActionManagerSettings", "CStringListParameter",
        "CNumericListParameter"}) {
    SCOPED_TRACE(name);
    const CRuntimeClass* c = CRuntimeClass::FromName(name);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->m_lpszClassName, name);
    std::unique_ptr<CObject> object = c->CreateObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), c);
  }
  EXPECT_EQ(CRuntimeClass::FromName("CEventDef"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CMapStringToOb"), nullptr);
  EXPECT_TRUE(CActionRule::classCActionRule.IsDerivedFrom(&CMapStringToOb::classCMapStringToOb));
  // A second registration fails and leaves the first one standing.
  EXPECT_FALSE(AmRegisterSettingsClasses());
  EXPECT_NE(CRuntimeClass::FromName("CActionRule"), nullptr);
}

TEST(SettingsRegistryTest, RegistrationIsAllOrNothing) {
  const CRuntimeClass squatter = {"CActionRule", 1, nullptr, nullptr};
  ASSERT_TRUE(AmRegisterClass(&squatter));
  EXPECT_FALSE(AmRegisterSettingsClasses());
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CActionRule"), &squatter);
  AmUnregisterClass(&squatter);
  EXPECT_TRUE(AmRegisterSettingsClasses());
  AmUnregisterSettingsClasses();
  EXPECT_EQ(CRuntimeClass::FromName("CActionRule"), nullptr);
}

TEST_F(ActionRuleTest, SetAtReplacesAndDestroysInPlace) {
  const auto same = NamesInChain(4, 2);
  int destroyed = 0;
  CActionRule rule;
  rule.SetAt(same[0], std::make_unique<CountingProgram>(&destroyed));
  rule.SetAt(same[1], Program("b"));
  EXPECT_TRUE(rule.SetAt(same[0], Program("replacement")));
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(Names(rule), (std::vector<std::string>{same[1], same[0]}));
  EXPECT_EQ(static_cast<CProgramActionInfo*>(rule.Lookup(same[0]))->m_strCommand, "replacement");
  EXPECT_FALSE(rule.SetAt(same[0], nullptr));
  EXPECT_NE(rule.Lookup(same[0]), nullptr);
  EXPECT_EQ(rule.Lookup("missing"), nullptr);

  rule.SetAt("c", std::make_unique<CountingProgram>(&destroyed));
  rule.ClearAll();
  EXPECT_EQ(destroyed, 2);
  EXPECT_EQ(rule.GetCount(), 0);
}

TEST_F(ActionRuleTest, AssignmentClonesAndReversesEachChain) {
  const auto a = NamesInChain(2, 2, "a");
  const auto b = NamesInChain(11, 1, "b");
  CActionRule rule;
  rule.SetAt(a[0], Program("1"));
  rule.SetAt(b[0], Program("2"));
  rule.SetAt(a[1], Program("3"));
  ASSERT_EQ(Names(rule), (std::vector<std::string>{a[1], a[0], b[0]}));

  CActionRule copy;
  copy.SetAt("stale", Program("x"));
  copy = rule;
  EXPECT_EQ(Names(copy), (std::vector<std::string>{a[0], a[1], b[0]}));
  EXPECT_EQ(copy.Lookup("stale"), nullptr);
  EXPECT_NE(copy.Lookup(a[0]), rule.Lookup(a[0]));
  static_cast<CProgramActionInfo*>(copy.Lookup(a[0]))->m_strCommand = "changed";
  EXPECT_EQ(static_cast<CProgramActionInfo*>(rule.Lookup(a[0]))->m_strCommand, "1");

  CActionRule moved(std::move(copy));
  EXPECT_EQ(Names(moved), (std::vector<std::string>{a[0], a[1], b[0]}));
}

TEST_F(ActionRuleTest, RuleStoredAndLoadedReversesEachChain) {
  const auto same = NamesInChain(7, 3);
  CActionRule rule;
  for (const auto& n : same) rule.SetAt(n, Program(n));
  rule.SetAt("t", std::make_unique<CTaskActionInfo>(2, "x", "y", "z"));
  const std::vector<std::string> order = Names(rule);

  CActionRule back;
  ASSERT_TRUE(LoadAll(StoreOf(rule, 11), back, 11));
  const std::vector<std::string> expected = {same[0], same[1], same[2]};
  std::vector<std::string> got = Names(back);
  got.erase(std::remove(got.begin(), got.end(), "t"), got.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Names(back).size(), order.size());
  EXPECT_TRUE(back.Lookup("t")->IsKindOf(&CTaskActionInfo::classCTaskActionInfo));
}

TEST_F(ActionRuleTest, EmptySettingsStoreAsZeroAndLog) {
  CActionManagerSettings settings;
  EXPECT_EQ(StoreOf(settings, 11), Long(0));
  EXPECT_EQ(log_, (std::vector<std::string>{"3 ActionManager: Serialized 0 action rules"}));
}

TEST_F(ActionRuleTest, OneRuleOneProgramIsExact) {
  CActionManagerSettings settings;
  settings.m_mapRules["E"].SetAt("a", Program("c"));
  const Bytes expected =
      Cat({Long(1), Str("E"), Long(1), Str("a"), kProgramName, {0, 0}, Str("c"), {0}, {0}, {0}});
  EXPECT_EQ(StoreOf(settings, 11), expected);

  CActionManagerSettings back;
  back.m_mapRules["old"].SetAt("x", Program("x"));
  log_.clear();
  ASSERT_TRUE(LoadAll(expected, back, 11));
  EXPECT_EQ(Names(back), (std::vector<std::string>{"E"}));
  ASSERT_NE(back.m_mapRules.Lookup("E"), nullptr);
  const CBaseActionInfo* a = back.m_mapRules.Lookup("E")->Lookup("a");
  ASSERT_NE(a, nullptr);
  ASSERT_TRUE(a->IsKindOf(&CProgramActionInfo::classCProgramActionInfo));
  EXPECT_EQ(static_cast<const CProgramActionInfo*>(a)->m_strCommand, "c");
  EXPECT_EQ(log_, (std::vector<std::string>{"3 ActionManager: De-serialized 1 action rules"}));
}

TEST_F(ActionRuleTest, LoadingMatchesClassNamesIgnoringCaseAndSkipsUnknownOnes) {
  const Bytes program_record = {5, 0, 1, 'c', 0, 0, 0};
  const Bytes rule = Cat({Long(4), Str("lower"), Str("cprogramactioninfo"), program_record,
                          Str("unknown"), Str("CFooActionInfo"),  // no record follows
                          Str("dup"), kProgramName, program_record, Str("dup"),
                          Str("CTASKACTIONINFO"), Cat({{1, 0}, {0, 0}, {0, 0}, Long(0)})});
  CActionRule loaded;
  ASSERT_TRUE(LoadAll(rule, loaded, 11));
  EXPECT_EQ(loaded.GetCount(), 2);
  ASSERT_NE(loaded.Lookup("lower"), nullptr);
  EXPECT_TRUE(loaded.Lookup("lower")->IsKindOf(&CProgramActionInfo::classCProgramActionInfo));
  EXPECT_EQ(loaded.Lookup("lower")->m_wExecLimit, 5);
  EXPECT_EQ(loaded.Lookup("unknown"), nullptr);
  // Two actions under one name load as one: the later record's.
  ASSERT_NE(loaded.Lookup("dup"), nullptr);
  EXPECT_TRUE(loaded.Lookup("dup")->IsKindOf(&CTaskActionInfo::classCTaskActionInfo));
}

TEST_F(ActionRuleTest, RuleNamesDifferingInCaseStaySeparate) {
  CActionManagerSettings settings;
  settings.m_mapRules["Disk_Event"].SetAt("a", Program("1"));
  settings.m_mapRules["disk_event"].SetAt("a", Program("2"));
  CActionManagerSettings back;
  ASSERT_TRUE(LoadAll(StoreOf(settings, 11), back, 11));
  EXPECT_EQ(back.m_mapRules.GetCount(), 2);
  EXPECT_NE(back.m_mapRules.Lookup("Disk_Event"), nullptr);
  EXPECT_NE(back.m_mapRules.Lookup("disk_event"), nullptr);
}

TEST_F(ActionRuleTest, SettingsStoredAndLoadedReverseRulesAndActionsPerChain) {
  const auto rules = NamesInChain(3, 3, "Event");
  const auto actions = NamesInChain(9, 3, "act");
  CActionManagerSettings settings;
  for (const auto& r : rules) {
    for (const auto& a : actions) settings.m_mapRules[r].SetAt(a, Program(r + a));
  }
  settings.m_mapRules["Other"].SetAt("x", std::make_unique<CBuiltInActionInfo>());
  ASSERT_EQ(Names(*settings.m_mapRules.Lookup(rules[0])), Reversed(actions));

  const Bytes stored = StoreOf(settings, 11);
  CActionManagerSettings back;
  ASSERT_TRUE(LoadAll(stored, back, 11));
  std::vector<std::string> rule_order = Names(back);
  rule_order.erase(std::remove(rule_order.begin(), rule_order.end(), "Other"), rule_order.end());
  EXPECT_EQ(rule_order, rules);  // filed newest first, so reversed once
  for (const auto& r : rules) {
    SCOPED_TRACE(r);
    // Copy for storing, the load and the filing copy: three reversals.
    EXPECT_EQ(Names(*back.m_mapRules.Lookup(r)), actions);
    EXPECT_EQ(static_cast<CProgramActionInfo*>(back.m_mapRules.Lookup(r)->Lookup(actions[1]))
                  ->m_strCommand,
              r + actions[1]);
  }
  // A second round trip reverses everything back, and with it the bytes.
  CActionManagerSettings again;
  ASSERT_TRUE(LoadAll(StoreOf(back, 11), again, 11));
  EXPECT_EQ(Names(*again.m_mapRules.Lookup(rules[0])), Reversed(actions));
  EXPECT_EQ(StoreOf(again, 11), stored);
}

TEST_F(ActionRuleTest, ActionOfNoStorableKindIsRefused) {
  CActionRule rule;
  rule.SetAt("bare", std::make_unique<CBaseActionInfo>());
  Bytes out;
  CArchive ar(out, CArchive::store);
  try {
    rule.Serialize(ar, 11);
    ADD_FAILURE() << "stored";
  } catch (const CArchiveException& e) {
    EXPECT_EQ(e.GetCause(), CArchiveException::notStorable);
    EXPECT_NE(e.GetReason().find("bare"), std::string::npos) << e.GetReason();
  }
  // A subclass of a storable kind is stored under its base kind's name.
  int destroyed = 0;
  CActionRule derived;
  derived.SetAt("d", std::make_unique<CountingProgram>(&destroyed));
  EXPECT_EQ(StoreOf(derived, 11), Cat({Long(1), Str("d"), kProgramName, Bytes(6, 0)}));
}

}  // namespace
}  // namespace settings_test
