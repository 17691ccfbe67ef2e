// A built program run by a test or a benchmark: its arguments, standard input
// and environment given, its exit status, peak memory and output collected.
// The one way tests start processes; the daemon and Alertmanager harnesses
// build on it.
//
// The streams go through files (a folder of the handle's own, or the `log`
// file), so no pipe can fill up and no thread is needed. Waiting polls with a
// deadline. A program that cannot be started (a stream, the folder, the user
// or the exec fails) exits 127. A handle nobody waited for kills and collects
// its process when it goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace amtest {

struct ProcessResult {
  int status = -1;   // exit status, or -1 when the program did not exit normally
  int signal = 0;    // the signal that ended it, or 0
  long peak_kb = 0;  // peak resident memory (for benchmarks; tests never assert on it)
  std::string out;
  std::string err;
};

// A user and group to run a program as.
struct Credentials {
  uid_t uid = 0;
  gid_t gid = 0;
};

struct ProcessOptions {
  std::filesystem::path cwd;  // empty: the caller's own
  std::string input;          // standard input's content, unless input_fd is set
  int input_fd = -1;          // a descriptor to give as standard input
  int output_fd = -1;         // a descriptor to give as standard output (-1: collected)
  bool close_output = false;  // start it with standard output closed
  // When set, standard output and error are both appended to this file
  // instead of being collected (long-running programs: the daemon).
  std::filesystem::path log;
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  std::vector<std::string> unset;                                // removed
  // When set, the program runs as this user and group with no supplementary
  // groups (the caller must be root): for servers that refuse to run as
  // root. The streams are opened before it changes user.
  std::optional<Credentials> user;
};

class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const ProcessOptions& options = {});
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  int pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  void Signal(int signo) const;
  // What it has written to standard output so far (when collected).
  std::string OutputSoFar() const { return io_.Read("stdout"); }
  // Waits until `ready` holds while the process runs; false when it exited
  // first (left for Wait to collect) or the deadline passed.
  bool WaitReady(const std::function<bool()>& ready,
                 std::chrono::milliseconds deadline = kDeadline);
  // Sends `signo`, then waits for the exit as Wait does.
  ProcessResult Stop(int signo, std::chrono::milliseconds deadline = kDeadline) {
    Signal(signo);
    return Wait(deadline);
  }
  // Waits for the exit; nullopt (the process left running) when the deadline
  // passes first, or when it never started.
  std::optional<ProcessResult> TryWait(std::chrono::milliseconds deadline);
  // Waits for the exit; a process still running at the deadline is killed
  // and reported as status -1 with err "timed out".
  ProcessResult Wait(std::chrono::milliseconds deadline = kDeadline);

 private:
  TempDir io_;
  int pid_ = -1;
};

// A process group still has a living member (or a zombie not yet reaped).
bool GroupAlive(pid_t group);

// Starts `program` and waits for it.
ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options = {});

// Runs `command` with /bin/sh; its standard output without the final
// newlines (whatever its exit status).
std::string Shell(const std::string& command, const ProcessOptions& options = {});

}  // namespace amtest
