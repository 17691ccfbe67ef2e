// amctl explain / run --dry-run against the real run of the same scenario,
// and amctl test with met, unmet and invalid expectations.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

namespace fs = std::filesystem;

// What the runner hands a program (below the hook) is the runner's tests';
// here what amctl makes of it: the demo's dry run shows every decision, call
// and program start, and the real run then makes exactly those calls.
TEST(ExplainTest, DryRunOfTheDemoCallsNoMethodStartsNoProgramAndShowsWhatTheRealRunDoes) {
  TempDir dir;
  const std::string scenario = AM_DEMO_SCENARIO;  // its programs run in examples/
  const RunResult dry = RunAmctl({"explain", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(dry.status, 0) << dry.err;
  const std::vector<Json> dry_lines = Lines(dry.out);
  // No provider ran: every call is the repository's record, none the provider's.
  const std::vector<Json> dry_calls = OfType(dry_lines, "method_call");
  ASSERT_EQ(dry_calls.size(), 5u);
  for (const Json& call : dry_calls) EXPECT_EQ(call.value("called", true), false) << call;
  for (const Json& event : OfType(dry_lines, "result_event")) EXPECT_EQ(event["sent"], false);
  // No program ran: none printed its line.
  EXPECT_EQ(dry.out.find("--STDOUT: Drive"), std::string::npos);

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

  // Each program, not started: its arguments, its folder, and only the
  // variables that differ from amctl's own (so PATH, unchanged, is left out).
  const std::vector<Json> starts = OfType(dry_lines, "program_start");
  ASSERT_EQ(starts.size(), 2u);
  const char* free[] = {"120", "80"};
  for (std::size_t i = 0; i < starts.size(); ++i) {
    SCOPED_TRACE(i);
    const Json& start = starts[i];
    EXPECT_EQ(start["started"], false);
    EXPECT_EQ(start["arguments"].size(), 3u);
    EXPECT_EQ(start["arguments"][1], "scustom.pl");
    EXPECT_EQ(start["directory"], (fs::path(AM_SOURCE_DIR) / "examples").string());
    EXPECT_EQ(start["environment"]["Disk_Full_FreeMB"], free[i]);
    EXPECT_EQ(start["environment"]["EVENT_SEVERITY"], "critical");
    EXPECT_FALSE(start["environment"].contains("PATH"));
  }

  // run --dry-run is explain; its readable text marks what did not happen.
  const RunResult text = RunAmctl({"run", "--dry-run", scenario}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* shown :
       {"(not called)", "(not sent)", "(not started)", "held back by its execution limit",
        "a task: carried for the agent, not run here", "env Disk_Full_Drive=\"C:\""}) {
    EXPECT_NE(text.out.find(shown), std::string::npos) << shown;
  }

  // The calls the dry run showed are exactly the calls the real run made.
  const RunResult real = RunAmctl({"run", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(real.status, 0) << real.err;
  const std::vector<Json> real_calls = OfType(Lines(real.out), "method_call");
  ASSERT_EQ(real_calls.size(), dry_calls.size());
  for (std::size_t i = 0; i < real_calls.size(); ++i) {
    SCOPED_TRACE(i);
    Json shown = dry_calls[i];
    shown.erase("called");
    EXPECT_EQ(shown, real_calls[i]);
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

// The expect reader's refusals are scenario_reader_test's; here how amctl
// test tells one, and a scenario that states nothing to check.
TEST(AmctlTestTest, AnInvalidOrMissingExpectBlockIsNoPass) {
  TempDir dir;
  Json scenario = SmallScenario();
  scenario["expect"] = Json::parse(R"({"logs": [{"level": 2}]})");
  const std::string file = dir.Write("s.json", scenario.dump());
  const RunResult invalid = RunAmctl({"test", file}, dir.path());
  EXPECT_EQ(invalid.status, 3);
  EXPECT_NE(invalid.err.find("amctl: " + file + ": expect.logs[0]: needs either text or regex"),
            std::string::npos)
      << invalid.err;
  EXPECT_NE(invalid.out.find("ERROR " + file), std::string::npos);
  const std::string bare = dir.Write("bare.json", SmallScenario().dump());
  const RunResult result = RunAmctl({"test", bare}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("expect: the scenario has no expect block"), std::string::npos);
}

}  // namespace
}  // namespace tools_test
