// The action metrics (actionmanagerd_actions_total, _actions_held_back_total,
// _action_duration_seconds), counted from the component's typed action
// outcomes: one per action that indicated its result event, by its kind and
// result code, and one per action its execution limit held back.
//
// The outcome observer is process-wide, so one ActionMetrics is in force at
// a time (it also logs each outcome, service/action_log.h); it counts for
// every profile (the outcome names it). `also` (when set) sees every outcome
// after it is counted and logged: the daemon records its history there.
// Installed on construction, removed on destruction; the observer runs on the delivery
// threads, and Metrics is thread-safe.
#pragma once

#include "component/dispatch_observer.h"
#include "service/metrics.h"

namespace service {

class ActionMetrics {
 public:
  explicit ActionMetrics(Metrics* metrics, AmActionOutcomeObserver also = {});
  ~ActionMetrics();
  ActionMetrics(const ActionMetrics&) = delete;
  ActionMetrics& operator=(const ActionMetrics&) = delete;

  // What one outcome adds to `metrics` (the observer's body).
  static void Count(Metrics& metrics, const AmActionOutcome& outcome);
};

}  // namespace service
