// The action kinds the component runs: the one place that ties each kind of
// action description to its executor. A new kind of action is added here
// (after its description in settings/ and its executor in a folder of its
// own); docs/architecture.md lists every step.
#pragma once

#include <memory>

#include "actions/impl_base_action_info.h"
#include "component/dispatch_observer.h"
#include "settings/action_info.h"

namespace component {

// A new executor holding a copy of `info`, chosen by the description's
// run-time class; null for a description of no known kind (such an action is
// left out of its rule).
std::unique_ptr<CImplBaseActionInfo> CreateActionExecutor(const CBaseActionInfo& info);

// The kind of an executor CreateActionExecutor made.
AmActionKind ActionKindOf(const CImplBaseActionInfo& executor);

}  // namespace component
