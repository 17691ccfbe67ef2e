#include "testing/wait.h"

#include <algorithm>
#include <thread>

namespace amtest {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  std::chrono::milliseconds pause{1};
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return condition();
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(25));
  }
  return true;
}

}  // namespace amtest
