// One installed hook (an observer, the counter store): what a host sets
// with one of the Am* setters and the component reads on every dispatch.
//
// The value is copied out under the lock and used outside it, so that a slow
// hook never blocks the one who replaces it, and the previous value is
// released outside the lock; the flag spares dispatch the lock when none is
// set. Thread-safe.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace component {

template <typename T>
class HookSlot {
 public:
  bool installed() const { return installed_.load(std::memory_order_relaxed); }

  // The hook in force, or null.
  std::shared_ptr<const T> Get() const {
    if (!installed()) return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    return value_;
  }

  // Installs `next` (null: none).
  void Set(std::shared_ptr<const T> next) {
    const bool installed = next != nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::swap(value_, next);
    }
    installed_.store(installed, std::memory_order_relaxed);
    // The previous value goes here, outside the lock.
  }

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const T> value_;  // under mu_
  std::atomic<bool> installed_{false};
};

}  // namespace component
