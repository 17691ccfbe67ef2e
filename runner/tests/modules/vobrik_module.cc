// Test module for form A: loaded as "vobrik", entry point "vobrik".
// The word after the first in the command line picks the behaviour:
//   count      -> output "call N", N counting the calls into this module
//   fail       -> error "bad thing\nsecond line", returns 2
//   quiet      -> returns 3 and leaves both texts empty
//   <other>    -> output: the whole command line
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<int> g_calls{0};
}

extern "C" __attribute__((visibility("default"))) std::int32_t vobrik(
    const char* command_line, char* output, char* error, const char* /*environment*/,
    std::int32_t /*environment_length*/) {
  const int call = ++g_calls;
  const char* word = std::strchr(command_line, ' ');
  word = word != nullptr ? word + 1 : "";
  if (std::strncmp(word, "count", 5) == 0) {
    std::snprintf(output, 1024, "call %d", call);
    return 0;
  }
  if (std::strncmp(word, "fail", 4) == 0) {
    std::snprintf(error, 1024, "bad thing\nsecond line");
    return 2;
  }
  if (std::strncmp(word, "quiet", 5) == 0) return 3;
  std::snprintf(output, 1024, "%s", command_line);
  return 0;
}
