// amctl explain / run --dry-run against the real run of the same scenario,
// and amctl test with met, unmet and invalid expectations.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

namespace fs = std::filesystem;

// A wrapper in place of scustom.pl that first writes what it was given (its
// arguments, working folder and environment) to a file of its own, then runs
// the command as the real one does.
constexpr const char* kRecordingWrapper = R"(#!/usr/bin/perl
use strict;
use warnings;
use Cwd qw(getcwd);
use JSON::PP;
my $file = $ENV{SEEN_DIR} . "/seen-" . $$ . ".json";
open(my $out, '>', $file) or die "cannot write $file";
print $out JSON::PP->new->canonical->encode(
    {argv0 => $0, argv => [@ARGV], cwd => getcwd(), env => {%ENV}});
close($out);
system('/bin/sh', '-c', join(' ', @ARGV));
exit($? >> 8);
)";

std::vector<Json> SeenPrograms(const fs::path& folder) {
  std::vector<Json> seen;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with("seen-")) {
      std::ifstream in(entry.path());
      seen.push_back(Json::parse(in));
    }
  }
  return seen;
}

// The demo's scenario, its programs run through the recording wrapper in
// `dir`, where they also leave their records.
std::string DemoWithRecordingWrapper(const TempDir& dir) {
  std::ifstream in(AM_DEMO_SCENARIO);
  Json scenario = Json::parse(in);
  scenario["environment"] = {{"ZMO_HALBERD_DIR", dir.path().string()},
                             {"SEEN_DIR", dir.path().string()}};
  dir.Write("scustom.pl", kRecordingWrapper);
  return dir.Write("demo.json", scenario.dump());
}

TEST(ExplainTest, DryRunOfTheDemoCallsNoMethodStartsNoProgramAndShowsWhatTheRealRunDoes) {
  TempDir dir;
  const std::string scenario = DemoWithRecordingWrapper(dir);

  const RunResult dry = RunAmctl({"explain", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(dry.status, 0) << dry.err;
  // No program started: the wrapper, which every program goes through, left
  // no record.
  EXPECT_TRUE(SeenPrograms(dir.path()).empty());
  const std::vector<Json> dry_lines = Lines(dry.out);
  // No provider ran: every call is the repository's record, none the provider's.
  const std::vector<Json> dry_calls = OfType(dry_lines, "method_call");
  ASSERT_EQ(dry_calls.size(), 5u);
  for (const Json& call : dry_calls) EXPECT_EQ(call.value("called", true), false) << call;
  for (const Json& event : OfType(dry_lines, "result_event")) EXPECT_EQ(event["sent"], false);

  // The rule and the limit's decisions, action by action, in run order.
  std::vector<std::string> decisions;
  for (const Json& line : dry_lines) {
    if (line["type"] == "rule") {
      decisions.push_back("rule " + line["rule"].get<std::string>() + " after " +
                          std::to_string(line["already_executed"].get<int>()));
    } else if (line["type"] == "action") {
      decisions.push_back(line["name"].get<std::string>() + " " +
                          line["decision"].get<std::string>());
    }
  }
  EXPECT_EQ(decisions,
            (std::vector<std::string>{"rule disk_full after 0", "page runs", "cleanup runs",
                                      "defragment runs", "notify runs", "ticket task_not_run",
                                      "rule disk_full after 1", "page held_back", "cleanup runs",
                                      "defragment runs", "notify runs", "ticket task_not_run"}));

  const RunResult real = RunAmctl({"run", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(real.status, 0) << real.err;
  const std::vector<Json> real_lines = Lines(real.out);
  // The calls the dry run showed are exactly the calls the real run made.
  const std::vector<Json> real_calls = OfType(real_lines, "method_call");
  ASSERT_EQ(real_calls.size(), dry_calls.size());
  for (std::size_t i = 0; i < real_calls.size(); ++i) {
    SCOPED_TRACE(i);
    Json shown = dry_calls[i];
    shown.erase("called");
    EXPECT_EQ(shown, real_calls[i]);
  }

  // Each program the dry run showed is what the started program saw:
  // arguments, working folder and every variable the run changed.
  const std::vector<Json> starts = OfType(dry_lines, "program_start");
  const std::vector<Json> seen = SeenPrograms(dir.path());
  ASSERT_EQ(starts.size(), 2u);
  ASSERT_EQ(seen.size(), 2u);
  for (const Json& start : starts) {
    const std::string free = start["environment"]["Disk_Full_FreeMB"];
    SCOPED_TRACE("FreeMB " + free);
    const Json* match = nullptr;
    for (const Json& program : seen) {
      if (program["env"].value("Disk_Full_FreeMB", "") == free) match = &program;
    }
    ASSERT_NE(match, nullptr);
    Json arguments = Json::array({"perl", (*match)["argv0"]});
    for (const Json& argument : (*match)["argv"]) arguments.push_back(argument);
    EXPECT_EQ(start["arguments"], arguments);
    EXPECT_EQ(start["directory"], (*match)["cwd"]);
    for (const auto& [name, value] : start["environment"].items()) {
      SCOPED_TRACE(name);
      // The probe clock is read at each start.
      if (name == "TIME" || name == "TIMESTAMP") continue;
      if (value.is_null()) {
        EXPECT_FALSE((*match)["env"].contains(name));
      } else {
        EXPECT_EQ((*match)["env"].value(name, Json()), value);
      }
    }
  }
}

TEST(ExplainTest, DryRunIsRunWithDryRunAndReadableTextMarksWhatDidNotHappen) {
  TempDir dir;
  const std::string scenario = DemoWithRecordingWrapper(dir);
  const RunResult text = RunAmctl({"run", "--dry-run", scenario}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(SeenPrograms(dir.path()).empty());
  for (const char* shown :
       {"(not called)", "(not sent)", "(not started)", "held back by its execution limit",
        "a task: carried for the agent, not run here", "env Disk_Full_Drive=\"C:\""}) {
    EXPECT_NE(text.out.find(shown), std::string::npos) << shown;
  }
}

// A scenario of its own with one built-in action and one program action.
Json SmallScenario() {
  return Json::parse(R"({
    "profile": "P",
    "classes": [{"name": "Disk_Full", "superclass": "ZRV_Event", "properties": {"Drive": "string"}},
                {"name": "Volume", "properties": {"Drive": {"type": "string", "key": true}},
                 "methods": {"Cleanup": {"in": {"Reason": "string"}, "return_value": 5}}}],
    "instances": [{"class": "Volume", "properties": {"Drive": "C:"}}],
    "settings": {"rules": [{"event": "Disk_Full", "actions": [
      {"name": "a", "kind": "builtin", "namespace": "root\\zrv", "class": "Volume",
       "method": "Cleanup", "key_params": [{"param": "Drive", "event_prop": "Drive"}],
       "in_params": [{"param": "Reason", "event_prop": "event_key"}]}]}]},
    "events": [{"class": "Disk_Full", "properties": {"EventId": "e", "event_key": "k", "Drive": "C:"}},
               {"class": "Disk_Full", "properties": {"EventId": "e", "event_key": "k2", "Drive": "X:"}}]
  })");
}

TEST(AmctlTestTest, MetExpectationsPassAndUnmetOnesAreNamedOneByOne) {
  TempDir dir;
  Json good = SmallScenario();
  good["expect"] = Json::parse(R"({
    "method_calls": [{"method": "Cleanup", "in": {"Reason": "k"}}],
    "result_events": [{"MsgInfo": "ZRV_CorrelatedEvents|900", "return_code": 5},
                      {"MsgInfo": "ZRV_CorrelatedEvents|901"}],
    "process_event": [1, 0],
    "logs": [{"level": 1, "component": "ActionManager", "regex": "already executed 0 times$"},
             {"regex": "already executed 1 times"}],
    "program_runs": 0})");
  Json bad = SmallScenario();
  bad["expect"] = Json::parse(R"({
    "method_calls": [{"method": "Cleanup", "in": {"Reason": "other"}}, {"method": "Cleanup"}],
    "result_events": [{"return_code": 0}, {"Nope": 1}],
    "process_event": [1, 1],
    "logs": [{"regex": "already executed 1 times"}, {"regex": "already executed 0 times"}],
    "program_runs": 1})");
  const std::string good_file = dir.Write("good.json", good.dump());
  const std::string bad_file = dir.Write("bad.json", bad.dump());

  const RunResult pass = RunAmctl({"test", good_file}, dir.path());
  EXPECT_EQ(pass.status, 0) << pass.out << pass.err;
  EXPECT_EQ(pass.out, "PASS " + good_file + "\n1 scenario: 1 passed, 0 failed\n");

  const RunResult fail =
      RunAmctl({"test", good_file, bad_file, "--junit", "report.xml"}, dir.path());
  EXPECT_EQ(fail.status, 1);
  EXPECT_EQ(fail.out, "PASS " + good_file + "\nFAIL " + bad_file + "\n" +
                          "  method_calls[0].in.Reason: expected \"other\", got \"k\"\n"
                          "  method_calls: expected 2 calls, got 1\n"
                          "  result_events[0].return_code: expected 0, got 5\n"
                          "  result_events[1].Nope: expected 1, got nothing (no such field)\n"
                          "  process_event: expected [1,1], got [1,0]\n"
                          "  logs[1]: no log line with regex \"already executed 0 times\" after "
                          "the line that logs[0] matched\n"
                          "  program_runs: expected 1, got 0\n"
                          "2 scenarios: 1 passed, 1 failed\n");
  const std::string report = dir.Read("report.xml");
  EXPECT_NE(report.find("<testsuite name=\"amctl test\" tests=\"2\" failures=\"1\" errors=\"0\""),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("<failure message=\"7 unmet expectations\">method_calls[0].in.Reason: "
                        "expected &quot;other&quot;, got &quot;k&quot;\n"),
            std::string::npos)
      << report;
}

TEST(AmctlTestTest, InvalidExpectBlocksAreInvalidInputNamingTheField) {
  struct Case {
    const char* expect;
    const char* message;
  };
  const Case cases[] = {
      {R"({"logs": [{"level": 2}]})", "expect.logs[0]: needs either text or regex"},
      {R"({"logs": [{"text": "a", "regex": "b"}]})", "expect.logs[0]: needs either text or regex"},
      {R"({"logs": [{"regex": "("}]})", "expect.logs[0].regex: is not a regular expression"},
      {R"({"logs": [{"text": "a", "level": 4}]})", "expect.logs[0].level: must be an integer"},
      {nullptr, "expect.logs[0].regex: is longer than 1000 characters"},
      {R"({"process_event": [1.5]})", "expect.process_event[0]: must be an integer"},
      {R"({"method_calls": [{"path": 1}]})", "expect.method_calls[0].path: must be a string"},
      {R"({"method_calls": [{"in": []}]})", "expect.method_calls[0].in:"},
      {R"({"result_events": [1]})", "expect.result_events[0]: must be an object"},
      {R"({"program_runs": -1})", "expect.program_runs: must be an integer"},
      {R"({"bogus": 1})", "expect.bogus:"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Json scenario = SmallScenario();
    scenario["expect"] = c.expect != nullptr
                             ? Json::parse(c.expect)
                             : Json{{"logs", {{{"regex", std::string(1001, 'a')}}}}};
    const std::string file = dir.Write("s.json", scenario.dump());
    const RunResult result = RunAmctl({"test", file}, dir.path());
    EXPECT_EQ(result.status, 3);
    EXPECT_NE(result.err.find("amctl: " + file + ": " + c.message), std::string::npos)
        << result.err;
    EXPECT_NE(result.out.find("ERROR " + file), std::string::npos);
  }
  // A scenario that states nothing to check is a failure, not a pass.
  const std::string bare = dir.Write("bare.json", SmallScenario().dump());
  const RunResult result = RunAmctl({"test", bare}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("expect: the scenario has no expect block"), std::string::npos);
}

}  // namespace
}  // namespace tools_test
