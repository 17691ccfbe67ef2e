#include "runner/env_block.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "runner/tests/test_util.h"

namespace runner {
namespace {

using namespace std::string_literals;

std::string Bytes(const CEnvBlock& block) {
  return block.Data() ? std::string(block.Data(), static_cast<std::size_t>(block.Length())) : "";
}

std::vector<std::string> Names(const CEnvBlock& block) {
  std::vector<std::string> names;
  for (std::string_view entry : block.Entries())
    names.emplace_back(entry.substr(0, entry.find('=')));
  return names;
}

CEnvBlock BlockOf(std::initializer_list<const char*> entries) {
  CEnvBlock block;
  for (const char* entry : entries) block.SetEntry(entry);
  return block;
}

TEST(EnvBlockTest, FirstEntryKeepsBothClosingNuls) {
  CEnvBlock block;
  EXPECT_EQ(block.SetEntry("A=1"), 4);
  EXPECT_EQ(Bytes(block), "A=1\0\0\0"s);
  EXPECT_EQ(block.Length(), 6);
}

TEST(EnvBlockTest, ReserveAndClear) {
  CEnvBlock block;
  block.Clear();
  EXPECT_EQ(block.Length(), 0);
  EXPECT_EQ(block.Capacity(), 0);
  ASSERT_TRUE(block.Reserve(5));
  EXPECT_EQ(block.Capacity(), 128);
  EXPECT_EQ(Bytes(block), "\0\0"s);
  block.SetEntry("A=1");
  ASSERT_TRUE(block.Reserve(1024));
  EXPECT_EQ(block.Capacity(), 1024);
  EXPECT_EQ(Bytes(block), "A=1\0\0\0"s) << "growing keeps the contents";
  block.Clear();
  EXPECT_EQ(Bytes(block), "\0\0"s);
  EXPECT_EQ(block.Capacity(), 1024);
}

TEST(EnvBlockTest, SameNameIsReplacedAtItsPlace) {
  CEnvBlock block = BlockOf({"A=0", "B=1", "C=3"});
  const char* b_entry = block.Entries()[1].data();
  EXPECT_EQ(block.SetEntry("B=2"), 4);
  EXPECT_EQ(block.Entries()[1].data(), b_entry) << "same size overwrites in place";
  EXPECT_EQ(Bytes(block), "A=0\0B=2\0C=3\0\0\0"s);
  EXPECT_EQ(block.SetEntry("B=22"), 5);
  EXPECT_EQ(Bytes(block), "A=0\0B=22\0C=3\0\0\0"s);
  EXPECT_EQ(block.Length(), 15);
  EXPECT_EQ(block.SetEntry("B="), 3);
  EXPECT_EQ(Bytes(block), "A=0\0B=\0C=3\0\0\0"s);
}

TEST(EnvBlockTest, EntriesStaySortedWhateverTheInsertionOrder) {
  std::array<const char*, 4> entries = {"A=1", "AB=2", "B=3", "\xC3\xA9=4"};
  std::sort(entries.begin(), entries.end());
  do {
    SCOPED_TRACE(std::string(entries[0]) + " " + entries[1] + " " + entries[2] + " " + entries[3]);
    CEnvBlock block;
    for (const char* entry : entries) block.SetEntry(entry);
    // Bytes are signed: the UTF-8 lead byte 0xC3 sorts before every ASCII letter.
    EXPECT_EQ(Names(block), (std::vector<std::string>{"\xC3\xA9", "A", "AB", "B"}));
  } while (std::next_permutation(entries.begin(), entries.end()));
}

TEST(EnvBlockTest, RejectsMissingEntriesAndNames) {
  CEnvBlock block;
  EXPECT_EQ(block.SetEntry(nullptr), 0);
  EXPECT_EQ(block.SetEntry(""), 0);
  EXPECT_EQ(block.SetText(nullptr, "x"), 0);
  EXPECT_EQ(block.SetText("", "x"), 0);
  EXPECT_EQ(block.SetNumber(nullptr, 1), 0);
  EXPECT_EQ(block.Data(), nullptr) << "nothing was allocated for nothing";
}

TEST(EnvBlockTest, SetTextAndSetNumberFormats) {
  CEnvBlock block;
  EXPECT_EQ(block.SetText("NAME", nullptr), 9);
  EXPECT_EQ(block.SetText("EMPTY", ""), 7);
  EXPECT_EQ(block.SetNumber("N", -2147483647 - 1), 14);
  EXPECT_EQ(block.SetNumber("Z", 0), 4);
  EXPECT_EQ(Bytes(block), "EMPTY=\0N=-2147483648\0NAME=---\0Z=0\0\0\0"s);
}

TEST(EnvBlockTest, RemoveNameMatchesTheBeginningIgnoringCase) {
  struct Case {
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {"pat", "HOME=/root\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},  // only the first match goes
      {"PATHext", "HOME=/root\0PATH=/bin\0X=2\0XY=1\0\0\0"s},
      {"x", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0XY=1\0\0\0"s},  // X=... goes, XY stays
      {"xy", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0\0\0"s},
      {"nothing", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},
      {"", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CEnvBlock block = BlockOf({"X=2", "PATHEXT=.x", "XY=1", "PATH=/bin", "HOME=/root"});
    block.RemoveName(c.name);
    EXPECT_EQ(Bytes(block), c.expected);
  }
}

using testing::FakeEnvironment;

TEST(EnvBlockTest, LoadFromProcessCopiesTheEnvironmentAsItIs) {
  char home[] = "HOME=/root";
  char pathext[] = "PATHEXT=.x";
  char path[] = "PATH=/bin";
  char* fake[] = {home, pathext, path, nullptr};
  CEnvBlock block;
  block.SetEntry("OLD=1");
  {
    FakeEnvironment environment(fake);
    block.LoadFromProcess();
  }
  // One closing NUL, and the agent's order, unsorted.
  EXPECT_EQ(Bytes(block), "HOME=/root\0PATHEXT=.x\0PATH=/bin\0\0"s);
  block.RemoveName("PATH");
  EXPECT_EQ(Bytes(block), "HOME=/root\0PATH=/bin\0\0"s) << "PATHEXT came first, so it went";
  block.RemoveName("PATH");
  EXPECT_EQ(Bytes(block), "HOME=/root\0\0"s);
  block.SetEntry("A=1");
  EXPECT_EQ(Bytes(block), "A=1\0HOME=/root\0\0"s);
}

TEST(EnvBlockTest, LoadFromProcessOfAnEmptyEnvironment) {
  char* fake[] = {nullptr};
  CEnvBlock block;
  {
    FakeEnvironment environment(fake);
    block.LoadFromProcess();
  }
  EXPECT_EQ(Bytes(block), "\0"s);
  EXPECT_EQ(block.SetEntry("A=1"), 4);
  EXPECT_EQ(Bytes(block), "A=1\0\0"s);
}

TEST(EnvBlockTest, LoadFromProcessMatchesTheRealEnvironment) {
  CEnvBlock block;
  block.LoadFromProcess();
  std::vector<std::string_view> expected;
  for (char** entry = environ; *entry; ++entry) expected.emplace_back(*entry);
  EXPECT_EQ(block.Entries(), expected);
}

TEST(EnvBlockTest, MergeFromSetsEveryEntryOfTheOther) {
  CEnvBlock block = BlockOf({"A=1", "C=3"});
  CEnvBlock other = BlockOf({"B=2", "C=33"});
  block.MergeFrom(other);
  EXPECT_EQ(Bytes(block), "A=1\0B=2\0C=33\0\0\0"s);
  block.MergeFrom(block);
  EXPECT_EQ(Bytes(block), "A=1\0B=2\0C=33\0\0\0"s);
  block.MergeFrom(CEnvBlock());
  EXPECT_EQ(Bytes(block), "A=1\0B=2\0C=33\0\0\0"s);
}

TEST(EnvBlockTest, GrowsThroughManyEntriesAndLongValues) {
  CEnvBlock block;
  std::string reference;
  for (int i = 999; i >= 0; --i) {
    std::string entry =
        "V" + std::to_string(1000 + i) + "=" + std::string(static_cast<std::size_t>(i % 37), 'x');
    ASSERT_GT(block.SetEntry(entry.c_str()), 0);
  }
  const std::vector<std::string_view> entries = block.Entries();
  ASSERT_EQ(entries.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
  EXPECT_LE(block.Length(), block.Capacity());
  std::string big(100000, 'y');
  ASSERT_EQ(block.SetText("BIG", big.c_str()), 100005);
  EXPECT_EQ(block.Entries().front(), "BIG=" + big);
}

}  // namespace
}  // namespace runner
