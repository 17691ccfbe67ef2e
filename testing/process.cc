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
  const std::string in_path = io_.Write("stdin", options.input).string();
  const std::string out_path = (io_ / "stdout").string();
  const std::string err_path = (io_ / "stderr").string();

  std::vector<std::string> argv_text = {program};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv_text) argv.push_back(arg.data());
  argv.push_back(nullptr);

  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    const bool given = std::any_of(options.environment.begin(), options.environment.end(),
                                   [&](const auto& pair) { return pair.first == name; });
    if (!given &&
        std::find(options.unset.begin(), options.unset.end(), name) == options.unset.end())
      env_text.push_back(entry);
  }
  for (const auto& [name, value] : options.environment) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The child's standard streams, in order.
  struct Stream {
    int fd;
    std::string path;  // opened with flags and mode, unless empty
    int flags = 0;
    mode_t mode = 0;
    int from = -1;  // duplicated, when path is empty and this is set; else closed
  };
  std::vector<Stream> streams;
  if (options.input_fd >= 0) {
    streams.push_back({0, "", 0, 0, options.input_fd});
  } else {
    streams.push_back({0, in_path, O_RDONLY, 0, -1});
  }
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  if (!options.log.empty()) {
    streams.push_back({1, options.log.string(), O_WRONLY | O_CREAT | O_APPEND, 0644, -1});
    streams.push_back({2, "", 0, 0, 1});
  } else {
    if (options.close_output) {
      streams.push_back({1, "", 0, 0, -1});
    } else if (options.output_fd >= 0) {
      streams.push_back({1, "", 0, 0, options.output_fd});
    } else {
      streams.push_back({1, out_path, create, 0600, -1});
    }
    streams.push_back({2, err_path, create, 0600, -1});
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec; any failure is 127.
    for (const Stream& s : streams) {
      if (!s.path.empty()) {
        const int fd = ::open(s.path.c_str(), s.flags, s.mode);
        if (fd < 0 || (fd != s.fd && (::dup2(fd, s.fd) < 0 || ::close(fd) < 0))) ::_exit(127);
      } else if (s.from >= 0) {
        if (::dup2(s.from, s.fd) < 0) ::_exit(127);
      } else {
        ::close(s.fd);
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
  if (pid > 0) pid_ = pid;
}

Process::~Process() {
  if (pid_ > 0) Wait(std::chrono::milliseconds(0));
}

void Process::Signal(int signo) const {
  if (pid_ > 0) ::kill(pid_, signo);
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

}  // namespace amtest
