#include "tools/tests/amctl_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tools_test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "amctl_test_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& content) const {
  const std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
  return file.string();
}

std::string TempDir::Write(const std::string& name,
                           const std::vector<std::uint8_t>& content) const {
  return Write(name, std::string(content.begin(), content.end()));
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

AmctlProcess::AmctlProcess(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                           const StartOptions& options) {
  const std::string in_path = io_.Write("stdin", options.input);
  const std::string out_path = (io_.path() / "stdout").string();
  const std::string err_path = (io_.path() / "stderr").string();

  std::vector<std::string> argv_text = {AMCTL_PATH};
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
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

AmctlProcess::~AmctlProcess() {
  if (pid_ > 0) Wait(0);
}

std::string AmctlProcess::OutputSoFar() const { return io_.Read("stdout"); }

RunResult AmctlProcess::Wait(int timeout_ms, int* signal) {
  RunResult run;
  if (signal != nullptr) *signal = 0;
  if (pid_ <= 0) {
    run.err = "spawn failed";
    return run;
  }
  int wait_status = 0;
  struct rusage usage {};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const pid_t got = wait4(pid_, &wait_status, WNOHANG, &usage);
    if (got == pid_) break;
    if (got < 0 && errno != EINTR) {
      pid_ = -1;
      return run;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &wait_status, 0);
      pid_ = -1;
      run.err = "timed out";
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid_ = -1;
  run.peak_rss_kb = usage.ru_maxrss;
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status) && signal != nullptr) *signal = WTERMSIG(wait_status);
  run.out = io_.Read("stdout");
  run.err = io_.Read("stderr");
  return run;
}

RunResult RunAmctl(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                   const std::string& input) {
  StartOptions options;
  options.input = input;
  return AmctlProcess(args, cwd, options).Wait();
}

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace tools_test
