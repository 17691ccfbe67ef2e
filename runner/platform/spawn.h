// Starting, watching, ending and reaping one child process.
//
// The only place that calls posix_spawn, pidfd_open, waitpid and kill. A child
// is started in a process group of its own, with default signal dispositions,
// an empty signal mask and exactly descriptors 0, 1 and 2.
// Thread-safe: the functions keep no state of their own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runner/platform/unique_fd.h"

namespace runner::platform {

struct SpawnRequest {
  const std::vector<std::string>* arguments = nullptr;  // arguments[0] is looked up on PATH
  char* const* environment = nullptr;                   // null: the agent's own environment
  // The child's standard streams; -1 means not redirected: standard input is
  // then /dev/null, output and error are the agent's own (or /dev/null when the
  // agent has none).
  int input_fd = -1;
  int output_fd = -1;
  int error_fd = -1;
  const char* directory = nullptr;  // null: the agent's current directory
};

// Starts the child. 0 and `*pid` set, or the system error code (ENOENT for a
// program not found or an empty argument list, EACCES for one not executable...).
int SpawnProcess(const SpawnRequest& request, std::int32_t* pid);

// A descriptor that becomes readable when the child ends (wait for it with
// pipes.h's WaitReady). False on failure.
bool OpenProcessHandle(std::int32_t pid, UniqueFd* handle);

enum class ProcessWait { kExited, kTimedOut, kFailed };

// Reaps the child `pid` (and only it). `block`: wait for it to end; otherwise
// return kTimedOut at once when it is still running. On kExited `*exit_code` is
// its exit status, or 128 plus the signal number when a signal ended it; then
// `*signal_number` (when given) is that signal, else 0.
ProcessWait ReapProcess(std::int32_t pid, bool block, int* exit_code, int* error,
                        int* signal_number = nullptr);

// SIGKILL to the child's whole process group. Only valid while the child is not
// yet reaped: until then its group id cannot be reused.
void KillProcessGroup(std::int32_t pid);

}  // namespace runner::platform
