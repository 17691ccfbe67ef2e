// One child process with captured standard streams.
//
// The owner fills a ChildProcess record (which channels are enabled, their
// buffer sizes, the input bytes, the environment block), calls
// StartChildProcess and then WaitChildProcess, and reads the captured output
// and error from the record. Each enabled channel gets a pipe and a worker
// thread: readers drain output and error, the writer feeds input, all at the
// same time, so no child can deadlock the agent by writing before it reads.
//
// Ownership: the record owns every descriptor and thread; after
// WaitChildProcess (or any failed start) none is left open or running, and the
// captured buffers belong to the record's owner. The input bytes and the
// environment block belong to the owner and must outlive the run. A record is
// not movable (its workers point into it) and is cleaned up when destroyed.
//
// Threads: one thread drives a record; its workers touch only their own
// channel until they are joined. Independent records may run concurrently.
// No worker is ever detached or killed: each waits with a deadline and is
// joined. SIGPIPE never reaches the agent and no process-wide signal
// disposition is changed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "runner/env_block.h"
#include "runner/platform/unique_fd.h"

namespace runner {

// Results of StartChildProcess.
enum StartResult : int {
  kStartOk = 0,             // the child and its workers run
  kStartProcessFailed = 1,  // the program could not be started (not found, not executable...)
  kStartThreadFailed = 2,   // a worker thread could not be created; the child was ended
  kStartPipeFailed = 4,     // a pipe or another descriptor could not be made
};

// How long WaitChildProcess waits for the child, and each reader for the end
// of its pipe once the child has ended.
inline constexpr std::int32_t kChildWaitMs = 120000;
inline constexpr std::int32_t kReaderWaitMs = 12000;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
// A NUL-terminated capture from the C heap.
using CaptureBuffer = std::unique_ptr<char, FreeDeleter>;

// One standard stream of the child.
struct StreamChannel {
  // Non-zero: captured (output, error) or fed (input). Zero: the child gets the
  // agent's own stream, except input, which is then /dev/null.
  std::int32_t enabled = 0;
  UniqueFd pipe;  // the agent's end while the run lasts
  std::thread worker;
  // Output and error: what was captured, NUL-terminated; null when nothing was.
  CaptureBuffer data;
  // Input: the bytes to write (not owned).
  const char* input = nullptr;
  // Output and error: bytes captured (terminator excluded). Input: bytes to write.
  std::int32_t length = 0;
  // Output and error: size of the first buffer and step of its growth; 0 means 1024.
  std::int32_t initial_size = 0;
  // Output and error: the buffer grows only while smaller than this (raised to
  // the initial size when lower). Output beyond it is read and discarded, so
  // that a chatty child never blocks or dies on a full pipe.
  std::int32_t maximum_size = 0;
};

struct ProcessInformation {
  UniqueFd process;             // readable once the child has ended; open until cleanup
  std::int32_t process_id = 0;  // kept after cleanup, for diagnostics
  bool reaped = false;
};

struct ChildProcess {
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  ProcessInformation process_information;
  StreamChannel output;
  StreamChannel error;
  StreamChannel input;
  // The child's environment; null (or a block without data): the agent's own.
  const CEnvBlock* environment = nullptr;
  // The child's working directory; empty: the agent's current directory.
  std::string current_directory;

  // Run internals: the signal that tells the workers to finish, and the reader
  // limit in force when the run started.
  UniqueFd stop_signal;
  std::int32_t reader_wait_ms = kReaderWaitMs;
};

// Splits `command_line` into arguments by the Microsoft C runtime rules (see
// command_line.h), looks the program up on PATH and starts it in a process
// group of its own with the record's streams and environment. On any non-zero
// result the record has been cleaned up: nothing open, nothing running.
// A record that already holds a run is refused with kStartPipeFailed.
int StartChildProcess(const std::string& command_line, ChildProcess& record);

// Waits for the child and its readers and cleans the record up. Returns the
// child's exit code (128 plus the signal number when a signal ended it), 1
// when it exited with 0 but wrote to its error stream, ETIMEDOUT when it ran
// longer than the wait limit (its whole process group is then killed), or
// another system error code when waiting failed. Returns 0 at once when the
// record holds no process.
int WaitChildProcess(ChildProcess& record);

// Ends what a record still holds: kills the child's process group when the
// child still runs, tells the workers to finish and joins them, reaps the
// child and closes every descriptor. Captured buffers stay. Idempotent.
void CleanupChildProcess(ChildProcess& record);

// Test hook only: replaces the wait limits of runs started from now on
// (values <= 0 restore kChildWaitMs and kReaderWaitMs). Not for production
// code; tests use it to exercise time-outs in milliseconds instead of minutes.
void SetChildProcessLimitsForTesting(std::int32_t child_wait_ms, std::int32_t reader_wait_ms);

}  // namespace runner
