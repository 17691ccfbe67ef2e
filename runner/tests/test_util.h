// Helpers shared by the runner's tests.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <string>

namespace runner::testing {

inline int CountDirectoryEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Descriptors open in this process (the directory stream's own one excluded).
inline int CountOpenDescriptors() { return CountDirectoryEntries("/proc/self/fd") - 1; }
inline int CountThreads() { return CountDirectoryEntries("/proc/self/task"); }

// Swaps the process environment for a fixed one while a test reads it.
class FakeEnvironment {
 public:
  explicit FakeEnvironment(char** fake) : saved_(environ) { environ = fake; }
  ~FakeEnvironment() { environ = saved_; }
  FakeEnvironment(const FakeEnvironment&) = delete;
  FakeEnvironment& operator=(const FakeEnvironment&) = delete;

 private:
  char** saved_;
};

}  // namespace runner::testing
