#include "settings/event_def.h"

#include <gtest/gtest.h>

#include <sstream>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// GetAdditionalInfo's twelve outputs, '/'-separated, called on outputs that
// hold "?" and -1 so that what it leaves alone shows.
std::string OutputsOf(const CEventDef& def) {
  std::string num = "?", str = "?", agg = "?", t1 = "?", t2 = "?", t3 = "?", t4 = "?";
  std::int32_t l1 = -1, l2 = -1, n1 = -1, n2 = -1, n3 = -1;
  def.GetAdditionalInfo(num, str, agg, l1, l2, n1, n2, t1, t2, t3, t4, n3);
  std::ostringstream out;
  out << num << "/" << str << "/" << agg << "/" << l1 << "/" << l2 << "/" << n1 << "/" << n2 << "/"
      << t1 << "/" << t2 << "/" << t3 << "/" << t4 << "/" << n3;
  return out.str();
}

CEventDef Full() {
  return CEventDef("Ev", "cpu, mem", "host", " f1 ,f2", 1, 2, 3, 4, "one", "two", "three", "four",
                   5);
}

TEST(EventDefTest, AttributesAreTrimmedTokensAndTestedExactly) {
  const CEventDef def("E", " a , b ", "c,,d");
  EXPECT_EQ(def.IsAProperty("c"), 1);
  EXPECT_EQ(def.IsAProperty("a"), 1);
  EXPECT_EQ(def.IsANumProperty("c"), 0);
  EXPECT_EQ(def.IsAStrProperty("C"), 0);
  EXPECT_EQ(def.IsAProperty("e"), 0);
  EXPECT_EQ(CEventDef("E", ",, ,", "").m_lstNumAttributes, (CStringList{""}));
  // Without the companion record only the first two outputs change: the
  // attributes, trimmed, joined with ",".
  EXPECT_EQ(OutputsOf(def), "a,b/c,d/?/-1/-1/-1/-1/?/?/?/?/-1");
}

TEST(EventDefTest, RecordsAreExactAndEveryArgumentComesBack) {
  CEventDef def;
  EXPECT_EQ(StoreOf(def, 6), Cat({{0}, Long(0), Long(0), Long(0)}));

  CEventDef full = Full();
  EXPECT_EQ(OutputsOf(full), "cpu,mem/host/f1,f2/1/2/3/4/one/two/three/four/5");
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
    EXPECT_EQ(OutputsOf(def), "/s/f/1/2/3/4/one/two/three/four/0");
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
