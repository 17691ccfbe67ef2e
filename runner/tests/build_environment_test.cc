#include <gtest/gtest.h>
#include <stdlib.h>

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

std::map<std::string, std::string> AsMap(const CEnvBlock& block) {
  std::map<std::string, std::string> map;
  for (std::string_view entry : block.Entries()) {
    const std::size_t equals = entry.find('=');
    map[std::string(entry.substr(0, equals))] =
        equals == std::string_view::npos ? "" : std::string(entry.substr(equals + 1));
  }
  return map;
}

std::vector<std::string> EntriesOf(const CEnvBlock& block) {
  const std::vector<std::string_view> entries = block.Entries();
  return {entries.begin(), entries.end()};
}

CEnvBlock Build(CCommandRunner& runner, const EnvironmentMap& environment) {
  CEnvBlock block;
  block.Reserve(1024);
  runner.BuildEnvironment(block, "c:\\Winnt\\system32", environment);
  return block;
}

TEST(BuildEnvironmentTest, FirstRunOfAProgramAction) {
  char marker[] = "CHILD_OF_KAVDR=1";
  char path[] = "PATH=/agent/bin";
  char home[] = "HOME=/root";
  char lower_probe[] = "Probe=agent";
  char* agent[] = {marker, path, home, lower_probe, nullptr};
  FakeEnvironment fake(agent);
  CCommandRunner runner("abc", "perl x.pl", "", "FALSE", "UseArg");
  const std::time_t before = std::time(nullptr);
  const CEnvBlock block = Build(runner, {{"Path", "/mine"}, {"ZRV_PROFILE", "p1"}});
  const std::time_t after = std::time(nullptr);
  const auto vars = AsMap(block);

  EXPECT_EQ(vars.count("CHILD_OF_KAVDR"), 0u);
  EXPECT_EQ(vars.count("PATH"), 0u) << "the map's Path replaces the agent's PATH";
  EXPECT_EQ(vars.at("Path"), "/mine");
  EXPECT_EQ(vars.at("ZRV_PROFILE"), "p1");
  EXPECT_EQ(vars.at("HOME"), "/root");
  EXPECT_EQ(vars.at("Probe"), "agent") << "probe variables replace only their exact name";
  EXPECT_EQ(vars.at("LASTSTAMP"), "0");
  EXPECT_EQ(vars.at("PROBE"), "abc");
  const long time = std::stol(vars.at("TIME"));
  EXPECT_GE(time, before);
  EXPECT_LE(time, after);
  EXPECT_EQ(vars.at("TIMESTAMP"), vars.at("TIME"));
  EXPECT_EQ(vars.at("PREV_VALUE"), "");
  EXPECT_EQ(vars.at("EFFECTIVE_VALUE"), "");
  EXPECT_EQ(vars.at("MONITOR_ID"), "352441c2");
  EXPECT_EQ(vars.at("INSTALLDIR"), "c:\\Winnt\\system32");
  EXPECT_EQ(runner.State().current_time, time);
  EXPECT_EQ(runner.State().previous_time, 0);
}

TEST(BuildEnvironmentTest, MonitorIdIsTheCrcInPlainHex) {
  char* agent[] = {nullptr};
  FakeEnvironment fake(agent);
  const std::pair<const char*, const char*> cases[] = {
      {"abc", "352441c2"}, {"", "0"}, {"probe51", "50b7cc"}};
  for (const auto& [probe, id] : cases) {
    SCOPED_TRACE(probe);
    CCommandRunner runner(probe, "x", "", "FALSE", "UseArg");
    EXPECT_EQ(AsMap(Build(runner, {})).at("MONITOR_ID"), id);
  }
}

TEST(BuildEnvironmentTest, LaterRunSeesTheClockAndTheVariablesOfTheOutput) {
  char* agent[] = {nullptr};
  FakeEnvironment fake(agent);
  CCommandRunner runner("p", "x", "", "FALSE", "UseArg");
  const auto first = AsMap(Build(runner, {}));
  runner.State().variables.SetEntry("AB=1");
  runner.State().variables.SetEntry("TIME=5");  // an output may shadow nothing: TIME is set later
  const auto second = AsMap(Build(runner, {{"AB", "from map"}}));
  EXPECT_EQ(second.at("LASTSTAMP"), first.at("TIME"));
  EXPECT_EQ(second.at("AB"), "1") << "the output's variables come after the map";
  EXPECT_NE(second.at("TIME"), "5");
  EXPECT_EQ(runner.State().previous_time, std::stol(first.at("TIME")));
}

TEST(BuildEnvironmentTest, PrefixNamesInMapOrderBothSurvive) {
  char xa[] = "XA=agent";
  char path[] = "PATH=/bin";
  char* agent[] = {xa, path, nullptr};
  FakeEnvironment fake(agent);
  CCommandRunner runner("p", "x", "", "FALSE", "UseArg");
  const CEnvBlock block = Build(runner, {{"XY", "2"}, {"X", "1"}});
  // X comes first in the map and removes the agent's XA; XY cannot remove X.
  const auto vars = AsMap(block);
  EXPECT_EQ(vars.count("XA"), 0u);
  EXPECT_EQ(vars.at("X"), "1");
  EXPECT_EQ(vars.at("XY"), "2");
  EXPECT_EQ(vars.at("PATH"), "/bin");

  // The other order, by hand: setting X after XY removes XY.
  CEnvBlock reverse;
  reverse.RemoveName("XY");
  reverse.SetText("XY", "2");
  reverse.RemoveName("X");
  reverse.SetText("X", "1");
  EXPECT_EQ(EntriesOf(reverse), std::vector<std::string>{"X=1"});
}

}  // namespace
}  // namespace runner
