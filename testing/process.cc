#include "testing/process.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

extern char** environ;

namespace amtest {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const ProcessOptions& options) {
  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e, name = entry.substr(0, entry.find('='));
    const auto given = [&](const auto& pair) { return pair.first == name; };
    if (std::none_of(options.environment.begin(), options.environment.end(), given) &&
        std::find(options.unset.begin(), options.unset.end(), name) == options.unset.end()) {
      env_text.push_back(entry);
    }
  }
  for (const auto& [name, value] : options.environment) env_text.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  for (std::string& entry : env_text) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  // The child's standard input, output and error (-1: closed), opened here,
  // as the caller's user; what this opened is closed once the child has it.
  std::vector<int> opened;
  const auto open = [&](const std::filesystem::path& path, int flags, mode_t mode) {
    opened.push_back(::open(path.c_str(), flags | O_CLOEXEC, mode));
    return opened.back();
  };
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  int streams[3] = {options.input_fd, options.close_output ? -1 : options.output_fd, -1};
  if (streams[0] < 0) streams[0] = open(io_.Write("stdin", options.input), O_RDONLY, 0);
  if (!options.log.empty()) {
    streams[1] = streams[2] = open(options.log, O_WRONLY | O_CREAT | O_APPEND, 0644);
  } else {
    if (streams[1] < 0 && !options.close_output) streams[1] = open(io_ / "stdout", create, 0600);
    streams[2] = open(io_ / "stderr", create, 0600);
  }
  const bool streams_open =
      std::none_of(opened.begin(), opened.end(), [](int fd) { return fd < 0; });

  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec; any failure is 127.
    if (!streams_open) ::_exit(127);
    for (int fd = 0; fd < 3; ++fd) {
      if (streams[fd] < 0) {
        ::close(fd);
      } else if (::dup2(streams[fd], fd) < 0) {
        ::_exit(127);
      }
    }
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(127);
    if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(options.user->gid) != 0 ||
                         ::setuid(options.user->uid) != 0)) {
      ::_exit(127);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  for (const int fd : opened) {
    if (fd >= 0) ::close(fd);
  }
  if (pid > 0) pid_ = pid;
}

Process::~Process() {
  if (pid_ > 0) Wait(std::chrono::milliseconds(0));
}

void Process::Signal(int signo) const {
  if (pid_ > 0) ::kill(pid_, signo);
}

bool Process::WaitReady(const std::function<bool()>& ready, std::chrono::milliseconds deadline) {
  bool exited = false;
  const bool held = WaitFor(
      [&] {
        siginfo_t info{};  // looked at, not collected (WNOWAIT)
        exited = pid_ <= 0 || (::waitid(P_PID, static_cast<id_t>(pid_), &info,
                                        WEXITED | WNOHANG | WNOWAIT) == 0 &&
                               info.si_pid == pid_);
        return exited || ready();
      },
      deadline);
  return held && !exited;
}

std::optional<ProcessResult> Process::TryWait(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return std::nullopt;
  int wait_status = 0;
  struct rusage usage {};
  if (!WaitFor([&] { return wait4(pid_, &wait_status, WNOHANG, &usage) == pid_; }, deadline)) {
    return std::nullopt;
  }
  pid_ = -1;
  ProcessResult run;
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
  run.peak_kb = usage.ru_maxrss;
  run.out = io_.Read("stdout");
  run.err = io_.Read("stderr");
  return run;
}

ProcessResult Process::Wait(std::chrono::milliseconds deadline) {
  ProcessResult failed;
  failed.err = "could not start";
  if (pid_ <= 0) return failed;
  if (auto run = TryWait(deadline)) return *run;
  ::kill(pid_, SIGKILL);
  int wait_status = 0;
  waitpid(pid_, &wait_status, 0);
  pid_ = -1;
  failed.err = "timed out";
  return failed;
}

bool GroupAlive(pid_t group) { return ::kill(-group, 0) == 0 || errno == EPERM; }

ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options) {
  return Process(program, args, options).Wait();
}

std::string Shell(const std::string& command, const ProcessOptions& options) {
  std::string out = Run("/bin/sh", {"-c", command}, options).out;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace amtest
