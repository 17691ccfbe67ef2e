// Test support: LineList, strings collected from any thread, and
// LogCapture, a LineList of the logger's lines as "LEVEL COMPONENT: MESSAGE"
// for the life of the object, which then restores the default destination.
// At most one LogCapture may exist at a time. Header-only, so that any suite
// can use it without linking more than the host framework.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/trace_utils.h"

// Strings collected from any thread, taken in the order they came.
class LineList {
 public:
  void Add(std::string entry) {
    std::lock_guard lock(mu_);
    lines_.push_back(std::move(entry));
  }
  // The entries so far, and a fresh start.
  std::vector<std::string> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
};

class LogCapture : public LineList {
 public:
  LogCapture() {
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& component, const std::string& message) {
          Add(std::to_string(level) + " " + component + ": " + message);
        });
  }
  ~LogCapture() { CTraceUtils::GetInstance()->SetLineSink({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
};
