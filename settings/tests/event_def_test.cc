#include "settings/event_def.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

struct Outputs {
  std::string num = "n?", str = "s?", agg = "a?";
  std::int32_t l1 = -1, l2 = -1, n1 = -1, n2 = -1;
  std::string t1 = "?", t2 = "?", t3 = "?", t4 = "?";
  std::int32_t n3 = -1;
  bool operator==(const Outputs&) const = default;
};

Outputs OutputsOf(const CEventDef& def) {
  Outputs o;
  def.GetAdditionalInfo(o.num, o.str, o.agg, o.l1, o.l2, o.n1, o.n2, o.t1, o.t2, o.t3, o.t4, o.n3);
  return o;
}

CEventDef Full() {
  return CEventDef("Ev", "cpu, mem", "host", " f1 ,f2", 1, 2, 3, 4, "one", "two", "three", "four",
                   5);
}

TEST(EventDefTest, AttributesAreTrimmedTokensAndTestedExactly) {
  const CEventDef def("E", " a , b ", "c,,d");
  EXPECT_EQ(def.m_lstNumAttributes, (CStringList{"a", "b"}));
  EXPECT_EQ(def.m_lstStrAttributes, (CStringList{"c", "d"}));
  EXPECT_EQ(def.IsAProperty("c"), 1);
  EXPECT_EQ(def.IsAProperty("a"), 1);
  EXPECT_EQ(def.IsANumProperty("c"), 0);
  EXPECT_EQ(def.IsAStrProperty("C"), 0);
  EXPECT_EQ(def.IsAProperty("e"), 0);
  EXPECT_EQ(CEventDef("E", ",, ,", "").m_lstNumAttributes, (CStringList{""}));
  // Without the companion record only the first two outputs change.
  EXPECT_EQ(OutputsOf(def), (Outputs{"a,b", "c,d"}));
}

TEST(EventDefTest, RecordsAreExactAndEveryArgumentComesBack) {
  CEventDef def;
  EXPECT_EQ(StoreOf(def, 6), Cat({{0}, Long(0), Long(0), Long(0)}));

  CEventDef full = Full();
  EXPECT_EQ(OutputsOf(full),
            (Outputs{"cpu,mem", "host", "f1,f2", 1, 2, 3, 4, "one", "two", "three", "four", 5}));
  const Bytes expected = Cat({Str("Ev"), Long(1), Long(3), Long(1), Long(2), Long(4), Str("one"),
                              Str("two"), Str("four"), Str("three"), Long(5), Long(2), Str("f1"),
                              Str("f2"), Long(2), Str("cpu"), Str("mem"), Long(1), Str("host")});
  // Storing writes m_nNumber3 whatever the version.
  EXPECT_EQ(StoreOf(full, 6), expected);
  EXPECT_EQ(StoreOf(full, 5), expected);
  CEventDef back;
  ASSERT_TRUE(LoadAll(expected, back, 6));
  EXPECT_EQ(back.m_strName, "Ev");
  EXPECT_EQ(OutputsOf(back), OutputsOf(full));

  full.ClearAll();
  EXPECT_EQ(StoreOf(full, 6), StoreOf(def, 6));
}

TEST(EventDefTest, VersionFiveAndBelowReadNoThirdNumber) {
  const Bytes old =
      Cat({Str("Ev"), Long(1), Long(3), Long(1), Long(2), Long(4), Str("one"), Str("two"),
           Str("four"), Str("three"), Long(1), Str("f"), Long(0), Long(1), Str("s")});
  for (std::int32_t version : {5, 0, -1}) {
    SCOPED_TRACE(version);
    CEventDef def = Full();
    ASSERT_TRUE(LoadAll(old, def, version));
    ASSERT_NE(def.m_pDetails, nullptr);
    EXPECT_EQ(def.m_pDetails->m_nNumber3, 0);
    EXPECT_EQ(OutputsOf(def),
              (Outputs{"", "s", "f", 1, 2, 3, 4, "one", "two", "three", "four", 0}));
  }
  // Read above version 5 the same bytes take the aggregation count for the
  // third number and run off the rails.
  CEventDef misread;
  EXPECT_THROW(LoadAll(old, misread, 6), CArchiveException);
}

TEST(EventDefTest, AssignmentAndCopyAreDeep) {
  CEventDef source = Full();
  CEventDef target("x", "y", "z");
  target = source;
  CEventDef copy(source);
  source.m_pDetails->m_strText1 = "changed";
  source.m_lstNumAttributes.AddTail("more");
  EXPECT_EQ(OutputsOf(target), OutputsOf(Full()));
  EXPECT_EQ(OutputsOf(copy), OutputsOf(Full()));
  target = CEventDef("p", "", "");
  EXPECT_EQ(target.m_pDetails, nullptr);
  EXPECT_EQ(target.m_strName, "p");
  EXPECT_EQ(target.GetRuntimeClass(), &CObject::classCObject);
}

}  // namespace
}  // namespace settings_test
