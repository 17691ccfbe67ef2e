// Child processes with real programs: capture limits, input feeding, time-outs,
// what the child inherits, and that nothing is left behind. Runs under the
// thread sanitizer (label "threads").
#include "runner/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runner/command_runner.h"
#include "runner/tests/test_util.h"
#include "testing/child.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace runner {
namespace {

using amtest::Pattern;
using testing::CountOpenDescriptors;
using testing::CountThreads;

const std::string kChild = AMTEST_CHILD;

std::string Captured(const StreamChannel& channel) {
  return channel.data ? std::string(channel.data.get(), static_cast<std::size_t>(channel.length))
                      : "<none>";
}
// A run as "CODE [OUTPUT] [ERROR]", so that one comparison shows all of it.
std::string Outcome(int code, const std::string& output, const std::string& error) {
  return std::to_string(code) + " [" + output + "] [" + error + "]";
}
std::string Outcome(int code, const ChildProcess& record) {
  return Outcome(code, Captured(record.output), Captured(record.error));
}

// The record as the command runner configures it, fed `input` (which must
// outlive the run) when given.
void EnableCapture(ChildProcess& record, const std::string* input = nullptr) {
  record.output.enabled = record.error.enabled = 1;
  record.output.initial_size = kOutputCaptureInitial;
  record.output.maximum_size = kOutputCaptureMaximum;
  record.error.initial_size = kErrorCaptureInitial;
  record.error.maximum_size = kErrorCaptureMaximum;
  record.input.enabled = input != nullptr ? 1 : 0;
  record.input.input = input != nullptr ? input->data() : nullptr;
  record.input.length = input != nullptr ? static_cast<std::int32_t>(input->size()) : 0;
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

// Each row runs to its end: what fits is kept, the rest drained, input fed
// while both streams drain, and each stream followed to its own end.
TEST(ChildProcessTest, CaptureKeepsWhatFitsAndDrainsTheRest) {
  const std::string mebibyte = Pattern(1 << 20), ten_mebibytes(10 << 20, 'x');
  struct Case {
    std::string command;
    int code;
    std::string output, error;
    std::int32_t initial = 512, maximum = 4096;
    const std::string* input = nullptr;
  };
  const Case cases[] = {
      {kChild + " out 512", 0, Pattern(512), "<none>"},
      {kChild + " out 5000 7", 7, Pattern(4096), "<none>"},
      {kChild + " out 0", 0, "<none>", "<none>"},
      // Growth: 0 stands for 1024 and raises the maximum to it; a buffer below
      // the maximum grows by a whole step even past it.
      {kChild + " out 5000", 0, Pattern(1024), "<none>", 0, 0},
      {kChild + " out 5000", 0, Pattern(1024), "<none>", 512, 1000},
      {kChild + " out 400", 0, Pattern(300), "<none>", 100, 250},
      {"sh -c \"head -c 3000 /dev/zero >&2; exit 5\"", 5, "<none>", std::string(2048, '\0')},
      {"sh -c \"kill -TERM $$\"", 128 + SIGTERM, "<none>", "<none>"},
      // The child writes 1 MiB to each stream before it reads anything.
      {kChild + " chatty 1048576 1048576", 3, Pattern(4096), Pattern(2048), 512, 4096, &mebibyte},
      // A child ignoring its input ends normally.
      {"true", 0, "<none>", "<none>", 512, 4096, &ten_mebibytes},
      {"sh -c \"exec 0<&-; sleep 0.1\"", 0, "<none>", "<none>", 512, 4096, &ten_mebibytes},
      // The child closes a stream long before it ends (the sleeps are the
      // child's): the run goes on until it exits.
      {"sh -c \"exec >&-; sleep 0.2; echo late >&2; exit 4\"", 4, "<none>", "late\n"},
      {"sh -c \"exec 2>&-; sleep 0.2; echo late\"", 0, "late\n", "<none>"},
      {"sh -c \"exec 0<&- 1>&- 2>&-; sleep 0.2; exit 6\"", 6, "<none>", "<none>", 512, 4096,
       &mebibyte},
  };
  struct sigaction before {};
  sigaction(SIGPIPE, nullptr, &before);
  // A sanitizer runtime may start a helper thread on the first thread
  // creation (which a run never makes): have it happen before counting.
  std::thread([] {}).join();
  const int descriptors = CountOpenDescriptors();
  const int threads = CountThreads();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " " + std::to_string(c.initial) + "/" + std::to_string(c.maximum));
    ChildProcess record;
    EnableCapture(record, c.input);
    record.output.initial_size = c.initial;
    record.output.maximum_size = c.maximum;
    EXPECT_EQ(Outcome(RunToEnd(c.command, record), record), Outcome(c.code, c.output, c.error));
    EXPECT_TRUE(!record.output.data || record.output.data.get()[record.output.length] == '\0');
    EXPECT_FALSE(record.output.pipe.Valid());
    EXPECT_FALSE(record.process_information.process.Valid());
    EXPECT_EQ(CountOpenDescriptors(), descriptors) << "nothing of the run stays open";
    EXPECT_EQ(CountThreads(), threads) << "a run makes no thread";
  }
  struct sigaction after {};
  sigaction(SIGPIPE, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler) << "the disposition was left alone";
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

// Processes of `group` that are not zombies.
int LivingGroupMembers(pid_t group) {
  const std::string command = "pgrep -c -r R,S,D,T -g " + std::to_string(group);
  std::FILE* pipe = popen(command.c_str(), "r");
  int living = -1;
  if (pipe == nullptr || std::fscanf(pipe, "%d", &living) != 1) living = -1;
  if (pipe != nullptr) pclose(pipe);
  return living;
}

// A time-out and a cancel both end the run and kill the child's whole group.
TEST(ChildProcessTest, TimeOutAndCancelKillTheWholeGroup) {
  ShortLimits limits(300, 200);
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancel" : "time-out");
    const int cancel_fd = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(cancel_fd, 0);
    ChildProcess record;
    EnableCapture(record);
    if (cancel) record.cancel_fd = cancel_fd;
    ASSERT_EQ(StartChildProcess("sh -c \"echo started; sleep 1000 & sleep 1000\"", record),
              kStartOk);
    const pid_t pid = record.process_information.process_id;
    // The time-out counts from the wait, so the group can be seen whole first.
    ASSERT_TRUE(amtest::WaitFor([pid] { return LivingGroupMembers(pid) == 3; }))
        << "sh and both sleeps run in the child's group";
    // Signalled before the wait begins: the wait must still see it.
    const std::uint64_t one = 1;
    if (cancel) {
      ASSERT_EQ(write(cancel_fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    EXPECT_EQ(WaitChildProcess(record), cancel ? ECANCELED : ETIMEDOUT);
    EXPECT_EQ(record.process_information.end, cancel ? RunEnd::kCancelled : RunEnd::kTimedOut);
    EXPECT_EQ(Captured(record.output), "started\n") << "what was written before is kept";
    errno = 0;
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1) << "the child was reaped, no zombie left";
    EXPECT_EQ(errno, ECHILD);
    EXPECT_TRUE(amtest::WaitFor([pid] { return LivingGroupMembers(pid) == 0; }));
    close(cancel_fd);
  }
}

// Arguments given one by one reach the child untouched, and the record tells
// how the run ended where WaitChildProcess's code alone could not. A program
// that cannot start leaves nothing behind: no pipe, no capture, no process.
TEST(ChildProcessTest, ArgumentListAndHowTheRunEnded) {
  const amtest::TempDir dir;
  const std::string path = dir.Write("not_executable", "#!/bin/sh\nexit 0\n");
  chmod(path.c_str(), 0644);
  struct Case {
    std::vector<std::string> arguments;
    std::int32_t wait_ms;
    int start, start_error;
    RunEnd end;
    int exit_status;
    std::string output;
  };
  // clang-format off
  const Case cases[] = {
      {{"/bin/sh", "-c", "printf '[%s]' \"$@\"; exit 3", "sh", "a  b", "\"q\" \\", "", "-x;$(y)"},
       0, kStartOk, 0, RunEnd::kExited, 3, "[a  b][\"q\" \\][][-x;$(y)]"},
      {{"/bin/sh", "-c", "echo oops >&2; exit 0"}, 0, kStartOk, 0, RunEnd::kExited, 0, "<none>"},
      {{"/bin/sh", "-c", "kill -TERM $$"}, 0, kStartOk, 0, RunEnd::kSignalled, SIGTERM, "<none>"},
      {{"/bin/sleep", "30"}, 200, kStartOk, 0, RunEnd::kTimedOut, 0, "<none>"},
      {{"no-such-program-anywhere"}, 0, kStartProcessFailed, ENOENT, RunEnd::kNone, 0, "<none>"},
      {{path}, 0, kStartProcessFailed, EACCES, RunEnd::kNone, 0, "<none>"},
  };
  // clang-format on
  std::thread([] {}).join();  // see CaptureKeepsWhatFitsAndDrainsTheRest
  const std::string x = "x";
  const int descriptors = CountOpenDescriptors();
  const int threads = CountThreads();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.front() + " " + (c.arguments.size() > 2 ? c.arguments[2] : ""));
    ChildProcess record;
    EnableCapture(record, &x);
    record.child_wait_ms = c.wait_ms;
    const int start = StartChildProcess(c.arguments, record);
    const int code = WaitChildProcess(record);
    EXPECT_TRUE(start == kStartOk || code == 0) << "no process to wait for";
    EXPECT_FALSE(record.input.pipe.Valid());
    const ProcessInformation& info = record.process_information;
    EXPECT_EQ(
        std::tuple(start, info.start_error, info.end, info.exit_status, Captured(record.output)),
        std::tuple(c.start, c.start_error, c.end, c.exit_status, c.output));
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
    EXPECT_EQ(CountThreads(), threads);
  }
  // A command line without a program starts nothing either.
  ChildProcess blank;
  EXPECT_EQ(StartChildProcess("   ", blank), kStartProcessFailed);
}

TEST(ChildProcessTest, ReadersGiveUpWhenAGrandchildHoldsThePipe) {
  // The child ends at once; its background sleep keeps the pipes open. The
  // run must end once the readers' limit passes, while that sleep still runs:
  // readers that waited for the pipes' end would return only after the sleep
  // ended, and find its group empty.
  ShortLimits limits(60000, 200);
  ChildProcess record;
  EnableCapture(record);
  EXPECT_EQ(Outcome(RunToEnd("sh -c \"echo hi; sleep 30 & exit 0\"", record), record),
            "0 [hi\n] [<none>]");
  const pid_t group = record.process_information.process_id;
  EXPECT_EQ(LivingGroupMembers(group), 1) << "the sleep still holds the pipes";
  kill(-group, SIGKILL);
}

TEST(ChildProcessTest, ChildStartsWithExactlyWhatItIsGiven) {
  CEnvBlock block;
  for (const char* entry : {"ZETA=last", "A=1", "PATH=/usr/bin:/bin", "SPACED=a b  c", "EMPTY="}) {
    block.SetEntry(entry);
  }
  std::string environment;
  for (std::string_view entry : block.Entries()) (environment += entry) += '\0';
  // Agent state the child must not inherit: a descriptor without close-on-exec,
  // a blocked signal and an ignored one.
  const int leaky = dup(0);
  ASSERT_GE(leaky, 3);
  sigset_t blocked, saved_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &saved_mask), 0);
  struct sigaction ignore {
  }, saved_action{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGUSR2, &ignore, &saved_action), 0);

  const std::pair<std::string, std::string> cases[] = {
      {"env -0", environment},
      {kChild + " fds", "0 1 2 "},
      {"grep -E \"^Sig(Blk|Ign)\" /proc/self/status",
       "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"},
      {"sh -c \"pwd; [ $(ps -o pgid= $$) -eq $$ ] && echo leader\"", "/usr\nleader\n"},
  };
  for (const auto& [command, output] : cases) {
    SCOPED_TRACE(command);
    ChildProcess record;
    EnableCapture(record);
    record.environment = &block;
    record.current_directory = "/usr";
    EXPECT_EQ(Outcome(RunToEnd(command, record), record), Outcome(0, output, "<none>"));
  }
  sigaction(SIGUSR2, &saved_action, nullptr);
  pthread_sigmask(SIG_SETMASK, &saved_mask, nullptr);
  close(leaky);
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

TEST(ChildProcessTest, AgentWithoutStandardStreams) {
  // A service may run with its standard streams closed: the run's pipes then
  // land on 0 to 2 and must not be mistaken for the child's streams.
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  for (int fd = 0; fd < 3; ++fd) close(fd);
  ChildProcess streams, descriptors;
  const std::string in = "in";
  EnableCapture(streams, &in);
  EnableCapture(descriptors);
  const int streams_code = RunToEnd("sh -c \"cat; echo err >&2\"", streams);
  const int descriptors_code = RunToEnd(kChild + " fds", descriptors);
  for (int fd = 0; fd < 3; ++fd) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
  EXPECT_EQ(Outcome(streams_code, streams), "1 [in] [err\n]") << "exit 0 with error output";
  EXPECT_EQ(Outcome(descriptors_code, descriptors), "0 [0 1 2 ] [<none>]");
}

TEST(ChildProcessTest, DescriptorLimitFailsTheStartCleanly) {
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int descriptors = CountOpenDescriptors();
  // The lowest limit under which exactly `spare` descriptor numbers are free.
  auto limit_leaving = [](int spare) {
    int limit = 0;
    for (int free = 0; free < spare || fcntl(limit, F_GETFD) != -1; ++limit) {
      if (fcntl(limit, F_GETFD) == -1) ++free;
    }
    return limit;
  };
  std::vector<int> results;
  const std::string x = "x";
  for (int spare = 0; spare <= 10; ++spare) {
    SCOPED_TRACE(spare);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(limit_leaving(spare));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    ChildProcess record;
    EnableCapture(record, &x);
    const int code = RunToEnd("sh -c \"echo hi\"", record);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    results.push_back(code);
    // Either it ran, or the start failed for a descriptor and cleaned up.
    EXPECT_EQ(Outcome(code, record), code == 0 ? "0 [hi\n] [<none>]" : "-1004 [<none>] [<none>]");
    EXPECT_FALSE(record.process_information.process.Valid());
    EXPECT_EQ(CountOpenDescriptors(), descriptors);
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child left behind";
    EXPECT_EQ(errno, ECHILD);
  }
  // Too few descriptors fail, enough succeed, and nothing in between flips.
  EXPECT_EQ(results.front(), -1000 - kStartPipeFailed);
  EXPECT_EQ(results.back(), 0);
  EXPECT_TRUE(std::is_sorted(results.begin(), results.end()));
}

}  // namespace
}  // namespace runner
