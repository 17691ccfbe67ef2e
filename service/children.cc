#include "service/children.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace service {

namespace {

// "pid (comm) state ppid pgrp ..." of one process; false when it is gone or
// unreadable. comm may hold blanks and parentheses.
bool ReadStat(const std::filesystem::path& stat_file, std::string* state, long* ppid,
              long* group) {
  std::ifstream stat(stat_file);
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(line.substr(close + 1));
  return static_cast<bool>(rest >> *state >> *ppid >> *group);
}

// The children that the threads of this process list; nullopt when the
// kernel keeps no such lists.
std::optional<std::vector<pid_t>> ListedChildren() {
  std::error_code ec;
  std::filesystem::directory_iterator tasks("/proc/self/task", ec);
  if (ec) return std::nullopt;
  std::vector<pid_t> pids;
  for (const auto& task : tasks) {
    std::ifstream in(task.path() / "children");
    if (!in.is_open()) {
      if (!std::filesystem::exists(task.path() / "children", ec)) return std::nullopt;
      continue;  // the thread ended meanwhile
    }
    long pid = 0;
    while (in >> pid) pids.push_back(static_cast<pid_t>(pid));
  }
  return pids;
}

}  // namespace

std::vector<Child> ListChildren() {
  std::vector<Child> children;
  const pid_t self = ::getpid();
  std::string state;
  long ppid = 0;
  long group = 0;
  if (const auto listed = ListedChildren()) {
    for (const pid_t pid : *listed) {
      if (ReadStat("/proc/" + std::to_string(pid) + "/stat", &state, &ppid, &group) &&
          ppid == self && state != "Z") {
        children.push_back({pid, static_cast<pid_t>(group)});
      }
    }
    return children;
  }
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    if (ReadStat(entry.path() / "stat", &state, &ppid, &group) && ppid == self && state != "Z") {
      children.push_back({static_cast<pid_t>(std::stol(name)), static_cast<pid_t>(group)});
    }
  }
  return children;
}

int KillChildGroups() {
  int signalled = 0;
  const pid_t own_group = ::getpgrp();
  for (const Child& child : ListChildren()) {
    const int rc = child.group > 0 && child.group != own_group ? ::kill(-child.group, SIGKILL)
                                                               : ::kill(child.pid, SIGKILL);
    if (rc == 0) ++signalled;
  }
  return signalled;
}

}  // namespace service
