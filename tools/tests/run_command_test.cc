// amctl run and amctl demo, driven through the built binary and checked on
// their JSON lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "settings/tests/test_util.h"
#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

// Classes shared by the scenarios below; each test adds its settings/events.
constexpr char kClasses[] = R"(
  "classes": [
    {"name": "Disk_Full", "superclass": "ZRV_Event",
     "properties": {"Drive": "string", "Free": "uint32", "Big": "uint64"}},
    {"name": "Service", "properties": {"Drive": {"type": "string", "key": true}},
     "methods": {
       "Restart": {"in": {"Reason": "string", "Free": "uint32", "Big": "uint64", "Flag": "boolean"},
                   "return_value": 42},
       "Stop": {"in": {"Reason": "string"}, "hresult": "0x80041003"}}}],
  "instances": [{"class": "Service", "properties": {"Drive": "C:"}}])";

std::string Builtin(const std::string& name, const std::string& method) {
  return R"({"name": ")" + name + R"(", "kind": "builtin", "namespace": "root\\zrv",
     "class": "Service", "method": ")" +
         method + R"(", "descriptive_name": "d-)" + name + R"(",
     "key_params": [{"param": "Drive", "event_prop": "Drive"}],
     "in_params": [{"param": "Reason", "event_prop": "event_key"}, {"param": "Free", "event_prop": "Free"},
                   {"param": "Big", "event_prop": "Big"}]})";
}

std::string Event(const std::string& id, const std::string& extra = "") {
  return R"({"class": "Disk_Full", "properties": {"EventId": ")" + id +
         R"(", "event_key": "k1", "severity": "high", "Drive": "C:", "Free": 10,
          "Big": "123456789")" +
         extra + "}}";
}

std::string Scenario(const std::string& actions, const std::string& events,
                     const std::string& extra = "") {
  return R"({"profile": "P1", )" + std::string(kClasses) +
         R"(, "settings": {"rules": [{"event": "Disk_Full", "actions": [)" + actions +
         "]}]}, \"events\": [" + events + "]" + extra + "}";
}

class RunCommandTest : public ::testing::Test {
 protected:
  RunResult Run(const std::string& scenario, const std::vector<std::string>& extra = {},
                const std::string& input = {}) {
    dir_.Write("scenario.json", scenario);
    std::vector<std::string> args = {"run", (dir_.path() / "scenario.json").string(), "--jsonl"};
    args.insert(args.end(), extra.begin(), extra.end());
    // From another folder: relative paths must follow the scenario file.
    return RunAmctl(args, std::filesystem::temp_directory_path(), input);
  }

  static bool HasLog(const std::vector<Json>& lines, const std::string& text) {
    for (const Json& line : OfType(lines, "log")) {
      if (line["message"].get<std::string>().find(text) != std::string::npos) return true;
    }
    return false;
  }

  // "s.bin": the archive of one rule for Disk_Full with the action "ok".
  void EncodeArchive() {
    dir_.Write("s.json", R"({"rules": [{"event": "Disk_Full", "actions": [)" +
                             Builtin("ok", "Restart") + "]}]}");
    ASSERT_EQ(RunAmctl({"settings", "encode", "s.json", "-o", "s.bin"}, dir_.path()).status, 0);
  }

  TempDir dir_;
};

TEST_F(RunCommandTest, BuiltinActionsCallTheMethodAndReportTheOutcome) {
  const RunResult run =
      Run(Scenario(Builtin("ok", "Restart") + "," + Builtin("bad", "Stop"),
                   Event("e1") + "," + Event("e2", R"(, "ProfileName": "Other")")));
  EXPECT_EQ(run.status, 0) << run.err;
  // 64-bit integers travel as the strings WMI carries, others as numbers; an
  // in-parameter that holds no value is left out. The result events' content
  // is the actions' concern; the transcript tells the two outcomes apart,
  // each after its own call. The component filters by profile: an event it
  // never processed has a null result.
  EXPECT_EQ(Outline(run.out),
            (std::vector<std::string>{"CompCreate=1", "CompStart=1",
                                      R"(call Restart {"Reason":"k1","Free":10,"Big":"123456789"})",
                                      "result Restart ZRV_CorrelatedEvents|900",
                                      R"(call Stop {"Reason":"k1"})",
                                      "result Stop ZRV_CorrelatedEvents|901", "event 0 Disk_Full 0",
                                      "event 1 Disk_Full null", "CompStop=1", "CompDelete=1"}));
  for (const Json& call : OfType(Lines(run.out), "method_call"))
    EXPECT_EQ(call["path"], "\\\\.\\root\\zrv:Service.Drive=\"C:\"");
}

// Further events come from a stream until it ends; a bad line ends the run
// properly with what came before it.
TEST_F(RunCommandTest, EventStreamsAreReadToTheEndAndProblemsNameTheStreamAndTheLine) {
  const std::string scenario = Scenario(Builtin("ok", "Restart"), Event("e1"));
  const std::string e2 = Json::parse(Event("e2")).dump();
  std::filesystem::create_directory(dir_.path() / "events");
  const struct {
    std::string stream, input;
    int status;
    std::string error;
    std::size_t events;  // event lines of the transcript, each with its method call
  } cases[] = {
      {"-", "\n" + e2 + "\n\n" + Json::parse(Event("e3")).dump() + "\n", 0, "", 3},
      // A last line without its end still counts.
      {"-", e2, 0, "", 2},
      {"-", e2 + "\n{\"class\": \"Disk_Full\",\n", 3, "amctl: standard input: line 2, column", 2},
      {"-", "\n" + e2 + "\n" + R"({"class": "Disk_Full", "properties": {"Free": -1}})", 3,
       "amctl: standard input: line 3: properties.Free: must be an integer from 0 to 4294967295",
       2},
      // A folder is not an empty stream.
      {(dir_.path() / "events").string(), "", 3, "events: cannot read: Is a directory", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const RunResult run = Run(scenario, {"--events", c.stream}, c.input);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    // Each event in turn, with its method call; then the teardown.
    std::vector<std::string> expected = {"CompCreate=1", "CompStart=1"};
    for (std::size_t i = 0; i < c.events; ++i) {
      expected.insert(expected.end(),
                      {R"(call Restart {"Reason":"k1","Free":10,"Big":"123456789"})",
                       "result Restart ZRV_CorrelatedEvents|900",
                       "event " + std::to_string(i) + " Disk_Full 1"});
    }
    expected.insert(expected.end(), {"CompStop=1", "CompDelete=1"});
    EXPECT_EQ(Outline(run.out), c.events == 0 ? std::vector<std::string>{} : expected);
  }
}

TEST_F(RunCommandTest, AScenarioMayComeFromStandardInput) {
  // Relative paths then start from the current folder.
  EncodeArchive();
  const std::string scenario = R"({"profile": "P1", )" + std::string(kClasses) +
                               R"(, "settings_archive": "s.bin", "events": [)" + Event("e1") + "]}";
  const RunResult run = RunAmctl({"run", "-", "--jsonl"}, dir_.path(), scenario);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(OfType(Lines(run.out), "method_call").size(), 1u);

  const RunResult bad = RunAmctl({"run", "-"}, dir_.path(), "{\"profile\": 1}");
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.err.find("amctl: standard input: profile: must be a string"), std::string::npos)
      << bad.err;

  const RunResult both = RunAmctl({"run", "-", "--events", "-"}, dir_.path(), scenario);
  EXPECT_EQ(both.status, 2);
  EXPECT_NE(both.err.find("standard input cannot hold both"), std::string::npos) << both.err;
}

TEST_F(RunCommandTest, SettingsMayComeFromAnArchiveBesideTheScenario) {
  EncodeArchive();
  // One rule whose one action has a class name of no action kind.
  dir_.Write("odd.bin", settings_test::Cat({settings_test::Long(1), settings_test::Str("Disk_Full"),
                                            settings_test::Long(1), settings_test::Str("x"),
                                            settings_test::Str("CFooInfo")}));
  // Read as it is, the archive runs (AScenarioMayComeFromStandardInput).
  const auto scenario = [](const std::string& archive, const std::string& version) {
    return R"({"profile": "P1", )" + std::string(kClasses) + R"(, "settings_archive": ")" +
           archive + R"(", "version": )" + version + R"(, "events": [)" + Event("e1") + "]}";
  };
  const struct {
    std::string scenario;
    int status;
    std::string error;
    std::size_t calls;
  } cases[] = {
      // The current built-in layout read as the older one.
      {scenario("s.bin", "10"), 3, "s.bin: offset 80: a count of", 0},
      {scenario("s.bin", "12"), 3, "scenario.json: version: must be an integer from 1 to 11", 0},
      // Loading leaves the action out; the run says so and goes on.
      {scenario("odd.bin", "11"), 0,
       "odd.bin: offset 20: rule \"Disk_Full\", action \"x\": the class name "
       "\"CFooInfo\" names no action kind; the action is left out",
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario.substr(c.scenario.find("settings_archive")));
    const RunResult run = Run(c.scenario);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(OfType(Lines(run.out), "method_call").size(), c.calls);
  }
}

TEST_F(RunCommandTest, ARefusedSubscriptionEndsTheRunWithStatusOneAndAWholeTranscript) {
  // CompStart returns 0 when the repository refuses the profile's
  // subscription; the component is still stopped and deleted, and the tool
  // must survive the deletion of the sink it had put a wrapper in front of.
  const RunResult run =
      Run(R"({"profile": "P1", "standard_classes": false, "settings": {"rules": []}})");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("amctl: CompStart returned 0 for profile"), std::string::npos) << run.err;
  EXPECT_EQ(Outline(run.out), (std::vector<std::string>{"CompCreate=1", "CompStart=0", "CompStop=0",
                                                        "CompDelete=1"}));
  EXPECT_TRUE(HasLog(Lines(run.out), "subscription with query")) << run.out;
}

// The reader's own refusals are scenario_reader_test's; here one of them
// (the file named), what only building the
// world finds, and what only a run by amctl refuses.
TEST_F(RunCommandTest, InvalidScenariosAreRejectedWithTheirPlace) {
  // A scenario of profile "P" with empty settings and `more` fields.
  const auto with = [](const std::string& more) {
    return R"({"profile": "P", "settings": {"rules": []}, )" + more + "}";
  };
  const struct {
    std::string scenario;
    std::string error;
  } cases[] = {
      {with(R"("classes": [{"name": "A", "superclass": "Nope"}])"),
       "scenario.json: classes[0]: the repository refuses the class \"A\": "
       "WBEM_E_INVALID_SUPERCLASS"},
      {with(R"("classes": [{"name": "A", "methods": {"M": {"command": ["/bin/true"]}}}])"),
       "classes[0].methods.M.command: a method backed by a command runs only in actionmanagerd"},
      {Scenario("", R"({"class": "ZRV_Event", "properties": {"Nope": "1"}})"),
       "scenario.json: events[0].properties.Nope: is not a property of ZRV_Event"},
      {Scenario("", R"({"class": "Disk_Full", "properties": {"Free": -1}})"),
       "scenario.json: events[0].properties.Free: must be an integer from 0 to 4294967295 "
       "(uint32)"},
      {Scenario("", R"({"class": "Disk_Full", "properties": {"Big": "12x"}})"),
       "scenario.json: events[0].properties.Big: does not fit the uint64 property"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    const RunResult run = Run(c.scenario);
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");  // nothing ran
  }
}

TEST_F(RunCommandTest, TheDemoShowsEveryKindOfOutcomeFromAnyFolder) {
  const RunResult run = RunAmctl({"demo", "--jsonl"}, dir_.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // The first event runs all four, the repeat of its id holds the pager back.
  const std::string cleanup = R"(call Cleanup {"Reason":"C: is )",
                    defragment = R"(call Defragment {"Reason":"C: is )";
  EXPECT_EQ(
      Outline(run.out),
      (std::vector<std::string>{
          "CompCreate=1", "CompStart=1", R"(call Send {"Text":"C: is full"})",
          "result Send ZRV_CorrelatedEvents|900", cleanup + R"(full","Severity":"critical"})",
          "result Cleanup ZRV_CorrelatedEvents|900", defragment + R"(full"})",
          "result Defragment ZRV_CorrelatedEvents|901", "result program ZRV_CorrelatedEvents|900",
          "event 0 Disk_Full 0", cleanup + R"(still full","Severity":"critical"})",
          "result Cleanup ZRV_CorrelatedEvents|900", defragment + R"(still full"})",
          "result Defragment ZRV_CorrelatedEvents|901", "result program ZRV_CorrelatedEvents|900",
          "event 1 Disk_Full 0", "CompStop=1", "CompDelete=1"}));
  const std::vector<Json> lines = Lines(run.out);
  EXPECT_TRUE(
      HasLog(lines, "--STDOUT: Drive C: has 120 MB left, severity critical, profile DiskWatch"));
  EXPECT_TRUE(HasLog(lines, "won't be executed"));

  // The readable form names the folder it ran programs in, which is gone.
  const RunResult readable = RunAmctl({"demo"}, dir_.path());
  ASSERT_EQ(readable.status, 0) << readable.err;
  const std::string marker = "programs run in ";
  const std::size_t at = readable.out.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string folder =
      readable.out.substr(at + marker.size(), readable.out.find('\n', at) - at - marker.size());
  EXPECT_FALSE(std::filesystem::exists(folder)) << folder;
  EXPECT_NE(readable.out.find("ticket: task"), std::string::npos);
}

}  // namespace
}  // namespace tools_test
