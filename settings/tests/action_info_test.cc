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

// A clone has the original's class and record and is its own: clearing it
// leaves the original alone. ClearAll resets what each kind owns; a program
// keeps its limit.
TEST(ActionInfoTest, ClonesAreDeepAndClearAllResetsWhatEachKindOwns) {
  const CBuiltInActionInfo builtin = SampleBuiltIn();
  const CTaskActionInfo task(5, "a", "b", "c");
  CProgramActionInfo program;
  program.m_wExecLimit = 5;
  program.m_strCommand = program.m_strProbe = program.m_strDescriptiveName = program.m_strAux = "x";
  CBaseActionInfo base;
  base.m_wExecLimit = 3;
  const std::pair<const CBaseActionInfo*, Bytes> cases[] = {
      {&builtin, Record(CBuiltInActionInfo())},
      {&task, Record(CTaskActionInfo())},
      {&program, Bytes{5, 0, 0, 0, 0, 0}},
      {&base, Bytes{0, 0}}};
  for (const auto& [original, cleared] : cases) {
    SCOPED_TRACE(original->GetRuntimeClass()->m_lpszClassName);
    const Bytes record = Record(*original);
    std::unique_ptr<CBaseActionInfo> clone = original->Clone();
    EXPECT_EQ(clone->GetRuntimeClass(), original->GetRuntimeClass());
    EXPECT_EQ(Record(*clone), record);
    clone->ClearAll();
    EXPECT_EQ(Record(*clone), cleared);
    EXPECT_EQ(Record(*original), record);
  }
}

}  // namespace
}  // namespace settings_test
