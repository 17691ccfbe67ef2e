#include "service/action_metrics.h"

#include <string>
#include <utility>

#include "service/action_log.h"

namespace service {

ActionMetrics::ActionMetrics(Metrics* metrics, AmActionOutcomeObserver also) {
  AmSetActionOutcomeObserver([metrics, also = std::move(also)](const AmActionOutcome& outcome) {
    Count(*metrics, outcome);
    // The one outcome observer also feeds the per-action log line.
    LogActionOutcome(outcome);
    if (also) also(outcome);
  });
}

ActionMetrics::~ActionMetrics() { AmSetActionOutcomeObserver({}); }

void ActionMetrics::Count(Metrics& metrics, const AmActionOutcome& outcome) {
  if (outcome.decision == AmActionDecision::kHeldBack) {
    metrics.HeldBack(outcome.profile);
    return;
  }
  if (!outcome.result_event) return;
  const char* kind = outcome.kind == AmActionKind::kProgram ? "program" : "builtin";
  metrics.Action(outcome.profile, kind, std::to_string(outcome.result_code), outcome.seconds);
}

}  // namespace service
