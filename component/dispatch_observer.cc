#include <memory>
#include <utility>

#include "actions/action_report.h"
#include "component/dispatch_observer_internal.h"
#include "component/hook_slot.h"

namespace component {
namespace {

// Calls the observer in `slot`, if any, with `arg`. A watcher's failure
// never reaches the delivery.
template <typename Fn, typename Arg>
void Report(const HookSlot<Fn>& slot, const Arg& arg) {
  const std::shared_ptr<const Fn> observer = slot.Get();
  if (!observer) return;
  try {
    (*observer)(arg);
  } catch (...) {
  }
}

template <typename Fn>
void Install(HookSlot<Fn>& slot, Fn fn) {
  slot.Set(fn ? std::make_shared<const Fn>(std::move(fn)) : nullptr);
}

HookSlot<AmDispatchObserver>& Steps() {
  static HookSlot<AmDispatchObserver> slot;
  return slot;
}

HookSlot<AmActionOutcomeObserver>& Outcomes() {
  static HookSlot<AmActionOutcomeObserver> slot;
  return slot;
}

}  // namespace

bool DispatchObserved() { return Steps().installed(); }
void ReportDispatchStep(const AmDispatchStep& step) { Report(Steps(), step); }
bool OutcomeObserved() { return Outcomes().installed(); }
void ReportActionOutcome(const AmActionOutcome& outcome) { Report(Outcomes(), outcome); }

}  // namespace component

void AmSetDispatchObserver(AmDispatchObserver observer) {
  component::Install(component::Steps(), std::move(observer));
}

void AmSetActionOutcomeObserver(AmActionOutcomeObserver observer) {
  component::Install(component::Outcomes(), std::move(observer));
}

void AmReportActionOutput(std::string_view output, std::string_view error) {
  actions::RecordActionOutput(output, error);
}
