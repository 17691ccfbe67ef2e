// A built program run by a test: its arguments, standard input and
// environment given, its exit status and both output streams collected.
//
// The streams go through files in a folder of the handle's own, so no pipe
// can fill up and no thread is needed. Waiting polls with a deadline; a
// process still running when the deadline passes is killed and reported as
// status -1 with err "timed out". A handle nobody waited for kills and
// collects its process when it goes.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace amtest {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  int signal = 0;   // the signal that ended it, or 0
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::filesystem::path cwd;  // empty: the test's own
  std::string input;          // standard input's content, unless input_fd is set
  int input_fd = -1;          // a descriptor to give as standard input
  int output_fd = -1;         // a descriptor to give as standard output (-1: collected)
  bool close_output = false;  // start it with standard output closed
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
};

class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const ProcessOptions& options = {});
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  int pid() const { return pid_; }
  // What it has written to standard output so far (when collected).
  std::string OutputSoFar() const { return io_.Read("stdout"); }
  ProcessResult Wait(std::chrono::milliseconds deadline = kDeadline);

 private:
  TempDir io_;
  int pid_ = -1;
};

// Starts `program` and waits for it.
ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options = {});

}  // namespace amtest
