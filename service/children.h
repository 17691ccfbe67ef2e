// The daemon's child processes (program actions and their wrappers), found
// through /proc: the runner starts each child in a process group of its own,
// and the daemon keeps no list of them.
#pragma once

#include <sys/types.h>

#include <vector>

namespace service {

struct Child {
  pid_t pid;
  pid_t group;
};

// The processes whose parent is this process.
std::vector<Child> ListChildren();
// Sends SIGKILL to each child's process group (to the child alone when it
// shares the daemon's group); returns how many were signalled.
int KillChildGroups();

}  // namespace service
