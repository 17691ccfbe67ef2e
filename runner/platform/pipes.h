// Pipes, stop signals and bounded waiting for the runner's worker threads.
//
// This is the only place that touches pipe descriptors, poll and SIGPIPE.
// Every descriptor made here is close-on-exec. The agent's end of a pipe is
// non-blocking; the child's end stays blocking, as a child expects.
//
// A worker thread waits through a WorkerWatch: it never blocks longer than its
// deadline, which starts unbounded and is pulled in when the child is seen to
// end (by `after_exit_ms`) or when the run is told to stop (by `after_stop_ms`).
// Nothing here is shared between threads except the descriptors, which are only
// polled; each WorkerWatch belongs to one thread.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "runner/platform/unique_fd.h"

namespace runner::platform {

enum class AgentEnd { kRead, kWrite };

// Makes a pipe; `agent_end` says which end the agent keeps (made non-blocking).
// Both ends are close-on-exec and numbered 3 or above, so that they can never
// be mistaken for a standard stream while a child is set up. False on failure,
// with nothing left open.
bool MakePipe(AgentEnd agent_end, UniqueFd* agent, UniqueFd* child);

// A level-triggered, one-shot signal: once raised it stays raised.
bool MakeStopSignal(UniqueFd* signal);
void RaiseStopSignal(int signal_fd);

struct WorkerWatch {
  using Clock = std::chrono::steady_clock;
  int process_fd = -1;  // readable once the child has ended; -1: not watched
  int stop_fd = -1;     // readable once the run is told to stop; -1: not watched
  std::int32_t after_exit_ms = 0;
  std::int32_t after_stop_ms = 0;
  Clock::time_point deadline = Clock::time_point::max();
};

// Waits until `fd` can be read (kRead) or written (kWrite) without blocking.
// False: the watch's deadline passed first or polling failed; the worker must give up.
bool WaitPipeReady(int fd, AgentEnd direction, WorkerWatch& watch);

enum class IoStatus { kOk, kWouldBlock, kEndOfFile, kError };
struct IoResult {
  IoStatus status;
  std::size_t bytes;
};

IoResult ReadPipe(int fd, char* buffer, std::size_t size);

// Writes to a pipe whose reader may be gone. The calling thread must hold a
// SigpipeBlock: the SIGPIPE that a vanished reader raises is then consumed here
// instead of ending the agent, and the write reports kError.
IoResult WritePipe(int fd, const char* data, std::size_t size);

// Blocks SIGPIPE in the calling thread for its lifetime (the thread's own mask
// only; process-wide dispositions are never touched).
class SigpipeBlock {
 public:
  SigpipeBlock();
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t saved_;
  bool restore_ = false;
};

}  // namespace runner::platform
