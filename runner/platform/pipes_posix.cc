// POSIX pipes, eventfd stop signals and poll-based waiting.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "runner/platform/pipes.h"
#include "runner/platform/unique_fd.h"

namespace runner {

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) {
    // Linux always releases the descriptor, even when close reports EINTR, so
    // retrying could close a descriptor that another thread has just opened.
    ::close(fd_);
  }
  fd_ = fd;
}

namespace platform {
namespace {

// Moves a descriptor that landed on 0, 1 or 2 (possible when the agent runs
// with a standard stream closed) out of the way of the child's standard streams.
bool KeepAboveStandardStreams(UniqueFd* fd) {
  if (fd->Get() > 2) return true;
  int moved = ::fcntl(fd->Get(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  fd->Reset(moved);
  return true;
}

bool SetNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int RemainingMs(WorkerWatch::Clock::time_point deadline) {
  if (deadline == WorkerWatch::Clock::time_point::max()) return -1;
  auto left = deadline - WorkerWatch::Clock::now();
  if (left <= decltype(left)::zero()) return 0;
  // Round up, so that a wait never ends just before its deadline and spins.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::int64_t>(ms, 1 << 30));
}

void PullDeadlineIn(WorkerWatch& watch, std::int32_t after_ms) {
  auto candidate = WorkerWatch::Clock::now() + std::chrono::milliseconds(after_ms);
  watch.deadline = std::min(watch.deadline, candidate);
}

}  // namespace

bool MakePipe(AgentEnd agent_end, UniqueFd* agent, UniqueFd* child) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
  if (!KeepAboveStandardStreams(&read_end) || !KeepAboveStandardStreams(&write_end)) return false;
  UniqueFd& mine = agent_end == AgentEnd::kRead ? read_end : write_end;
  UniqueFd& theirs = agent_end == AgentEnd::kRead ? write_end : read_end;
  if (!SetNonBlocking(mine.Get())) return false;
  *agent = std::move(mine);
  *child = std::move(theirs);
  return true;
}

bool MakeStopSignal(UniqueFd* signal) {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return false;
  signal->Reset(fd);
  return true;
}

void RaiseStopSignal(int signal_fd) {
  if (signal_fd < 0) return;
  std::uint64_t one = 1;
  // A full counter (impossible with one raise per run) would still leave the
  // descriptor readable, which is all that the watchers look at.
  while (::write(signal_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool WaitPipeReady(int fd, AgentEnd direction, WorkerWatch& watch) {
  const short wanted = direction == AgentEnd::kRead ? POLLIN : POLLOUT;
  for (;;) {
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {fd, wanted, 0};
    int exit_slot = -1;
    int stop_slot = -1;
    if (watch.process_fd >= 0) {
      exit_slot = static_cast<int>(count);
      fds[count++] = {watch.process_fd, POLLIN, 0};
    }
    if (watch.stop_fd >= 0) {
      stop_slot = static_cast<int>(count);
      fds[count++] = {watch.stop_fd, POLLIN, 0};
    }
    int ready = ::poll(fds, count, RemainingMs(watch.deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // Each watched event only ever shortens the deadline once: after that the
    // descriptor is dropped from the set, since it stays readable for good.
    if (exit_slot >= 0 && fds[exit_slot].revents != 0) {
      watch.process_fd = -1;
      PullDeadlineIn(watch, watch.after_exit_ms);
    }
    if (stop_slot >= 0 && fds[stop_slot].revents != 0) {
      watch.stop_fd = -1;
      PullDeadlineIn(watch, watch.after_stop_ms);
    }
    // Hang-up and error count as ready: the following read or write reports them.
    if (fds[0].revents != 0) return true;
    if (RemainingMs(watch.deadline) == 0) return false;
  }
}

IoResult ReadPipe(int fd, char* buffer, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd, buffer, size);
    if (n > 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::kEndOfFile, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0};
    return {IoStatus::kError, 0};
  }
}

IoResult WritePipe(int fd, const char* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0};
    if (errno == EPIPE) {
      // The kernel raised SIGPIPE at this thread, which has it blocked: take it
      // off the pending set so that it can never be delivered later.
      sigset_t pipe_only;
      sigemptyset(&pipe_only);
      sigaddset(&pipe_only, SIGPIPE);
      const timespec zero{0, 0};
      while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    return {IoStatus::kError, 0};
  }
}

SigpipeBlock::SigpipeBlock() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  restore_ = ::pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_) == 0;
}

SigpipeBlock::~SigpipeBlock() {
  if (restore_) ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace platform
}  // namespace runner
