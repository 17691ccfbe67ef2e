// POSIX pipes and poll-based waiting.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

int RemainingMs(Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return -1;
  auto left = deadline - Clock::now();
  if (left <= decltype(left)::zero()) return 0;
  // Round up, so that a wait never ends just before its deadline and spins.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<std::int64_t>(ms, 1 << 30));
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

WaitStatus WaitReady(std::span<PollItem> items, Clock::time_point deadline, int* error) {
  std::array<pollfd, kMaxPollItems> fds;
  if (items.size() > fds.size()) {
    *error = EINVAL;
    return WaitStatus::kFailed;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    fds[i] = {items[i].fd, static_cast<short>(items[i].write ? POLLOUT : POLLIN), 0};
  }
  for (;;) {
    const int timeout = RemainingMs(deadline);
    const int ready = ::poll(fds.data(), static_cast<nfds_t>(items.size()), timeout);
    if (ready > 0) break;
    if (ready < 0 && errno != EINTR) {
      *error = errno;
      return WaitStatus::kFailed;
    }
    if (ready == 0 && timeout == 0) return WaitStatus::kTimedOut;
  }
  for (std::size_t i = 0; i < items.size(); ++i) items[i].ready = fds[i].revents != 0;
  return WaitStatus::kReady;
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

IoResult WritePipe(int fd, const char* data, std::size_t size, const SigpipeBlock& block) {
  for (;;) {
    ssize_t n = ::write(fd, data, size);
    if (n >= 0) return {IoStatus::kOk, static_cast<std::size_t>(n)};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0};
    if (errno == EPIPE && block.restore_ && !block.was_pending_) {
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
  sigset_t pending;
  was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
  if (restore_) ::pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

}  // namespace platform
}  // namespace runner
