#include "settings/string_map.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

using Map = CStringMap<int>;
using Names = std::vector<std::string>;

TEST(StringMapTest, EnumeratesChainsInOrderNewestFirstAndCopiesReverseEachChain) {
  const auto c5 = KeysInChain(5, 3);
  const auto c9 = KeysInChain(9, 2);
  const auto c1 = KeysInChain(1, 1);
  Map map;
  for (const auto& k : c5) map.SetAt(k, 1);
  for (const auto& k : c9) map.SetAt(k, 2);
  map.SetAt(c1[0], 3);
  const Names order = {c1[0], c5[2], c5[1], c5[0], c9[1], c9[0]};
  EXPECT_EQ(Keys(map), order);
  // A new value keeps the key's place; operator[] on a known key too.
  map.SetAt(c5[0], 40);
  map[c5[1]] = 41;
  EXPECT_EQ(Keys(map), order);
  EXPECT_EQ(*map.Lookup(c5[0]), 40);
  EXPECT_EQ(*map.Lookup(c5[1]), 41);

  const Names reversed = {c1[0], c5[0], c5[1], c5[2], c9[0], c9[1]};
  Map copy(map);
  EXPECT_EQ(Keys(copy), reversed);
  Map assigned;
  assigned.SetAt("other", 0);
  assigned = map;
  EXPECT_EQ(Keys(assigned), reversed);
  Names copy_order;
  map.ForEachInCopyOrder([&](const std::string& k, int) { copy_order.push_back(k); });
  EXPECT_EQ(copy_order, reversed);

  Map moved_into;
  moved_into.MoveEntriesFrom(copy);
  EXPECT_EQ(Keys(moved_into), order);  // reversed twice
  EXPECT_TRUE(copy.IsEmpty());
  Map moved(std::move(assigned));
  EXPECT_EQ(Keys(moved), reversed);
  EXPECT_EQ(*moved.Lookup(c9[1]), 2);
}

TEST(StringMapTest, KeysAreExactBytes) {
  Map map;
  map["Event"] = 1;
  map["event"] = 2;
  map[std::string("a\0b", 3)] = 3;
  map["a"] = 4;
  EXPECT_EQ(map.GetCount(), 4);
  EXPECT_EQ(*map.Lookup("event"), 2);
  EXPECT_EQ(*map.Lookup(std::string("a\0b", 3)), 3);
  EXPECT_EQ(map.Lookup("EVENT"), nullptr);
  EXPECT_EQ(map.Lookup(""), nullptr);
}

TEST(StringMapTest, RemovalUnlinksFromChainAndIndexThroughGrowth) {
  const auto keys = KeysInChain(0, 3);
  Map map;
  for (const auto& k : keys) map.SetAt(k, 0);
  EXPECT_TRUE(map.RemoveKey(keys[1]));
  EXPECT_FALSE(map.RemoveKey(keys[1]));
  EXPECT_EQ(Keys(map), (Names{keys[2], keys[0]}));
  map.SetAt(keys[1], 0);  // comes back at the front
  EXPECT_EQ(Keys(map), (Names{keys[1], keys[2], keys[0]}));
  map.RemoveAll();
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.Lookup(keys[0]), nullptr);

  // Thousands of keys in scrambled order, every third removed.
  Names many;
  for (int i = 0; i < 2000; ++i) many.push_back("key" + std::to_string(i * 7919 % 2000));
  for (int i = 0; i < 2000; ++i) map.SetAt(many[i], i);
  for (int i = 0; i < 2000; i += 3) ASSERT_TRUE(map.RemoveKey(many[i]));
  EXPECT_EQ(map.GetCount(), 2000 - 667);
  for (int i = 0; i < 2000; ++i) {
    const int* value = map.Lookup(many[i]);
    EXPECT_EQ(value ? *value : -1, i % 3 == 0 ? -1 : i) << many[i];
  }
  const Names enumerated = Keys(map);
  EXPECT_EQ(enumerated.size(), 2000u - 667);
  EXPECT_TRUE(std::is_sorted(enumerated.begin(), enumerated.end(),
                             [](const std::string& a, const std::string& b) {
                               return Map::ChainOf(a) < Map::ChainOf(b);
                             }));
}

}  // namespace
}  // namespace settings_test
