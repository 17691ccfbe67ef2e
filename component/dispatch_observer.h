// A host's view of rule dispatch as it happens: which rule an event hit and,
// action by action, what the execution limit decided.
//
// CImplActionRule::ExecuteActions reports each of its decisions here, on the
// delivery thread, before it acts on it: first the rule itself (action -1),
// then every executor in run order. A step marked kRuns is reported before
// the executor starts, so whatever the action then does (its method call,
// its program, its result event) follows the step. The observer only
// watches: it cannot change a decision, and it must not call back into the
// component.
//
// Setting and clearing the observer is thread-safe; with none set, dispatch
// pays one relaxed atomic load per event.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "settings/export.h"

enum class AmActionDecision : std::int32_t {
  kRuns = 0,        // the limit lets it run; it runs now
  kHeldBack = 1,    // its execution limit is reached for the event's id
  kTaskNotRun = 2,  // a task action: counted towards limits, carried for the agent's task
                    // component, never run by the ActionManager
};

struct AmDispatchStep {
  const std::string& rule;  // the lower-cased event class the rule is filed under
  std::string event_id;     // the counter key of the event ("None" without an id)
  std::int32_t executed;    // deliveries of this id that already ran the rule unhindered
  // -1 for the rule itself; otherwise the executor's position in the rule's
  // enumeration order (actions of no known kind have none and are skipped).
  std::int32_t action;
  std::int32_t actions;       // how many executors the rule has
  std::uint16_t exec_limit;   // the action's limit (0: none); 0 for the rule
  AmActionDecision decision;  // kRuns for the rule
};

using AmDispatchObserver = std::function<void(const AmDispatchStep& step)>;

// Installs `observer` for every dispatch from now on; an empty function
// removes it.
AM_EXPORT void AmSetDispatchObserver(AmDispatchObserver observer);
