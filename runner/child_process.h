// One child process with captured standard streams.
//
// The owner fills a ChildProcess record (which channels are enabled, their
// buffer sizes, the input bytes, the environment block), calls
// StartChildProcess and then WaitChildProcess, and reads the captured output
// and error from the record. Each enabled channel gets a pipe. The run is
// driven by one poll loop on the calling thread over the output and error
// pipes, the input pipe and the child's process handle: it drains both
// outputs and feeds the input at the same time, so no child can deadlock the
// agent by writing before it reads. No thread is created for a run.
//
// Bounds: the child is waited for up to kChildWaitMs from the start of
// WaitChildProcess; each reader then goes on for at most kReaderWaitMs after
// the child's end (a grandchild may hold a pipe open) and keeps what it read.
// A capture keeps at most its maximum; what the child writes beyond that is
// read and thrown away, so that a chatty child never blocks or dies of SIGPIPE.
// On a time-out the child's whole process group is killed and the readers
// take what is left in the pipes for a short grace period.
//
// Ownership: the record owns every descriptor; after WaitChildProcess (or any
// failed start) none is left open and no child is left unreaped, and the
// captured buffers belong to the record's owner. The input bytes and the
// environment block belong to the owner and must outlive the run. A record is
// cleaned up when destroyed.
//
// Threads: one thread drives a record from start to cleanup; independent
// records may run concurrently on different threads. SIGPIPE never reaches
// the agent: it is blocked in the calling thread only while input is written,
// and consumed when a write raises it. No process-wide signal disposition is
// changed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "runner/env_block.h"
#include "runner/platform/unique_fd.h"

namespace runner {

// Results of StartChildProcess.
enum StartResult : int {
  kStartOk = 0,             // the child runs
  kStartProcessFailed = 1,  // the program could not be started (not found, not executable...)
  // Kept so that the values stay stable; no longer produced, since a run
  // creates no worker thread.
  kStartThreadFailed = 2,
  kStartPipeFailed = 4,  // a pipe or another descriptor could not be made
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

  // Run internals: how far the run got with this stream.
  struct Progress {
    std::int32_t capacity = 0;  // output and error: room in `data`, terminator excluded
    std::int32_t written = 0;   // input: bytes written so far
    bool discarding = false;    // output and error: the capture is full; the rest is drained
  } progress;
};

// How a run ended, for owners that need more than WaitChildProcess's code
// (which folds an exit status, a signal and a time-out into one number).
enum class RunEnd {
  kNone,        // not started, or the start failed (see start_error)
  kExited,      // the child exited; exit_status is its status
  kSignalled,   // a signal the runner did not send ended it; exit_status is the signal
  kTimedOut,    // it ran past its wait limit; its group was killed
  kCancelled,   // the owner's cancel descriptor became readable; its group was killed
  kWaitFailed,  // waiting for it failed; it was killed
};

struct ProcessInformation {
  UniqueFd process;             // readable once the child has ended; open until cleanup
  std::int32_t process_id = 0;  // kept after cleanup, for diagnostics
  bool reaped = false;
  // Set by StartChildProcess when the child could not be started: the system
  // error code (ENOENT for a program not found, EACCES for one not executable).
  int start_error = 0;
  RunEnd end = RunEnd::kNone;  // set by WaitChildProcess
  int exit_status = 0;         // see RunEnd
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
  // This run's wait limit in milliseconds; 0: kChildWaitMs (or what a test set).
  std::int32_t child_wait_ms = 0;
  // Not owned; -1: none. Once it is readable (an eventfd or a pipe the owner
  // writes to from another thread), WaitChildProcess ends the run as on a
  // time-out, killing the child's group, and returns ECANCELED. A descriptor
  // that stays readable cancels every run that watches it.
  int cancel_fd = -1;

  // Run internals: the reader limit in force when the run started.
  std::int32_t reader_wait_ms = kReaderWaitMs;
};

// Splits `command_line` into arguments by the Microsoft C runtime rules (see
// command_line.h), looks the program up on PATH and starts it in a process
// group of its own with the record's streams and environment. The input is
// written at once as far as the pipe takes it; WaitChildProcess feeds the
// rest. On any non-zero result the record has been cleaned up: nothing open,
// nothing running.
// A record that already holds a run is refused with kStartPipeFailed.
int StartChildProcess(const std::string& command_line, ChildProcess& record);
// The same with the arguments given one by one: each reaches the child as it
// stands, never split or interpreted. arguments[0] is looked up on PATH.
int StartChildProcess(const std::vector<std::string>& arguments, ChildProcess& record);

// Drives the run until the child has ended and its readers are done (or their
// limits have passed), then cleans the record up. Returns the child's exit
// code (128 plus the signal number when a signal ended it), 1 when it exited
// with 0 but wrote to its error stream, ETIMEDOUT when it ran longer than the
// wait limit (its whole process group is then killed), ECANCELED when the
// record's cancel descriptor became readable first (the same), or another
// system error code when waiting failed. Returns 0 at once when the record
// holds no process. process_information.end and exit_status tell the cases
// apart.
int WaitChildProcess(ChildProcess& record);

// Ends what a record still holds: kills the child's process group when the
// child still runs, lets the readers take what is left in their pipes for a
// short grace period, reaps the child and closes every descriptor. Captured
// buffers stay. Idempotent.
void CleanupChildProcess(ChildProcess& record);

// Test hook only: replaces the wait limits of runs started from now on
// (values <= 0 restore kChildWaitMs and kReaderWaitMs). Not for production
// code; tests use it to exercise time-outs in milliseconds instead of minutes.
void SetChildProcessLimitsForTesting(std::int32_t child_wait_ms, std::int32_t reader_wait_ms);

}  // namespace runner
