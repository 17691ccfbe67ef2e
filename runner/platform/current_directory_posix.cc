#include <limits.h>
#include <unistd.h>

#include "runner/current_directory.h"

namespace runner {

std::string GetCurrentDirectoryText() {
  char buffer[PATH_MAX];
  if (::getcwd(buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

bool SetCurrentDirectoryText(const std::string& directory) {
  return !directory.empty() && ::chdir(directory.c_str()) == 0;
}

}  // namespace runner
