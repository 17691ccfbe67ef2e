#include "settings/action_info.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

CBuiltInActionInfo SampleBuiltIn() {
  CBuiltInActionInfo a;
  a.m_wExecLimit = 0x0102;
  a.m_strNamespace = "root\\zrv";
  a.m_strClassName = "Svc";
  a.m_strMethodName = "Restart";
  a.m_bClassCall = -7;
  a.m_KeyParams.AddTail(CParams("Name", "event_key"));
  a.m_InParams.AddTail(CParams("Why", "severity"));
  a.m_InParams.AddTail(CParams("Id", "EventId"));
  a.m_strDescriptiveName = "restart";
  a.m_strAux = "aux";
  return a;
}

void ExpectSameBuiltIn(const CBuiltInActionInfo& a, const CBuiltInActionInfo& b) {
  EXPECT_EQ(a.m_wExecLimit, b.m_wExecLimit);
  EXPECT_EQ(a.m_strNamespace, b.m_strNamespace);
  EXPECT_EQ(a.m_strClassName, b.m_strClassName);
  EXPECT_EQ(a.m_strMethodName, b.m_strMethodName);
  EXPECT_EQ(a.m_bClassCall, b.m_bClassCall);
  EXPECT_EQ(a.m_KeyParams, b.m_KeyParams);
  EXPECT_EQ(a.m_InParams, b.m_InParams);
  EXPECT_EQ(a.m_strDescriptiveName, b.m_strDescriptiveName);
  EXPECT_EQ(a.m_strAux, b.m_strAux);
}

TEST(ActionInfoTest, DefaultRecordsAreExact) {
  CBuiltInActionInfo built_in;
  EXPECT_EQ(StoreOf(built_in, 11), Cat({{0, 0}, {0, 0, 0}, Long(0), {0, 0}, Long(0), Long(0)}));
  EXPECT_EQ(StoreOf(built_in, 11).size(), 19u);
  CTaskActionInfo task;
  EXPECT_EQ(StoreOf(task, 11), Cat({{0, 0}, {0, 0}, {0, 0}, Long(0)}));
  CProgramActionInfo program;
  EXPECT_EQ(StoreOf(program, 11), (Bytes{0, 0, 0, 0, 0, 0}));
  CBaseActionInfo base;
  base.m_wExecLimit = 513;
  EXPECT_EQ(StoreOf(base, 11), (Bytes{0x01, 0x02}));
}

TEST(ActionInfoTest, ProgramRecordPutsTheProbeLast) {
  CProgramActionInfo p;
  p.m_strCommand = "c";
  p.m_strProbe = "p";
  p.m_strDescriptiveName = "d";
  EXPECT_EQ(StoreOf(p, 11), (Bytes{0, 0, 1, 'c', 1, 'd', 0, 1, 'p'}));

  CProgramActionInfo back;
  ASSERT_TRUE(LoadAll(StoreOf(p, 11), back, 11));
  EXPECT_EQ(back.m_strCommand, "c");
  EXPECT_EQ(back.m_strProbe, "p");
  EXPECT_EQ(back.m_strDescriptiveName, "d");
  EXPECT_EQ(back.m_strAux, "");
}

TEST(ActionInfoTest, TaskConstructorSplitsItemsAndTerminatesTexts) {
  CTaskActionInfo t(3, "ab", "", "x;y;");
  EXPECT_EQ(t.m_wExecLimit, 3);
  EXPECT_EQ(t.m_baText1, (Bytes{'a', 'b', 0}));
  EXPECT_EQ(t.m_baText2, (Bytes{0}));
  EXPECT_EQ(t.m_lstItems, (CStringList{"x", "y", ""}));
  EXPECT_EQ(StoreOf(t, 11),
            Cat({{3, 0}, {3, 0, 'a', 'b', 0}, {1, 0, 0}, Long(3), Str("x"), Str("y"), Str("")}));

  struct Case {
    const char* items;
    CStringList expected;
  };
  const Case cases[] = {
      {"", {""}}, {"one", {"one"}}, {";", {"", ""}}, {" a ; b", {" a ", " b"}}, {nullptr, {""}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.items ? c.items : "(null)");
    EXPECT_EQ(CTaskActionInfo(0, nullptr, "t", c.items).m_lstItems, c.expected);
  }
}

TEST(ActionInfoTest, EveryKindRoundTrips) {
  CBuiltInActionInfo built_in = SampleBuiltIn();
  CBuiltInActionInfo built_in_back;
  ASSERT_TRUE(LoadAll(StoreOf(built_in, 11), built_in_back, 11));
  ExpectSameBuiltIn(built_in_back, built_in);

  CTaskActionInfo task(9, "first", "second\xC3\xA9", "a;;b");
  task.m_baText1.resize(70000, 0x5A);  // the long byte block form
  CTaskActionInfo task_back;
  ASSERT_TRUE(LoadAll(StoreOf(task, 11), task_back, 11));
  EXPECT_EQ(task_back.m_wExecLimit, 9);
  EXPECT_EQ(task_back.m_baText1, task.m_baText1);
  EXPECT_EQ(task_back.m_baText2, task.m_baText2);
  EXPECT_EQ(task_back.m_lstItems, task.m_lstItems);
}

TEST(ActionInfoTest, OldBuiltInLayoutCarriesOneInlineKeyPair) {
  const Bytes old = Cat({{4, 0},
                         Str("ns"),
                         Str("C"),
                         Str("M"),
                         Long(1),
                         Str("Key"),
                         Str("event_key"),
                         Str("desc"),
                         Str(""),
                         Long(1),
                         Str("In"),
                         Str("Prop")});
  for (std::int32_t version : {10, 0, -5, INT32_MIN}) {
    SCOPED_TRACE(version);
    CBuiltInActionInfo a;
    ASSERT_TRUE(LoadAll(old, a, version));
    EXPECT_EQ(a.m_wExecLimit, 4);
    EXPECT_EQ(a.m_strNamespace, "ns");
    EXPECT_EQ(a.m_bClassCall, 1);
    ASSERT_EQ(a.m_KeyParams.GetCount(), 1);
    EXPECT_EQ(a.m_KeyParams.GetAt(0), CParams("Key", "event_key"));
    EXPECT_EQ(a.m_strDescriptiveName, "desc");
    ASSERT_EQ(a.m_InParams.GetCount(), 1);
    EXPECT_EQ(a.m_InParams.GetAt(0), CParams("In", "Prop"));

    // Stored again, it takes the current layout.
    EXPECT_EQ(StoreOf(a, version), Cat({{4, 0},
                                        Str("ns"),
                                        Str("C"),
                                        Str("M"),
                                        Long(1),
                                        Str("desc"),
                                        Str(""),
                                        Long(1),
                                        Str("Key"),
                                        Str("event_key"),
                                        Long(1),
                                        Str("In"),
                                        Str("Prop")}));
  }
  // The same bytes read as the current layout do not line up.
  CBuiltInActionInfo current;
  EXPECT_FALSE([&] {
    try {
      return LoadAll(old, current, 11);
    } catch (const CArchiveException&) {
      return false;
    }
  }());
}

TEST(ActionInfoTest, ClearAllResetsWhatEachKindOwns) {
  CBuiltInActionInfo b = SampleBuiltIn();
  b.ClearAll();
  ExpectSameBuiltIn(b, CBuiltInActionInfo());

  CTaskActionInfo t(5, "a", "b", "c");
  t.ClearAll();
  EXPECT_EQ(t.m_wExecLimit, 0);
  EXPECT_TRUE(t.m_baText1.empty());
  EXPECT_TRUE(t.m_baText2.empty());
  EXPECT_EQ(t.m_lstItems.GetCount(), 0);

  CProgramActionInfo p;
  p.m_wExecLimit = 5;
  p.m_strCommand = "c";
  p.m_strProbe = "p";
  p.m_strDescriptiveName = "d";
  p.m_strAux = "x";
  p.ClearAll();
  EXPECT_EQ(p.m_wExecLimit, 5);
  EXPECT_EQ(StoreOf(p, 11), (Bytes{5, 0, 0, 0, 0, 0}));
}

TEST(ActionInfoTest, CloneKeepsTheClassAndCopiesDeeply) {
  const CBuiltInActionInfo original = SampleBuiltIn();
  std::unique_ptr<CBaseActionInfo> clone = original.Clone();
  ASSERT_EQ(clone->GetRuntimeClass(), &CBuiltInActionInfo::classCBuiltInActionInfo);
  auto* copy = static_cast<CBuiltInActionInfo*>(clone.get());
  ExpectSameBuiltIn(*copy, original);
  copy->m_InParams.AddTail(CParams("extra", "extra"));
  copy->m_KeyParams.GetAt(0).m_strParamName = "changed";
  EXPECT_EQ(original.m_InParams.GetCount(), 2);
  EXPECT_EQ(original.m_KeyParams.GetAt(0).m_strParamName, "Name");

  const std::unique_ptr<CBaseActionInfo> clones[] = {CTaskActionInfo(1, "", "", "").Clone(),
                                                     CProgramActionInfo().Clone(),
                                                     CBaseActionInfo().Clone()};
  EXPECT_TRUE(clones[0]->IsKindOf(&CTaskActionInfo::classCTaskActionInfo));
  EXPECT_EQ(clones[0]->m_wExecLimit, 1);
  EXPECT_TRUE(clones[1]->IsKindOf(&CProgramActionInfo::classCProgramActionInfo));
  EXPECT_EQ(clones[2]->GetRuntimeClass(), &CBaseActionInfo::classCBaseActionInfo);
  EXPECT_TRUE(clones[1]->IsKindOf(&CBaseActionInfo::classCBaseActionInfo));
  EXPECT_FALSE(clones[1]->IsKindOf(&CBuiltInActionInfo::classCBuiltInActionInfo));
}

}  // namespace
}  // namespace settings_test
