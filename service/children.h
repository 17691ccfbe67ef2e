// The daemon's child processes (program actions and their wrappers), found
// through /proc: the runner starts each child in a process group of its own,
// and the daemon keeps no list of them. Each of the daemon's threads lists
// the children it started (/proc/self/task/*/children), so only the daemon's
// own entries are read; a kernel without those files makes it walk all of
// /proc instead.
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
