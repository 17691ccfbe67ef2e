// Pipes and bounded waiting for the runner's poll loop.
//
// This is the only place that touches pipe descriptors, poll and SIGPIPE.
// Every descriptor made here is close-on-exec. The agent's end of a pipe is
// non-blocking; the child's end stays blocking, as a child expects.
// Thread-safe: nothing here keeps state; a descriptor belongs to one thread.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "runner/platform/unique_fd.h"

namespace runner::platform {

enum class AgentEnd { kRead, kWrite };

// Makes a pipe; `agent_end` says which end the agent keeps (made non-blocking).
// Both ends are close-on-exec and numbered 3 or above, so that they can never
// be mistaken for a standard stream while a child is set up. False on failure,
// with nothing left open.
bool MakePipe(AgentEnd agent_end, UniqueFd* agent, UniqueFd* child);

using Clock = std::chrono::steady_clock;

// One descriptor to wait for: a pipe end, or a process handle (readable once
// the child has ended).
struct PollItem {
  int fd = -1;
  bool write = false;  // wait until it can be written; otherwise until it can be read
  bool ready = false;  // set by WaitReady
};

// The most items one WaitReady call takes: three streams, a process and the
// owner's cancel descriptor.
inline constexpr std::size_t kMaxPollItems = 5;

enum class WaitStatus { kReady, kTimedOut, kFailed };

// Waits until at least one item is ready or `deadline` passes
// (Clock::time_point::max(): no limit). Hang-up and error count as ready: the
// following read or write reports them. Signals do not end the wait early.
// kFailed: polling itself failed (or more than kMaxPollItems were given) and
// `*error` holds the system error code.
WaitStatus WaitReady(std::span<PollItem> items, Clock::time_point deadline, int* error);

enum class IoStatus { kOk, kWouldBlock, kEndOfFile, kError };
struct IoResult {
  IoStatus status;
  std::size_t bytes;
};

IoResult ReadPipe(int fd, char* buffer, std::size_t size);

class SigpipeBlock;

// Writes to a pipe whose reader may be gone. The SIGPIPE that a vanished
// reader raises is held off by `block` and consumed here instead of ending the
// agent; the write then reports kError.
IoResult WritePipe(int fd, const char* data, std::size_t size, const SigpipeBlock& block);

// Blocks SIGPIPE in the calling thread for its lifetime (the thread's own mask
// only; process-wide dispositions are never touched). A SIGPIPE that was
// already pending when the block began is the caller's and is left pending.
class SigpipeBlock {
 public:
  SigpipeBlock();
  ~SigpipeBlock();
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  friend IoResult WritePipe(int, const char*, std::size_t, const SigpipeBlock&);
  sigset_t saved_;
  bool restore_ = false;
  bool was_pending_ = false;
};

}  // namespace runner::platform
