// A host's view of rule dispatch as it happens: which rule an event hit and,
// action by action, what the execution limit decided (AmDispatchStep, before
// the action) and what the action came to (AmActionOutcome, after it).
//
// CImplActionRule::ExecuteActions reports each of its decisions here, on the
// delivery thread, before it acts on it: first the rule itself (action -1),
// then every executor in run order. A step marked kRuns is reported before
// the executor starts, so whatever the action then does (its method call,
// its program, its result event) follows the step. The observer only
// watches: it cannot change a decision, and it must not call back into the
// component.
//
// Every action the rule enumerates then gets one AmActionOutcome, after it
// ran (or was held back, or left to the task component): its kind, the
// decision, the result code and return value of its result event, and how
// long Execute took. A host counts and times actions from it instead of
// reading result events or log lines.
//
// Setting and clearing an observer is thread-safe; with none set, dispatch
// pays one relaxed atomic load per event.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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

enum class AmActionKind : std::int32_t {
  kBuiltIn = 0,  // a method call
  kProgram = 1,  // a program run
  kTask = 2,     // carried for the task component
};

struct AmActionOutcome {
  const std::string& profile;   // the component's profile (its sink's)
  const std::string& rule;      // as in AmDispatchStep
  const std::string& event_id;  // as in AmDispatchStep
  std::int32_t action;          // the executor's position in the rule
  AmActionKind kind;
  AmActionDecision decision;
  // Whether the action indicated its result event; result_code and
  // return_value are its "MsgInfo" code (900, 901) and "return_code", both 0
  // when it did not.
  bool result_event;
  std::int32_t result_code;
  std::int32_t return_value;
  double seconds;  // Execute's run time; 0 for an action that did not run
  // What the action's program, or the command behind its method, printed
  // on standard output and standard error, as captured (bounded by the
  // capture); empty for an action that printed nothing or did not run.
  // Valid during the observer's call only.
  std::string_view output;
  std::string_view error;
};

using AmActionOutcomeObserver = std::function<void(const AmActionOutcome& outcome)>;

// Installs `observer` for every action from now on; an empty function
// removes it. Independent of the dispatch observer.
AM_EXPORT void AmSetActionOutcomeObserver(AmActionOutcomeObserver observer);

// For a method provider that runs something on behalf of a method call (a
// command, say): adds what it printed to the outcome of the action whose
// Execute made the call. Call it on the thread that called the method,
// before the method returns; elsewhere it does nothing.
AM_EXPORT void AmReportActionOutput(std::string_view output, std::string_view error);
