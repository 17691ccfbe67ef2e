// Test support: collects the logger's lines as "level component: message"
// for the life of the object, then restores the default destination.
// Thread-safe, since lines may come from delivery threads.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/trace_utils.h"

class LogCapture {
 public:
  LogCapture() {
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& component, const std::string& message) {
          std::lock_guard lock(mu_);
          lines_.push_back(std::to_string(level) + " " + component + ": " + message);
        });
  }
  ~LogCapture() { CTraceUtils::GetInstance()->SetLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};
