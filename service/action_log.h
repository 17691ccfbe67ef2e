// The service's line per action outcome: what the component's typed outcome
// (component/dispatch_observer.h) says, at the priority it calls for, with
// the fields journald indexes.
//
// Priorities: a failed action (result 901, or a run whose result event never
// reached the repository) is a warning; a failure that only a configuration
// can cause (the class, method, namespace or path the action names does not
// exist, or the method has no provider) is an error; an action held back by
// its execution limit is info; an executed action is info; a task action,
// which the component only carries, is debug.
//
// Fields: PROFILE, RULE (the lower-cased event class), EVENT_ID, ACTION (the
// action's position in the rule, from 0), ACTION_KIND (builtin, program,
// task), RESULT (executed, failed, held_back, task, unreported), and, when
// the result event was indicated, RESULT_CODE (900, 901) and RETURN_CODE.
#pragma once

#include <vector>

#include "component/dispatch_observer.h"
#include "service/log.h"

namespace service {

struct ActionLogEntry {
  int priority = kPriorityInfo;
  std::string message;
  std::vector<LogField> fields;
};

// "builtin", "program" or "task": the kind's name in log fields and history rows.
const char* ActionKindName(AmActionKind kind);
// The priority of an outcome's entry (cheap: nothing is formatted).
int OutcomePriority(const AmActionOutcome& outcome);
// The entry for one outcome.
ActionLogEntry DescribeOutcome(const AmActionOutcome& outcome);

// Logs the outcome's entry unless the threshold drops its priority (in
// which case nothing is formatted).
void LogActionOutcome(const AmActionOutcome& outcome);

}  // namespace service
