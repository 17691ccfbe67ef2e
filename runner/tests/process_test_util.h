// Helpers shared by the runner's process tests.
#pragma once

#include <dirent.h>

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

inline std::string Pattern(std::size_t count) {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

}  // namespace runner::testing
