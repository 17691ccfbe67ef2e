// posix_spawnp, pidfd and waitpid.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "runner/platform/spawn.h"

namespace runner::platform {
namespace {

// posix_spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attr_ok_ = ::posix_spawnattr_init(&attr_) == 0;
    actions_ok_ = ::posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (attr_ok_) ::posix_spawnattr_destroy(&attr_);
    if (actions_ok_) ::posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return attr_ok_ && actions_ok_; }
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;

 private:
  bool attr_ok_ = false;
  bool actions_ok_ = false;
};

// Gives the child's descriptor `target` either `source` or, when the caller
// passes none, the agent's own stream (input: /dev/null).
int AddStream(posix_spawn_file_actions_t* actions, int source, int target) {
  if (source >= 0) return ::posix_spawn_file_actions_adddup2(actions, source, target);
  if (target != STDIN_FILENO && ::fcntl(target, F_GETFD) >= 0) {
    // dup2 onto itself clears close-on-exec in the child, so the agent's stream
    // reaches the child even when the agent marked it close-on-exec.
    return ::posix_spawn_file_actions_adddup2(actions, target, target);
  }
  return ::posix_spawn_file_actions_addopen(actions, target, "/dev/null",
                                            target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
}

}  // namespace

int SpawnProcess(const SpawnRequest& request, std::int32_t* pid) {
  *pid = 0;
  if (request.arguments == nullptr || request.arguments->empty() ||
      request.arguments->front().empty()) {
    return ENOENT;
  }
  SpawnSetup setup;
  if (!setup.ok()) return ENOMEM;

  int rc = AddStream(&setup.actions_, request.input_fd, STDIN_FILENO);
  if (rc == 0) rc = AddStream(&setup.actions_, request.output_fd, STDOUT_FILENO);
  if (rc == 0) rc = AddStream(&setup.actions_, request.error_fd, STDERR_FILENO);
  if (rc == 0 && request.directory != nullptr) {
    rc = ::posix_spawn_file_actions_addchdir_np(&setup.actions_, request.directory);
  }
  // The agent's own descriptors are close-on-exec already; this also covers any
  // that a library or the host opened without that flag.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&setup.actions_, 3);
  if (rc != 0) return rc;

  // sigfillset leaves out the C library's internal real-time signals, which the
  // spawn would then leave ignored in the child; on Linux a sigset_t is a plain
  // bit mask, so setting every bit gives those their default too.
  sigset_t all;
  std::memset(&all, 0xFF, sizeof all);
  sigset_t none;
  sigemptyset(&none);
  rc = ::posix_spawnattr_setflags(
      &setup.attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (rc == 0) rc = ::posix_spawnattr_setpgroup(&setup.attr_, 0);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&setup.attr_, &all);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(&setup.attr_, &none);
  if (rc != 0) return rc;

  std::vector<char*> argv;
  argv.reserve(request.arguments->size() + 1);
  for (const std::string& argument : *request.arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  pid_t child = 0;
  rc = ::posix_spawnp(&child, argv[0], &setup.actions_, &setup.attr_, argv.data(),
                      request.environment != nullptr ? request.environment : environ);
  if (rc != 0) return rc;
  *pid = child;
  return 0;
}

bool OpenProcessHandle(std::int32_t pid, UniqueFd* handle) {
  // Called through syscall(): not every C library declares a wrapper (and some
  // declare it without C linkage). pidfds are always close-on-exec.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return false;
  handle->Reset(fd);
  return true;
}

ProcessWait ReapProcess(std::int32_t pid, bool block, int* exit_code, int* error,
                        int* signal_number) {
  int status = 0;
  for (;;) {
    pid_t got = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (got == pid) break;
    if (got == 0) return ProcessWait::kTimedOut;
    if (errno == EINTR) continue;
    *error = errno;
    return ProcessWait::kFailed;
  }
  if (signal_number != nullptr) *signal_number = 0;
  if (WIFEXITED(status)) {
    *exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    *exit_code = 128 + WTERMSIG(status);
    if (signal_number != nullptr) *signal_number = WTERMSIG(status);
  } else {
    *exit_code = 1;  // not reachable without WUNTRACED/WCONTINUED
  }
  return ProcessWait::kExited;
}

void KillProcessGroup(std::int32_t pid) {
  if (pid > 0) ::kill(-pid, SIGKILL);
}

}  // namespace runner::platform
