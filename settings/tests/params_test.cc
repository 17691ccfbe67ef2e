#include "settings/params.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

TEST(ParamsListTest, LoadReplacesAndKeepsDuplicatesInOrder) {
  CParamsList source;
  source.AddTail(CParams("a", "b"));
  EXPECT_EQ(StoreOf(source), (Bytes{0x01, 0, 0, 0, 0x01, 'a', 0x01, 'b'}));
  source.AddTail(CParams("a", "b"));
  source.AddTail(CParams("", "severity"));

  CParamsList target;
  target.AddTail(CParams("old", "old"));
  ASSERT_TRUE(LoadAll(StoreOf(source), target));
  EXPECT_EQ(target, source);
  EXPECT_EQ(target.GetCount(), 3);

  // A copy is deep: changing the source later leaves it alone.
  CParamsList copy;
  copy = source;
  source.GetAt(0).m_strParamName = "changed";
  EXPECT_EQ(copy.GetAt(0), CParams("a", "b"));
}

TEST(ParamsListTest, NonPositiveCountLoadsEmpty) {
  for (std::int32_t count : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(count);
    CParamsList list;
    list.AddTail(CParams("a", "b"));
    ASSERT_TRUE(LoadAll(Long(count), list));
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(StoreOf(list), Long(0));
  }
}

}  // namespace
}  // namespace settings_test
