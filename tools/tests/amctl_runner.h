// Runs the built amctl binary for the tool's tests, and a temporary folder
// per test for the files it reads and writes.
//
// The binary's standard streams go through files in the temporary folder, so
// no pipe can fill up and nothing needs a thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace tools_test {

struct RunResult {
  int status = -1;  // exit status, or -1 when the binary did not exit normally
  std::string out;
  std::string err;
  long peak_rss_kb = 0;  // the most memory the process held at once
};

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to `name` inside the folder and returns the full path.
  std::string Write(const std::string& name, const std::string& content) const;
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& content) const;
  std::string Read(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

// Runs amctl with `args` in the folder `cwd`, `input` as its standard input.
RunResult RunAmctl(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                   const std::string& input = {});

// How StartAmctl connects a process.
struct StartOptions {
  std::string input;          // standard input's content, unless input_fd is set
  int input_fd = -1;          // a descriptor to give as standard input
  int output_fd = -1;         // a descriptor to give as standard output (-1: a file, read by Wait)
  bool close_output = false;  // start it with standard output closed
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
};

// A running amctl. Wait collects it; the destructor kills and collects a
// process nobody waited for.
class AmctlProcess {
 public:
  AmctlProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd,
               const StartOptions& options);
  AmctlProcess(const AmctlProcess&) = delete;
  AmctlProcess& operator=(const AmctlProcess&) = delete;
  ~AmctlProcess();

  int pid() const { return pid_; }
  // What it has written to standard output so far (when not redirected).
  std::string OutputSoFar() const;
  // Waits up to `timeout_ms` for the process to end; on time-out it is
  // killed, and the status is -1. `*signal` (when not null) gets the signal
  // that ended it, or 0.
  RunResult Wait(int timeout_ms = 120000, int* signal = nullptr);

 private:
  TempDir io_;
  int pid_ = -1;
};

std::vector<std::uint8_t> Bytes(const std::string& text);

}  // namespace tools_test
