#include "testing/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    bool replaced = false;
    for (const auto& [name, value] : options.environment) {
      replaced = replaced || entry.starts_with(name + "=");
    }
    if (!replaced) env_text.push_back(entry);
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
  if (options.close_output) {
    posix_spawn_file_actions_addclose(&actions, 1);
  } else if (options.output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, options.output_fd, 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0) Wait(std::chrono::milliseconds(0));
}

ProcessResult Process::Wait(std::chrono::milliseconds deadline) {
  ProcessResult run;
  if (pid_ <= 0) {
    run.err = "could not start";
    return run;
  }
  int wait_status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid_, &wait_status, WNOHANG) == pid_; },
                             deadline);
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &wait_status, 0);
    pid_ = -1;
    run.err = "timed out";
    return run;
  }
  pid_ = -1;
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
  run.out = io_.Read("stdout");
  run.err = io_.Read("stderr");
  return run;
}

ProcessResult Run(const std::string& program, const std::vector<std::string>& args,
                  const ProcessOptions& options) {
  return Process(program, args, options).Wait();
}

}  // namespace amtest
