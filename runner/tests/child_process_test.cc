#include "runner/child_process.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "runner/tests/test_util.h"

namespace runner {
namespace {

using namespace std::string_literals;
using testing::CountOpenDescriptors;
using testing::CountThreads;
using testing::Pattern;

const std::string kChild = RUNNER_TEST_CHILD;

std::string Captured(const StreamChannel& channel) {
  return channel.data ? std::string(channel.data.get(), static_cast<std::size_t>(channel.length))
                      : "<none>";
}

// The record as the command runner configures it.
void EnableCapture(ChildProcess& record) {
  record.output.enabled = 1;
  record.output.initial_size = 512;
  record.output.maximum_size = 4096;
  record.error.enabled = 1;
  record.error.initial_size = 256;
  record.error.maximum_size = 2048;
}

int RunToEnd(const std::string& command_line, ChildProcess& record) {
  const int started = StartChildProcess(command_line, record);
  if (started != kStartOk) return -1000 - started;
  return WaitChildProcess(record);
}

// Restores the real limits whatever a test does.
class ShortLimits {
 public:
  ShortLimits(std::int32_t child_ms, std::int32_t reader_ms) {
    SetChildProcessLimitsForTesting(child_ms, reader_ms);
  }
  ~ShortLimits() { SetChildProcessLimitsForTesting(0, 0); }
};

TEST(ChildProcessTest, CaptureKeepsWhatFitsAndDrainsTheRest) {
  struct Case {
    std::string command;
    int code;
    std::string output;
    std::string error;
  };
  const Case cases[] = {
      {kChild + " out 512", 0, Pattern(512), "<none>"},
      {kChild + " out 5000 7", 7, Pattern(4096), "<none>"},
      {kChild + " out 1000000", 0, Pattern(4096), "<none>"},
      {kChild + " out 0", 0, "<none>", "<none>"},
      {"sh -c \"echo oops >&2\"", 1, "<none>", "oops\n"},
      {"sh -c \"head -c 3000 /dev/zero >&2; exit 5\"", 5, "<none>", std::string(2048, '\0')},
      {"sh -c \"exit 7\"", 7, "<none>", "<none>"},
      {"sh -c \"kill -TERM $$\"", 128 + SIGTERM, "<none>", "<none>"},
      {"sh -c \"kill -KILL $$\"", 128 + SIGKILL, "<none>", "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ChildProcess record;
    EnableCapture(record);
    EXPECT_EQ(RunToEnd(c.command, record), c.code);
    EXPECT_EQ(Captured(record.output), c.output);
    EXPECT_EQ(Captured(record.error), c.error);
    if (record.output.data) {
      EXPECT_EQ(record.output.data.get()[record.output.length], '\0');
    }
    EXPECT_FALSE(record.output.pipe.Valid());
    EXPECT_FALSE(record.process_information.process.Valid());
  }
}

TEST(ChildProcessTest, BufferGrowsInStepsUpToTheMaximum) {
  struct Case {
    std::int32_t initial, maximum;
    std::size_t written, kept;
  };
  const Case cases[] = {
      {0, 0, 5000, 1024},       // 0 stands for 1024; the maximum is raised to it
      {512, 1000, 5000, 1024},  // grows while below the maximum: to the next step
      {100, 250, 400, 300},
      {4096, 4096, 4096, 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.initial) + "/" + std::to_string(c.maximum));
    ChildProcess record;
    record.output.enabled = 1;
    record.output.initial_size = c.initial;
    record.output.maximum_size = c.maximum;
    EXPECT_EQ(RunToEnd(kChild + " out " + std::to_string(c.written), record), 0);
    EXPECT_EQ(Captured(record.output), Pattern(c.kept));
  }
}

TEST(ChildProcessTest, FeedsInputWhileDrainingBothStreams) {
  const std::string input = Pattern(1 << 20);
  ChildProcess record;
  EnableCapture(record);
  record.input.enabled = 1;
  record.input.input = input.data();
  record.input.length = static_cast<std::int32_t>(input.size());
  // The child writes 1 MiB to each stream before it reads anything.
  EXPECT_EQ(RunToEnd(kChild + " chatty 1048576 1048576", record), 3);
  EXPECT_EQ(Captured(record.output), Pattern(4096));
  EXPECT_EQ(Captured(record.error), Pattern(2048));
}

TEST(ChildProcessTest, InputReachesTheChildWithItsNul) {
  const std::string input = "hello";
  ChildProcess record;
  EnableCapture(record);
  record.input.enabled = 1;
  record.input.input = input.c_str();
  record.input.length = static_cast<std::int32_t>(input.size()) + 1;
  EXPECT_EQ(RunToEnd("od -An -c", record), 0);
  EXPECT_EQ(Captured(record.output), "   h   e   l   l   o  \\0\n");
}

TEST(ChildProcessTest, ChildIgnoringItsInputEndsNormally) {
  const std::string input(10 << 20, 'x');
  struct sigaction before {};
  sigaction(SIGPIPE, nullptr, &before);
  for (const char* command : {"true", "sh -c \"exec 0<&-; sleep 0.1\""}) {
    SCOPED_TRACE(command);
    ChildProcess record;
    EnableCapture(record);
    record.input.enabled = 1;
    record.input.input = input.data();
    record.input.length = static_cast<std::int32_t>(input.size());
    EXPECT_EQ(RunToEnd(command, record), 0);
  }
  struct sigaction after {};
  sigaction(SIGPIPE, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler) << "the disposition was left alone";
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST(ChildProcessTest, ProgramThatCannotStartLeavesNothingBehind) {
  char path[] = "/tmp/runner_not_executable_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string script = "#!/bin/sh\nexit 0\n";
  ASSERT_EQ(write(fd, script.data(), script.size()), static_cast<ssize_t>(script.size()));
  close(fd);
  chmod(path, 0644);
  const int descriptors = CountOpenDescriptors();
  const int threads = CountThreads();
  for (const std::string& command : {"/nonexistent/program x"s, "no-such-program-anywhere"s,
                                     std::string(path), ""s, "   "s, "/tmp"s}) {
    SCOPED_TRACE(command);
    ChildProcess record;
    EnableCapture(record);
    record.input.enabled = 1;
    record.input.input = "x";
    record.input.length = 1;
    EXPECT_EQ(StartChildProcess(command, record), kStartProcessFailed);
    EXPECT_FALSE(record.output.worker.joinable());
    EXPECT_FALSE(record.input.pipe.Valid());
    EXPECT_EQ(record.output.data, nullptr);
    EXPECT_EQ(WaitChildProcess(record), 0) << "no process to wait for";
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
    EXPECT_EQ(CountThreads(), threads);
  }
  unlink(path);
}

// Processes of `group` that are not zombies, from /proc.
int LivingGroupMembers(pid_t group) {
  int living = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat("/proc/"s + entry->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(text.substr(close + 1));
    char state = 0;
    long parent = 0;
    long process_group = 0;
    fields >> state >> parent >> process_group;
    if (process_group == group && state != 'Z') ++living;
  }
  closedir(proc);
  return living;
}

// Waits up to two seconds for the group to have no living member.
bool GroupDies(pid_t group) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (LivingGroupMembers(group) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(ChildProcessTest, TimeOutKillsTheWholeGroup) {
  ShortLimits limits(300, 200);
  ChildProcess record;
  EnableCapture(record);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(StartChildProcess("sh -c \"echo started; sleep 1000 & sleep 1000\"", record), kStartOk);
  const pid_t pid = record.process_information.process_id;
  ASSERT_GT(pid, 0);
  while (LivingGroupMembers(pid) < 3 &&
         std::chrono::steady_clock::now() - start < std::chrono::milliseconds(250)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(LivingGroupMembers(pid), 3) << "sh and both sleeps run in the child's group";
  EXPECT_EQ(WaitChildProcess(record), ETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(Captured(record.output), "started\n") << "what was written before is kept";
  errno = 0;
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "the child was reaped, no zombie left";
  EXPECT_EQ(errno, ECHILD);
  EXPECT_TRUE(GroupDies(pid));
}

TEST(ChildProcessTest, ReadersGiveUpWhenAGrandchildHoldsThePipe) {
  ShortLimits limits(2000, 200);
  {
    // The child ends at once; its background sleep keeps the pipes open.
    ChildProcess record;
    EnableCapture(record);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunToEnd("sh -c \"echo hi; sleep 5 & exit 0\"", record), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(Captured(record.output), "hi\n");
    kill(-record.process_information.process_id, SIGKILL);  // the sleep keeps the group alive
  }
  {
    // Time-out, with a grandchild that escaped the group and holds the pipes.
    ShortLimits shorter(300, 200);
    ChildProcess record;
    EnableCapture(record);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunToEnd("sh -c \"setsid sleep 3 & sleep 1000\"", record), ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }
}

TEST(ChildProcessTest, ChildSeesExactlyTheEnvironmentBlock) {
  CEnvBlock block;
  block.SetEntry("ZETA=last");
  block.SetEntry("A=1");
  block.SetEntry("PATH=/usr/bin:/bin");
  block.SetEntry("SPACED=a b  c");
  block.SetEntry("EMPTY=");
  ChildProcess record;
  EnableCapture(record);
  record.output.maximum_size = 1 << 16;
  record.environment = &block;
  ASSERT_EQ(RunToEnd("env -0", record), 0);
  std::string expected;
  for (std::string_view entry : block.Entries()) (expected += entry) += '\0';
  EXPECT_EQ(Captured(record.output), expected);
}

TEST(ChildProcessTest, ChildGetsOnlyTheStandardDescriptors) {
  // A descriptor of the agent's that is not close-on-exec must not leak either.
  const int leaky = dup(0);
  ASSERT_GE(leaky, 3);
  ChildProcess record;
  EnableCapture(record);
  EXPECT_EQ(RunToEnd(kChild + " fds", record), 0);
  EXPECT_EQ(Captured(record.output), "0 1 2 ");
  close(leaky);
}

TEST(ChildProcessTest, ChildGetsDefaultSignalsAndAnEmptyMask) {
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigset_t saved_mask;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask), 0);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction saved_action {};
  ASSERT_EQ(sigaction(SIGUSR2, &ignore, &saved_action), 0);

  ChildProcess record;
  EnableCapture(record);
  const int code = RunToEnd("grep -E \"^Sig(Blk|Ign)\" /proc/self/status", record);

  sigaction(SIGUSR2, &saved_action, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Captured(record.output), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(ChildProcessTest, ChildRunsInItsOwnProcessGroupAndDirectory) {
  ChildProcess record;
  EnableCapture(record);
  record.current_directory = "/usr";
  ASSERT_EQ(RunToEnd("sh -c \"pwd; [ $(ps -o pgid= $$) -eq $$ ] && echo leader\"", record), 0);
  EXPECT_EQ(Captured(record.output), "/usr\nleader\n");
}

TEST(ChildProcessTest, ManyConcurrentRunsLeaveNoDescriptorOrThread) {
  {
    // One run first: a sanitizer runtime starts helper threads of its own on
    // the first thread creation, and those are not the runner's.
    ChildProcess warm_up;
    EnableCapture(warm_up);
    ASSERT_EQ(RunToEnd("/bin/true", warm_up), 0);
  }
  const int descriptors = CountOpenDescriptors();
  const int threads = CountThreads();
  constexpr int kThreads = 4;
  constexpr int kRunsEach = 500;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> drivers;
  for (int t = 0; t < kThreads; ++t) {
    drivers.emplace_back([t, &failures] {
      const std::string input = "some input";
      for (int i = 0; i < kRunsEach; ++i) {
        ChildProcess record;
        EnableCapture(record);
        if (i % 2 == 0) {
          record.input.enabled = 1;
          record.input.input = input.data();
          record.input.length = static_cast<std::int32_t>(input.size());
        }
        if (RunToEnd("/bin/true", record) != 0) ++failures[static_cast<std::size_t>(t)];
      }
    });
  }
  for (std::thread& driver : drivers) driver.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[static_cast<std::size_t>(t)], 0);
  EXPECT_EQ(CountOpenDescriptors(), descriptors);
  EXPECT_EQ(CountThreads(), threads);
}

TEST(ChildProcessTest, RecordHoldingARunIsRefused) {
  ChildProcess record;
  EnableCapture(record);
  ASSERT_EQ(StartChildProcess("sleep 10", record), kStartOk);
  EXPECT_EQ(StartChildProcess("true", record), kStartPipeFailed);
  const pid_t pid = record.process_information.process_id;
  CleanupChildProcess(record);  // a run abandoned without waiting is ended
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(WaitChildProcess(record), 0);
}

}  // namespace
}  // namespace runner
