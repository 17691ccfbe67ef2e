#include "tools/stop_signals.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <system_error>
#include <vector>

namespace tools {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSweepMs = 20;

// What the handler may touch: plain atomics (lock-free on every platform
// this builds for).
std::atomic<int> g_signal{0};
std::atomic<int> g_signal_fd{-1};
struct sigaction g_previous[std::size(kStopSignals)];

extern "C" void OnStopSignal(int signal) {
  const int saved_errno = errno;
  int none = 0;
  g_signal.compare_exchange_strong(none, signal);
  const int fd = g_signal_fd.load();
  // One byte is enough: the pipe is only ever polled, never drained.
  if (fd >= 0) (void)!::write(fd, "s", 1);
  errno = saved_errno;
}

struct ProcessEntry {
  pid_t pid = 0;
  pid_t parent = 0;
  pid_t group = 0;
  char state = '?';
};

// The processes whose parent is this process, from /proc/<pid>/stat. The
// second field (the command name) may hold blanks and parentheses, so the
// fields are read after its last ')'.
std::vector<ProcessEntry> Children() {
  std::vector<ProcessEntry> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc)) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos) continue;
    const std::string path = "/proc/" + std::string(name) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char buffer[512];
    const ssize_t got = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (got <= 0) continue;
    const std::string_view stat(buffer, static_cast<std::size_t>(got));
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) continue;
    ProcessEntry process;
    int parent = 0;
    int group = 0;
    buffer[got] = '\0';
    if (std::sscanf(buffer + close + 1, " %c %d %d", &process.state, &parent, &group) != 3)
      continue;
    process.pid = static_cast<pid_t>(std::atoi(entry->d_name));
    process.parent = parent;
    process.group = group;
    if (process.parent == self) children.push_back(process);
  }
  ::closedir(proc);
  return children;
}

bool GroupExists(pid_t group) { return ::kill(-group, 0) == 0 || errno == EPERM; }

}  // namespace

StopSignals::StopSignals() {
  g_signal.store(0);
  if (::pipe2(signal_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    signal_pipe_[0] = signal_pipe_[1] = -1;
    return;
  }
  own_group_ = ::getpgrp();
  ::prctl(PR_GET_CHILD_SUBREAPER, &previous_subreaper_);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  g_signal_fd.store(signal_pipe_[1]);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call of the thread that takes the signal
  // returns, and the run looks at cancel_fd().
  action.sa_flags = 0;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &action, &g_previous[i]);
  }
  installed_ = true;
  try {
    watcher_ = std::thread([this] { Watch(); });
  } catch (const std::system_error&) {
    // No thread to spare: the signals end the process as they did before.
    Restore();
  }
}

StopSignals::~StopSignals() {
  if (watcher_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    stop_cv_.notify_all();
    // Wakes a watcher still polling for the first signal; it finds
    // `stopping_` set and tells the byte from a signal by it.
    (void)!::write(signal_pipe_[1], "x", 1);
    watcher_.join();
  }
  if (installed_ && signal() != 0) {
    // Whatever the teardown started or left: no group outlives the run.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMs);
    while (!Sweep(true) && std::chrono::steady_clock::now() < deadline) {
      ::poll(nullptr, 0, kSweepMs);
    }
  }
  Restore();
  for (int fd : signal_pipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void StopSignals::Restore() {
  if (!installed_) return;
  installed_ = false;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
  g_signal_fd.store(-1);
  ::prctl(PR_SET_CHILD_SUBREAPER, previous_subreaper_);
}

int StopSignals::signal() const { return g_signal.load(); }

std::size_t StopSignals::killed_groups() const {
  std::lock_guard<std::mutex> lock(mu_);
  return killed_;
}

std::string StopSignals::SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

bool StopSignals::AwaitSignal() {
  pollfd wait{signal_pipe_[0], POLLIN, 0};
  for (;;) {
    if (::poll(&wait, 1, -1) < 0 && errno != EINTR) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    if (wait.revents != 0) return true;
  }
}

void StopSignals::Watch() {
  if (!AwaitSignal()) return;
  for (;;) {
    Sweep(false);
    std::unique_lock<std::mutex> lock(mu_);
    if (stop_cv_.wait_for(lock, std::chrono::milliseconds(kSweepMs), [this] { return stopping_; }))
      return;
  }
}

bool StopSignals::Sweep(bool force) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  for (const ProcessEntry& child : Children()) {
    if (child.pid == child.group && child.group != own_group_ && !groups_.contains(child.group)) {
      // A program the runner started: the leader of a group of its own.
      groups_.emplace(child.group, now);
      if (child.state != 'Z') ++killed_;
      ::kill(-child.group, force ? SIGKILL : SIGTERM);
    } else if (child.pid != child.group && child.state == 'Z' && groups_.contains(child.group)) {
      // An orphan of a killed group, handed to this process as its subreaper.
      ::waitpid(child.pid, nullptr, WNOHANG);
    }
  }
  bool all_gone = true;
  for (const auto& [group, since] : groups_) {
    if (!GroupExists(group)) continue;
    all_gone = false;
    if (force || now - since >= std::chrono::milliseconds(kGraceMs)) ::kill(-group, SIGKILL);
  }
  return all_gone;
}

}  // namespace tools
