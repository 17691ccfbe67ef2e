#include "settings/action_info.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// Every member of an action description is in its record, so two
// descriptions are equal exactly when their records are. Storing leaves the
// object alone; Serialize is non-const only because it also loads.
template <typename T>
Bytes Record(const T& action) {
  return StoreOf(const_cast<T&>(action), 11);
}

TEST(ActionInfoTest, RecordsAreExact) {
  EXPECT_EQ(Record(CBuiltInActionInfo()),
            Cat({Word(0), Bytes(3, 0), Long(0), Bytes(2, 0), Long(0), Long(0)}));
  EXPECT_EQ(Record(SampleBuiltIn()),
            Cat({Word(0x0102), Str("root\\zrv"), Str("Svc"), Str("Restart"), Long(-7),
                 Str("restart"), Str("aux"), Long(1), Str("Name"), Str("event_key"), Long(2),
                 Str("Why"), Str("severity"), Str("Id"), Str("EventId")}));
  EXPECT_EQ(Record(CTaskActionInfo()), Cat({Word(0), Word(0), Word(0), Long(0)}));
  CProgramActionInfo program;
  EXPECT_EQ(Record(program), Bytes(6, 0));
  program.m_strCommand = "c";
  program.m_strProbe = "p";
  program.m_strDescriptiveName = "d";
  EXPECT_EQ(Record(program), (Bytes{0, 0, 1, 'c', 1, 'd', 0, 1, 'p'}));  // the probe goes last
  CBaseActionInfo base;
  base.m_wExecLimit = 513;
  EXPECT_EQ(Record(base), (Bytes{0x01, 0x02}));
}

TEST(ActionInfoTest, TaskConstructorSplitsItemsAndTerminatesTexts) {
  CTaskActionInfo t(3, "ab", "", "x;y;");
  EXPECT_EQ(t.m_baText1, (Bytes{'a', 'b', 0}));
  EXPECT_EQ(
      Record(t),
      Cat({Word(3), Word(3), {'a', 'b', 0}, Word(1), {0}, Long(3), Str("x"), Str("y"), Str("")}));
  const std::pair<const char*, CStringList> cases[] = {
      {"", {""}}, {"one", {"one"}}, {";", {"", ""}}, {" a ; b", {" a ", " b"}}, {nullptr, {""}}};
  for (const auto& [items, expected] : cases) {
    SCOPED_TRACE(items ? items : "(null)");
    EXPECT_EQ(CTaskActionInfo(0, nullptr, "t", items).m_lstItems, expected);
  }
}

TEST(ActionInfoTest, OldBuiltInLayoutCarriesOneInlineKeyPair) {
  const Bytes old = Cat({Word(4), Str("ns"), Str("C"), Str("M"), Long(1), Str("Key"),
                         Str("event_key"), Str("desc"), Str(""), Long(1), Str("In"), Str("Prop")});
  // Stored again, it takes the current layout.
  const Bytes current =
      Cat({Word(4), Str("ns"), Str("C"), Str("M"), Long(1), Str("desc"), Str(""), Long(1),
           Str("Key"), Str("event_key"), Long(1), Str("In"), Str("Prop")});
  for (std::int32_t version : {10, 0, -5, INT32_MIN}) {
    SCOPED_TRACE(version);
    CBuiltInActionInfo a;
    ASSERT_TRUE(LoadAll(old, a, version));
    EXPECT_EQ(StoreOf(a, version), current);
  }
  // The same bytes read as the current layout do not line up.
  CBuiltInActionInfo misread;
  EXPECT_FALSE([&] {
    try {
      return LoadAll(old, misread, 11);
    } catch (const CArchiveException&) {
      return false;
    }
  }());
}

TEST(ActionInfoTest, ClearAllResetsWhatEachKindOwns) {
  CBuiltInActionInfo b = SampleBuiltIn();
  b.ClearAll();
  EXPECT_EQ(Record(b), Record(CBuiltInActionInfo()));
  CTaskActionInfo t(5, "a", "b", "c");
  t.ClearAll();
  EXPECT_EQ(Record(t), Record(CTaskActionInfo()));
  // A program keeps its limit.
  CProgramActionInfo p;
  p.m_wExecLimit = 5;
  p.m_strCommand = p.m_strProbe = p.m_strDescriptiveName = p.m_strAux = "x";
  p.ClearAll();
  EXPECT_EQ(Record(p), (Bytes{5, 0, 0, 0, 0, 0}));
}

TEST(ActionInfoTest, CloneKeepsTheClassAndCopiesDeeply) {
  const CBuiltInActionInfo original = SampleBuiltIn();
  std::unique_ptr<CBaseActionInfo> clone = original.Clone();
  ASSERT_EQ(clone->GetRuntimeClass(), &CBuiltInActionInfo::classCBuiltInActionInfo);
  auto* copy = static_cast<CBuiltInActionInfo*>(clone.get());
  EXPECT_EQ(Record(*copy), Record(original));
  copy->m_KeyParams.GetAt(0).m_strParamName = "changed";
  EXPECT_EQ(Record(original), Record(SampleBuiltIn()));

  const CTaskActionInfo task(1, "a", "b", "c");
  clone = task.Clone();
  ASSERT_EQ(clone->GetRuntimeClass(), &CTaskActionInfo::classCTaskActionInfo);
  EXPECT_EQ(Record(*static_cast<CTaskActionInfo*>(clone.get())), Record(task));
  EXPECT_EQ(CProgramActionInfo().Clone()->GetRuntimeClass(),
            &CProgramActionInfo::classCProgramActionInfo);
  EXPECT_EQ(CBaseActionInfo().Clone()->GetRuntimeClass(), &CBaseActionInfo::classCBaseActionInfo);
}

}  // namespace
}  // namespace settings_test
