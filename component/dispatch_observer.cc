#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "actions/action_report.h"
#include "component/dispatch_observer_internal.h"

namespace component {
namespace {

// One installed observer of either kind: the function is copied out under
// the lock and called outside it, so that a slow observer never blocks the
// one who replaces it, and the flag spares dispatch the lock when none is set.
template <typename Fn>
class Slot {
 public:
  bool observed() const { return observed_.load(std::memory_order_relaxed); }

  template <typename Arg>
  void Report(const Arg& arg) {
    std::shared_ptr<const Fn> observer;
    {
      std::lock_guard<std::mutex> lock(mu_);
      observer = observer_;
    }
    if (!observer) return;
    try {
      (*observer)(arg);
    } catch (...) {
      // A watcher's failure never reaches the delivery.
    }
  }

  void Set(Fn fn) {
    std::shared_ptr<const Fn> next;
    if (fn) next = std::make_shared<const Fn>(std::move(fn));
    const bool observed = next != nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      std::swap(observer_, next);
    }
    observed_.store(observed, std::memory_order_relaxed);
    // The previous observer goes here, outside the lock.
  }

 private:
  std::mutex mu_;
  std::shared_ptr<const Fn> observer_;  // under mu_
  std::atomic<bool> observed_{false};
};

Slot<AmDispatchObserver>& Steps() {
  static Slot<AmDispatchObserver> slot;
  return slot;
}

Slot<AmActionOutcomeObserver>& Outcomes() {
  static Slot<AmActionOutcomeObserver> slot;
  return slot;
}

}  // namespace

bool DispatchObserved() { return Steps().observed(); }
void ReportDispatchStep(const AmDispatchStep& step) { Steps().Report(step); }
bool OutcomeObserved() { return Outcomes().observed(); }
void ReportActionOutcome(const AmActionOutcome& outcome) { Outcomes().Report(outcome); }

}  // namespace component

void AmSetDispatchObserver(AmDispatchObserver observer) {
  component::Steps().Set(std::move(observer));
}

void AmSetActionOutcomeObserver(AmActionOutcomeObserver observer) {
  component::Outcomes().Set(std::move(observer));
}

void AmReportActionOutput(std::string_view output, std::string_view error) {
  actions::RecordActionOutput(output, error);
}
