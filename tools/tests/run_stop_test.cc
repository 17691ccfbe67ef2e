// How amctl run and amctl demo end when they are told to stop (SIGINT,
// SIGTERM) or when their output goes away: real processes, real signals,
// real process groups.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

// One program action per event; the program notes its process group in the
// file "pgid" of its working folder, then takes `seconds`.
std::string ProgramScenario(int seconds, int events) {
  std::string scenario = R"({"profile": "P1", "settings": {"rules": [{"event": "ZRV_Event",
      "actions": [{"name": "wait", "kind": "program",
                   "command": "read a b c d e rest < /proc/$$/stat; echo $e > pgid; sleep )" +
                         std::to_string(seconds) + R"("}]}]},
      "environment": {"ZMO_HALBERD_DIR": "scripts"}, "events": [)";
  for (int i = 0; i < events; ++i) {
    if (i > 0) scenario += ",";
    scenario +=
        R"({"class": "ZRV_Event", "properties": {"EventId": "e)" + std::to_string(i) + R"("}})";
  }
  return scenario + "]}";
}

bool GroupAlive(pid_t group) { return ::kill(-group, 0) == 0 || errno == EPERM; }

using amtest::WaitFor;

// amctl started in `dir` (unless `options` names another folder), left running.
amtest::Process StartAmctl(const std::vector<std::string>& args, const TempDir& dir,
                           amtest::ProcessOptions options = {}) {
  if (options.cwd.empty()) options.cwd = dir.path();
  return amtest::Process(AMCTL_PATH, args, options);
}

class RunStopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream wrapper(AM_SCUSTOM_PL, std::ios::binary);
    dir_.Write("scripts/scustom.pl", std::string(std::istreambuf_iterator<char>(wrapper), {}));
  }

  // The group the running program noted, once it has; 0 after a time-out.
  pid_t RunningGroup() const {
    pid_t group = 0;
    WaitFor([&] {
      std::ifstream in(dir_.path() / "scripts" / "pgid");
      return static_cast<bool>(in >> group) && group > 0;
    });
    return group;
  }

  TempDir dir_;
};

// With almost no descriptor to spare, the run cannot watch for signals nor
// start its programs: each program action reports that nothing was captured,
// and the run ends instead of waiting for a watcher that never started.
TEST_F(RunStopTest, ARunWithoutDescriptorsToSpareFailsItsProgramsAndEnds) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime opens descriptors of its own (its checks read
  // /proc/self/maps), so the sanitized amctl fails in the runtime first.
  GTEST_SKIP() << "needs an amctl built without sanitizers";
#endif
  dir_.Write("scenario.json", ProgramScenario(0, 2));
  amtest::ProcessOptions options;
  options.cwd = dir_.path();
  const RunResult run = amtest::Run(
      "/bin/sh", {"-c", "ulimit -n 5 && exec \"$0\" run scenario.json --jsonl", AMCTL_PATH},
      options);
  ASSERT_EQ(run.signal, 0) << run.err;
  EXPECT_EQ(run.status, 0) << run.err;
  Json codes = Json::array();
  for (const Json& result : OfType(Lines(run.out), "result_event"))
    codes.push_back(result["properties"]["return_code"]);
  EXPECT_EQ(codes.dump(), "[1001,1001]") << run.out;
  EXPECT_THAT(Outline(run.out), ::testing::Contains("CompDelete=1"));
}

TEST_F(RunStopTest, ASignalKillsTheRunningProgramsGroupAndTheRunIsTornDown) {
  dir_.Write("scenario.json", ProgramScenario(60, 2));
  const struct {
    int signal;
    const char* name;
    int status;
  } cases[] = {{SIGINT, "SIGINT", 130}, {SIGTERM, "SIGTERM", 143}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_.path() / "scripts" / "pgid");
    // From another folder: "scripts" is relative to the scenario's.
    amtest::ProcessOptions options;
    options.cwd = dir_.path() / "elsewhere";
    std::filesystem::create_directories(options.cwd);
    amtest::Process amctl =
        StartAmctl({"run", (dir_.path() / "scenario.json").string(), "--jsonl"}, dir_, options);
    const pid_t group = RunningGroup();
    ASSERT_GT(group, 0) << "the program never started";
    ASSERT_TRUE(GroupAlive(group));
    ASSERT_EQ(::kill(amctl.pid(), c.signal), 0);
    const RunResult run = amctl.Wait();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, c.status) << run.err;
    // The sleep and the shells around it are gone, not merely orphaned.
    EXPECT_FALSE(GroupAlive(group));
    EXPECT_NE(run.err.find(std::string("amctl: stopped by ") + c.name + " after 1 event"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("killed: 1"), std::string::npos) << run.err;
    // What was done is printed: the interrupted event (whose killed program
    // still reports), the teardown, the stop; the second event is never
    // raised.
    EXPECT_EQ(Outline(run.out),
              (std::vector<std::string>{
                  "CompCreate=1", "CompStart=1", "result program ZRV_CorrelatedEvents|900",
                  "event 0 ZRV_Event 1", "CompStop=1", "CompDelete=1",
                  R"({"type":"stopped","signal":")" + std::string(c.name) + R"(","events":1})"}));
  }
}

TEST_F(RunStopTest, ASignalEndsTheWaitForFurtherEventLines) {
  // Standard input stays open and silent, as a terminal would.
  int input[2];
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  dir_.Write("scenario.json", ProgramScenario(0, 1));
  amtest::ProcessOptions options;
  options.input_fd = input[0];
  amtest::Process amctl =
      StartAmctl({"run", "scenario.json", "--jsonl", "--events", "-"}, dir_, options);
  ::close(input[0]);
  EXPECT_TRUE(
      WaitFor([&] { return amctl.OutputSoFar().find(R"("type":"event")") != std::string::npos; }));
  ASSERT_EQ(::kill(amctl.pid(), SIGTERM), 0);
  const RunResult run = amctl.Wait();
  ::close(input[1]);
  EXPECT_EQ(run.status, 143) << run.err;
  EXPECT_EQ(Outline(run.out),
            (std::vector<std::string>{"CompCreate=1", "CompStart=1",
                                      "result program ZRV_CorrelatedEvents|900",
                                      "event 0 ZRV_Event 1", "CompStop=1", "CompDelete=1",
                                      R"({"type":"stopped","signal":"SIGTERM","events":1})"}));
}

TEST_F(RunStopTest, AnOutputThatGoesAwayEndsTheRunCleanlyAndRemovesTheDemoFolder) {
  // The demo's folder goes under TMPDIR, which each case empties.
  const std::filesystem::path temp = dir_.path() / "tmp";
  std::filesystem::create_directory(temp);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  int pipe_fds[2];
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  ::close(pipe_fds[0]);  // the reader has gone, as after `| head -1`
  const int closed_pipe = pipe_fds[1];
  // Into a full device, a pipe nobody reads, or without standard output.
  enum Output { kFull, kClosedPipe, kClosed };
  const std::string cannot = "amctl: cannot write ", no_space = " No space left on device",
                    transcript = cannot + "the transcript to standard output:" + no_space;
  const struct {
    const char* args;  // split at spaces
    Output output;
    int status;
    std::string error;  // empty: nothing on standard error
  } cases[] = {
      {"demo", kClosedPipe, 141, ""},
      {"demo", kFull, 1, transcript},
      {"demo", kClosed, 1, cannot + "to standard output: it is closed"},
      {"run scenario.json --jsonl", kFull, 1, transcript},
      {"settings decode empty.bin", kFull, 1,
       cannot + "the settings to standard output:" + no_space},
      {"settings encode empty.json -o -", kClosedPipe, 141, ""},
  };
  dir_.Write("scenario.json", ProgramScenario(0, 1));
  dir_.Write("empty.bin", std::string(4, '\0'));
  dir_.Write("empty.json", R"({"rules": []})");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.args) + ", output " + std::to_string(c.output));
    std::filesystem::remove(dir_.path() / "scripts" / "pgid");
    amtest::ProcessOptions options;
    options.environment = {{"TMPDIR", temp.string()}};
    options.output_fd = c.output == kFull ? full : c.output == kClosedPipe ? closed_pipe : -1;
    options.close_output = c.output == kClosed;
    const RunResult run = StartAmctl(Words(c.args), dir_, options).Wait();
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.err, c.error.empty() ? "" : c.error + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(temp));
    // An output that takes nothing gets no event raised.
    EXPECT_FALSE(std::filesystem::exists(dir_.path() / "scripts" / "pgid"));
  }
  ::close(full);
  ::close(closed_pipe);
}

}  // namespace
}  // namespace tools_test
