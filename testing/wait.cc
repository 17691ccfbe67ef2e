#include "testing/wait.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
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

namespace {

bool ThreadAsleep(int tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const std::size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() &&
         (stat[close + 2] == 'S' || stat[close + 2] == 'D');
}

}  // namespace

bool WaitUntilAsleepOrDone(const std::atomic<int>& thread_tid, const std::atomic<bool>& done) {
  return WaitFor([&] { return done || (thread_tid != 0 && ThreadAsleep(thread_tid)); });
}

}  // namespace amtest
