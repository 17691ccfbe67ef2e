// CEnvBlock, and BuildEnvironment, which fills one for a child (its
// MONITOR_ID pins the CRC-32 behind it).
#include "runner/env_block.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "runner/command_runner.h"
#include "runner/tests/test_util.h"

namespace runner {
namespace {

using namespace std::string_literals;
using testing::FakeEnvironment;

std::string Bytes(const CEnvBlock& block) {
  return block.Data() ? std::string(block.Data(), static_cast<std::size_t>(block.Length())) : "";
}

CEnvBlock BlockOf(std::initializer_list<const char*> entries) {
  CEnvBlock block;
  for (const char* entry : entries) block.SetEntry(entry);
  return block;
}

TEST(EnvBlockTest, ReserveClearAndTheEntryForms) {
  CEnvBlock block;
  EXPECT_EQ((std::vector{block.SetEntry(nullptr), block.SetEntry(""), block.SetText(nullptr, "x"),
                         block.SetText("", "x"), block.SetNumber(nullptr, 1)}),
            std::vector(5, 0));
  EXPECT_EQ(block.Data(), nullptr) << "nothing was allocated for nothing";
  ASSERT_TRUE(block.Reserve(5));
  EXPECT_EQ(block.Capacity(), 128);
  EXPECT_EQ(Bytes(block), "\0\0"s);
  EXPECT_EQ(block.SetEntry("A=1"), 4);  // its own NUL and the two of the empty block
  ASSERT_TRUE(block.Reserve(1024));
  EXPECT_EQ(Bytes(block), "A=1\0\0\0"s) << "growing keeps the contents";
  block.Clear();
  EXPECT_EQ(Bytes(block) + " " + std::to_string(block.Capacity()), "\0\0 1024"s);
  // The text and number forms, after a Clear.
  EXPECT_EQ((std::vector{block.SetText("NAME", nullptr), block.SetText("EMPTY", ""),
                         block.SetNumber("N", -2147483647 - 1), block.SetNumber("Z", 0)}),
            (std::vector{9, 7, 14, 4}));
  EXPECT_EQ(Bytes(block), "EMPTY=\0N=-2147483648\0NAME=---\0Z=0\0\0\0"s);
}

TEST(EnvBlockTest, SameNameIsReplacedAtItsPlace) {
  CEnvBlock block = BlockOf({"A=0", "B=1", "C=3"});
  const char* b_entry = block.Entries()[1].data();
  EXPECT_EQ(block.SetEntry("B=2"), 4);
  EXPECT_EQ(block.Entries()[1].data(), b_entry) << "same size overwrites in place";
  EXPECT_EQ(block.SetEntry("B=22"), 5);
  EXPECT_EQ(Bytes(block), "A=0\0B=22\0C=3\0\0\0"s);
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
    EXPECT_EQ(Bytes(block), "\xC3\xA9=4\0A=1\0AB=2\0B=3\0\0\0"s);
  } while (std::next_permutation(entries.begin(), entries.end()));
}

TEST(EnvBlockTest, RemoveNameMatchesTheBeginningIgnoringCase) {
  const std::pair<const char*, std::string> cases[] = {
      {"pat", "HOME=/root\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},  // only the first match goes
      {"PATHext", "HOME=/root\0PATH=/bin\0X=2\0XY=1\0\0\0"s},
      {"x", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0XY=1\0\0\0"s},  // X=... goes, XY stays
      {"xy", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0\0\0"s},
      {"nothing", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},
      {"", "HOME=/root\0PATH=/bin\0PATHEXT=.x\0X=2\0XY=1\0\0\0"s},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(name);
    CEnvBlock block = BlockOf({"X=2", "PATHEXT=.x", "XY=1", "PATH=/bin", "HOME=/root"});
    block.RemoveName(name);
    EXPECT_EQ(Bytes(block), expected);
  }
}

TEST(EnvBlockTest, LoadFromProcessCopiesTheEnvironmentAsItIs) {
  char home[] = "HOME=/root", pathext[] = "PATHEXT=.x", path[] = "PATH=/bin";
  char* fake[] = {home, pathext, path, nullptr};
  char* empty[] = {nullptr};
  CEnvBlock block = BlockOf({"OLD=1"});
  {
    FakeEnvironment environment(empty);
    block.LoadFromProcess();
  }
  EXPECT_EQ(Bytes(block), "\0"s);
  EXPECT_EQ(block.SetEntry("A=1"), 4);
  EXPECT_EQ(Bytes(block), "A=1\0\0"s);
  {
    FakeEnvironment environment(fake);
    block.LoadFromProcess();
  }
  // One closing NUL, and the agent's order, unsorted.
  EXPECT_EQ(Bytes(block), "HOME=/root\0PATHEXT=.x\0PATH=/bin\0\0"s);
  block.RemoveName("PATH");
  EXPECT_EQ(Bytes(block), "HOME=/root\0PATH=/bin\0\0"s) << "PATHEXT came first, so it went";
  block.SetEntry("A=1");
  EXPECT_EQ(Bytes(block), "A=1\0HOME=/root\0PATH=/bin\0\0"s);
}

TEST(EnvBlockTest, MergeFromAndGrowth) {
  CEnvBlock block = BlockOf({"A=1", "C=3"});
  block.MergeFrom(BlockOf({"B=2", "C=33"}));
  block.MergeFrom(block);
  block.MergeFrom(CEnvBlock());
  EXPECT_EQ(Bytes(block), "A=1\0B=2\0C=33\0\0\0"s);

  for (int i = 999; i >= 0; --i) {
    const std::string entry = "V" + std::to_string(1000 + i) + "=" + std::string(i % 37u, 'x');
    ASSERT_GT(block.SetEntry(entry.c_str()), 0);
  }
  const std::vector<std::string_view> entries = block.Entries();
  ASSERT_EQ(entries.size(), 1003u);
  EXPECT_TRUE(std::is_sorted(entries.begin(), entries.end()));
  const std::string big(100000, 'y');
  ASSERT_EQ(block.SetText("BIG", big.c_str()), 100005);
  EXPECT_EQ(block.Entries()[2], "BIG=" + big);
  EXPECT_LE(block.Length(), block.Capacity());
}

std::map<std::string, std::string> Build(CCommandRunner& runner, const EnvironmentMap& map) {
  CEnvBlock block;
  block.Reserve(1024);
  runner.BuildEnvironment(block, "c:\\Winnt\\system32", map);
  std::map<std::string, std::string> vars;
  for (std::string_view entry : block.Entries()) {
    const std::size_t equals = entry.find('=');
    vars[std::string(entry.substr(0, equals))] = std::string(entry.substr(equals + 1));
  }
  return vars;
}

// "NAME=value" entries of `vars` in name order, separated by "|".
std::string Joined(const std::map<std::string, std::string>& vars) {
  std::string text;
  for (const auto& [name, value] : vars) text += (text.empty() ? "" : "|") + name + "=" + value;
  return text;
}

TEST(BuildEnvironmentTest, FirstRunOfAProgramAction) {
  char marker[] = "CHILD_OF_KAVDR=1", path[] = "PATH=/agent/bin", home[] = "HOME=/root",
       lower_probe[] = "Probe=agent", xa[] = "XA=agent";
  char* agent[] = {marker, path, home, lower_probe, xa, nullptr};
  FakeEnvironment fake(agent);
  CCommandRunner runner("abc", "perl x.pl", "", "FALSE", "UseArg");
  const std::time_t before = std::time(nullptr);
  const auto vars =
      Build(runner, {{"Path", "/mine"}, {"ZRV_PROFILE", "p1"}, {"XY", "2"}, {"X", "1"}});
  const std::time_t time = runner.State().current_time;
  EXPECT_GE(time, before);
  EXPECT_LE(time, std::time(nullptr));
  // CHILD_OF_KAVDR is gone, the map's Path replaced the agent's PATH, and the
  // probe variables replaced only their exact names (Probe stays). X removed
  // the agent's XA; XY, set after it, could not remove X.
  const std::string t = std::to_string(time);
  EXPECT_EQ(Joined(vars),
            "EFFECTIVE_VALUE=|HOME=/root|INSTALLDIR=c:\\Winnt\\system32|LASTSTAMP=0|"
            "MONITOR_ID=352441c2|PREV_VALUE=|PROBE=abc|Path=/mine|Probe=agent|TIME=" +
                t + "|TIMESTAMP=" + t + "|X=1|XY=2|ZRV_PROFILE=p1");
}

TEST(BuildEnvironmentTest, MonitorIdIsTheCrcInPlainHex) {
  char* agent[] = {nullptr};
  FakeEnvironment fake(agent);
  const std::pair<const char*, const char*> cases[] = {{"", "0"}, {"probe51", "50b7cc"}};
  for (const auto& [probe, id] : cases) {
    SCOPED_TRACE(probe);
    CCommandRunner runner(probe, "x", "", "FALSE", "UseArg");
    EXPECT_EQ(Build(runner, {}).at("MONITOR_ID"), id);
  }
}

TEST(BuildEnvironmentTest, LaterRunSeesTheClockAndTheVariablesOfTheOutput) {
  char* agent[] = {nullptr};
  FakeEnvironment fake(agent);
  CCommandRunner runner("p", "x", "", "FALSE", "UseArg");
  const auto first = Build(runner, {});
  runner.State().variables.SetEntry("AB=1");
  runner.State().variables.SetEntry("TIME=5");  // the probe variables are set after the output's
  const auto second = Build(runner, {{"AB", "from map"}});
  EXPECT_EQ(second.at("LASTSTAMP"), first.at("TIME"));
  EXPECT_EQ(second.at("AB"), "1") << "the output's variables come after the map";
  EXPECT_NE(second.at("TIME"), "5");
  EXPECT_EQ(runner.State().previous_time, std::stol(first.at("TIME")));
}

}  // namespace
}  // namespace runner
