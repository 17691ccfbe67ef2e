#include "testing/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    if (!given && std::find(options.unset.begin(), options.unset.end(), name) == options.unset.end())
      env_text.push_back(entry);
  }
  for (const auto& [name, value] : options.environment) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& entry : env_text) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (options.input_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.input_fd, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  }
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  if (!options.log.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, options.log.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0644);
  } else if (options.close_output) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (options.output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.output_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), create, 0600);
  }
  if (!options.log.empty()) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), create, 0600);
  }
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
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

ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options) {
  return Process(program, args, options).Wait();
}

}  // namespace amtest
