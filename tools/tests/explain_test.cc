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

// What the runner hands a program (below the hook) is the runner's tests';
// here what amctl makes of it: the demo's dry run shows every decision, call
// and program start, and the real run then makes exactly those calls.
TEST(ExplainTest, DryRunOfTheDemoCallsNoMethodStartsNoProgramAndShowsWhatTheRealRunDoes) {
  TempDir dir;
  const std::string scenario = AM_DEMO_SCENARIO;  // its programs run in examples/
  const RunResult dry = RunAmctl({"explain", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(dry.status, 0) << dry.err;
  // No program ran: none printed its line.
  EXPECT_EQ(dry.out.find("--STDOUT: Drive"), std::string::npos);
  // The rule and the limit's decisions, action by action, in run order; no
  // provider ran (every call is the repository's record, every result event
  // unsent); each program is not started and shows its arguments, its folder
  // and only the variables that differ from amctl's own (so PATH, unchanged,
  // is left out).
  std::string shown;  // "; " after each line
  std::vector<Json> dry_calls;
  for (const Json& line : Lines(dry.out)) {
    if (line["type"] == "rule") {
      shown += "rule " + line["rule"].get<std::string>() + " after " +
               line["already_executed"].dump() + "; ";
    } else if (line["type"] == "action") {
      shown += line["name"].get<std::string>() + " " + line["decision"].get<std::string>() + "; ";
    } else if (line["type"] == "method_call") {
      dry_calls.push_back(line);
      shown += "call " + line["method"].get<std::string>() + " called " +
               line.value("called", Json(true)).dump() + "; ";
    } else if (line["type"] == "result_event") {
      shown += "sent " + line["sent"].dump() + "; ";
    } else if (line["type"] == "program_start") {
      const Json& env = line.at("environment");
      shown += Json{line["started"],
                    line["arguments"].size(),
                    line["arguments"][1],
                    line["directory"] == (fs::path(AM_SOURCE_DIR) / "examples").string(),
                    env["Disk_Full_FreeMB"],
                    env["EVENT_SEVERITY"],
                    env.contains("PATH")}
                   .dump() +
               "; ";
    }
  }
  EXPECT_EQ(shown,
            "rule disk_full after 0; page runs; call Send called false; sent false; "
            "cleanup runs; call Cleanup called false; sent false; "
            "defragment runs; call Defragment called false; sent false; "
            "notify runs; [false,3,\"scustom.pl\",true,\"120\",\"critical\",false]; sent false; "
            "ticket task_not_run; "
            "rule disk_full after 1; page held_back; "
            "cleanup runs; call Cleanup called false; sent false; "
            "defragment runs; call Defragment called false; sent false; "
            "notify runs; [false,3,\"scustom.pl\",true,\"80\",\"critical\",false]; sent false; "
            "ticket task_not_run; ");

  // run --dry-run is explain; its readable text marks what did not happen.
  const RunResult text = RunAmctl({"run", "--dry-run", scenario}, dir.path());
  ASSERT_EQ(text.status, 0) << text.err;
  for (const char* marked :
       {"(not called)", "(not sent)", "(not started)", "held back by its execution limit",
        "a task: carried for the agent, not run here", "env Disk_Full_Drive=\"C:\""}) {
    EXPECT_NE(text.out.find(marked), std::string::npos) << marked;
  }

  // The calls the dry run showed are exactly the calls the real run made.
  const RunResult real = RunAmctl({"run", scenario, "--jsonl"}, dir.path());
  ASSERT_EQ(real.status, 0) << real.err;
  for (Json& call : dry_calls) call.erase("called");
  EXPECT_EQ(OfType(Lines(real.out), "method_call"), dry_calls);
}

// A scenario with one built-in action, its events and the expectations they
// meet; `expect`, when given, replaces the expectations.
std::string ExpectScenario(const TempDir& dir, const char* name, const Json& expect = nullptr) {
  std::ifstream in(fs::path(AM_SOURCE_DIR) / "tools/tests/testdata/expect_met.json");
  Json scenario = Json::parse(in);
  if (!expect.is_null()) scenario["expect"] = expect;
  if (expect.is_boolean()) scenario.erase("expect");
  return dir.Write(name, scenario.dump());
}

TEST(AmctlTestTest, MetExpectationsPassUnmetOnesAreNamedAndAnInvalidOrMissingBlockIsNoPass) {
  TempDir dir;
  const std::string good_file = ExpectScenario(dir, "good.json");
  std::ifstream unmet(fs::path(AM_SOURCE_DIR) / "tools/tests/testdata/expect_unmet.json");
  const std::string bad_file = ExpectScenario(dir, "bad.json", Json::parse(unmet));

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

  // The expect reader's refusals are scenario_reader_test's; here how amctl
  // test tells one, and a scenario that states nothing to check.
  const std::string file =
      ExpectScenario(dir, "s.json", Json::parse(R"({"logs": [{"level": 2}]})"));
  const RunResult invalid = RunAmctl({"test", file}, dir.path());
  EXPECT_EQ(invalid.status, 3);
  EXPECT_NE(invalid.err.find("amctl: " + file + ": expect.logs[0]: needs either text or regex"),
            std::string::npos)
      << invalid.err;
  EXPECT_NE(invalid.out.find("ERROR " + file), std::string::npos);
  const RunResult bare = RunAmctl({"test", ExpectScenario(dir, "bare.json", false)}, dir.path());
  EXPECT_EQ(bare.status, 1);
  EXPECT_NE(bare.out.find("expect: the scenario has no expect block"), std::string::npos);
}

}  // namespace
}  // namespace tools_test
