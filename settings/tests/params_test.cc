#include "settings/params.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

TEST(ParamsListTest, RecordsAreExact) {
  CParamsList empty;
  EXPECT_EQ(StoreOf(empty), Long(0));

  CParamsList one;
  one.AddTail(CParams("a", "b"));
  EXPECT_EQ(StoreOf(one), (Bytes{0x01, 0, 0, 0, 0x01, 'a', 0x01, 'b'}));
}

TEST(ParamsListTest, LoadReplacesAndKeepsDuplicatesInOrder) {
  CParamsList source;
  source.AddTail(CParams("x", "EventId"));
  source.AddTail(CParams("x", "EventId"));
  source.AddTail(CParams("", "severity"));

  CParamsList target;
  target.AddTail(CParams("old", "old"));
  ASSERT_TRUE(LoadAll(StoreOf(source), target));
  EXPECT_EQ(target, source);
  EXPECT_EQ(target.GetCount(), 3);
}

TEST(ParamsListTest, NonPositiveCountLoadsEmpty) {
  for (std::int32_t count : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(count);
    CParamsList list;
    list.AddTail(CParams("a", "b"));
    ASSERT_TRUE(LoadAll(Long(count), list));
    EXPECT_EQ(list.GetCount(), 0);
  }
}

TEST(ParamsListTest, AssignmentIsADeepCopy) {
  CParamsList a;
  a.AddTail(CParams("p", "q"));
  CParamsList b;
  b.AddTail(CParams("z", "z"));
  b = a;
  a.GetAt(0).m_strParamName = "changed";
  ASSERT_EQ(b.GetCount(), 1);
  EXPECT_EQ(b.GetAt(0), CParams("p", "q"));
}

}  // namespace
}  // namespace settings_test
