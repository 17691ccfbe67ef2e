#include "settings/string_map.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Map = CStringMap<int>;

std::vector<std::string> Keys(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(key);
  return keys;
}

// Keys that fall into the given chain, found by counting up.
std::vector<std::string> KeysInChain(int chain, int how_many) {
  std::vector<std::string> keys;
  for (int i = 0; static_cast<int>(keys.size()) < how_many; ++i) {
    const std::string key = "k" + std::to_string(i);
    if (Map::ChainOf(key) == chain) keys.push_back(key);
  }
  return keys;
}

TEST(StringMapTest, HashIsTimes33PlusUnsignedByte) {
  EXPECT_EQ(Map::HashKey(""), 0u);
  EXPECT_EQ(Map::HashKey("a"), 97u);
  EXPECT_EQ(Map::HashKey("ab"), 97u * 33 + 98);
  EXPECT_EQ(Map::HashKey("\xE9"), 0xE9u);  // unsigned, not sign-extended
  // Wraps in 32 bits: 33^7 overflows.
  EXPECT_EQ(Map::HashKey("zzzzzzzz"), [] {
    std::uint32_t h = 0;
    for (int i = 0; i < 8; ++i) h = h * 33u + 'z';
    return h;
  }());
  EXPECT_EQ(Map::ChainOf("a"), 97 % 17);
}

TEST(StringMapTest, EnumeratesChainsInOrderNewestFirstWithinAChain) {
  const auto c3 = KeysInChain(3, 3);
  const auto c1 = KeysInChain(1, 1);
  const auto c16 = KeysInChain(16, 1);
  Map map;
  map.SetAt(c16[0], 1);
  map.SetAt(c3[0], 2);
  map.SetAt(c1[0], 3);
  map.SetAt(c3[1], 4);
  map.SetAt(c3[2], 5);
  EXPECT_EQ(Keys(map), (std::vector<std::string>{c1[0], c3[2], c3[1], c3[0], c16[0]}));

  // A new value keeps the key's place; operator[] on a known key too.
  map.SetAt(c3[0], 40);
  map[c3[1]] = 41;
  EXPECT_EQ(Keys(map), (std::vector<std::string>{c1[0], c3[2], c3[1], c3[0], c16[0]}));
  EXPECT_EQ(*map.Lookup(c3[0]), 40);
  EXPECT_EQ(*map.Lookup(c3[1]), 41);
  EXPECT_EQ(map.GetCount(), 5);
}

TEST(StringMapTest, CopyReversesEachChainAndMoveKeepsOrder) {
  const auto c5 = KeysInChain(5, 3);
  const auto c9 = KeysInChain(9, 2);
  Map map;
  for (const auto& k : c5) map.SetAt(k, 1);
  for (const auto& k : c9) map.SetAt(k, 2);
  const std::vector<std::string> order = {c5[2], c5[1], c5[0], c9[1], c9[0]};
  ASSERT_EQ(Keys(map), order);

  const std::vector<std::string> reversed = {c5[0], c5[1], c5[2], c9[0], c9[1]};
  Map copy(map);
  EXPECT_EQ(Keys(copy), reversed);
  Map assigned;
  assigned.SetAt("other", 0);
  assigned = map;
  EXPECT_EQ(Keys(assigned), reversed);

  std::vector<std::string> copy_order;
  map.ForEachInCopyOrder([&](const std::string& k, int) { copy_order.push_back(k); });
  EXPECT_EQ(copy_order, reversed);

  Map moved_into;
  Map source(map);  // reversed
  moved_into.MoveEntriesFrom(source);
  EXPECT_EQ(Keys(moved_into), order);  // reversed twice
  EXPECT_TRUE(source.IsEmpty());

  Map moved(std::move(copy));
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
  EXPECT_EQ(*map.Lookup("Event"), 1);
  EXPECT_EQ(*map.Lookup("event"), 2);
  EXPECT_EQ(*map.Lookup(std::string("a\0b", 3)), 3);
  EXPECT_EQ(map.Lookup("EVENT"), nullptr);
  EXPECT_EQ(map.Lookup(""), nullptr);
}

TEST(StringMapTest, RemoveKeyUnlinksFromChainAndIndex) {
  const auto keys = KeysInChain(0, 3);
  Map map;
  for (const auto& k : keys) map.SetAt(k, 0);
  EXPECT_TRUE(map.RemoveKey(keys[1]));
  EXPECT_FALSE(map.RemoveKey(keys[1]));
  EXPECT_EQ(Keys(map), (std::vector<std::string>{keys[2], keys[0]}));
  map.SetAt(keys[1], 0);  // comes back at the front
  EXPECT_EQ(Keys(map), (std::vector<std::string>{keys[1], keys[2], keys[0]}));
  map.RemoveAll();
  EXPECT_EQ(map.GetCount(), 0);
  EXPECT_EQ(map.begin(), map.end());
  EXPECT_EQ(map.Lookup(keys[0]), nullptr);
}

TEST(StringMapTest, IndexSurvivesGrowthAndRemovalInAnyOrder) {
  Map map;
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) keys.push_back("key" + std::to_string(i * 7919 % 2000));
  for (int i = 0; i < 2000; ++i) map.SetAt(keys[i], i);
  for (int i = 0; i < 2000; i += 3) ASSERT_TRUE(map.RemoveKey(keys[i]));
  EXPECT_EQ(map.GetCount(), 2000 - 667);
  for (int i = 0; i < 2000; ++i) {
    const int* value = map.Lookup(keys[i]);
    if (i % 3 == 0) {
      EXPECT_EQ(value, nullptr) << keys[i];
    } else {
      ASSERT_NE(value, nullptr) << keys[i];
      EXPECT_EQ(*value, i);
    }
  }
  int enumerated = 0;
  int last_chain = 0;
  for (const auto& [key, value] : map) {
    EXPECT_GE(Map::ChainOf(key), last_chain);
    last_chain = Map::ChainOf(key);
    ++enumerated;
  }
  EXPECT_EQ(enumerated, map.GetCount());
}

TEST(StringMapTest, OwnsMoveOnlyValues) {
  CStringMap<std::unique_ptr<int>> map;
  map.SetAt("a", std::make_unique<int>(1));
  map.SetAt("a", std::make_unique<int>(2));  // the first one is destroyed
  ASSERT_NE(map.Lookup("a"), nullptr);
  EXPECT_EQ(**map.Lookup("a"), 2);
  EXPECT_EQ(map.GetCount(), 1);
}

}  // namespace
