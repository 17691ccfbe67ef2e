// The rule executor's side of component/dispatch_observer.h.
#pragma once

#include "component/dispatch_observer.h"

namespace component {

// Whether an observer may be set: a cheap test before building a step.
bool DispatchObserved();
// Reports `step` to the observer in force, if any; nothing it throws escapes.
void ReportDispatchStep(const AmDispatchStep& step);

// The same for the action outcome observer.
bool OutcomeObserved();
void ReportActionOutcome(const AmActionOutcome& outcome);

}  // namespace component
