#include "service/children.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace service {

std::vector<Child> ListChildren() {
  std::vector<Child> children;
  const pid_t self = ::getpid();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;  // gone meanwhile
    // "pid (comm) state ppid pgrp ...": comm may hold blanks and parentheses.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    long ppid = 0;
    long group = 0;
    if (!(rest >> state >> ppid >> group)) continue;
    if (ppid == self && state != "Z") {
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
