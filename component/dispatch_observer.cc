#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "component/dispatch_observer_internal.h"

namespace component {
namespace {

std::mutex g_mu;
std::shared_ptr<const AmDispatchObserver> g_observer;  // under g_mu
std::atomic<bool> g_observed{false};

}  // namespace

bool DispatchObserved() { return g_observed.load(std::memory_order_relaxed); }

void ReportDispatchStep(const AmDispatchStep& step) {
  std::shared_ptr<const AmDispatchObserver> observer;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    observer = g_observer;
  }
  if (!observer) return;
  try {
    (*observer)(step);
  } catch (...) {
    // A watcher's failure never reaches the delivery.
  }
}

}  // namespace component

void AmSetDispatchObserver(AmDispatchObserver observer) {
  std::shared_ptr<const AmDispatchObserver> next;
  if (observer) next = std::make_shared<const AmDispatchObserver>(std::move(observer));
  const bool observed = next != nullptr;
  {
    std::lock_guard<std::mutex> lock(component::g_mu);
    std::swap(component::g_observer, next);
  }
  component::g_observed.store(observed, std::memory_order_relaxed);
  // The previous observer goes here, outside the lock.
}
