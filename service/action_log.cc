#include "service/action_log.h"

#include <cstdio>
#include <string>

#include "wbem/types.h"

namespace service {
namespace {

// The HRESULTs of a method call that no event can cause: the settings name
// something the world does not have.
bool IsConfigurationFault(std::int32_t hresult) {
  switch (static_cast<HRESULT>(hresult)) {
    case WBEM_E_INVALID_CLASS:
    case WBEM_E_INVALID_METHOD:
    case WBEM_E_INVALID_NAMESPACE:
    case WBEM_E_INVALID_OBJECT_PATH:
    case WBEM_E_PROVIDER_NOT_CAPABLE:
      return true;
    default:
      return false;
  }
}

// A built-in action's failure carries the failing call's HRESULT, which
// reads best in hexadecimal; every other return value is a number.
std::string ReturnText(const AmActionOutcome& outcome) {
  if (outcome.kind == AmActionKind::kBuiltIn && outcome.return_value < 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(outcome.return_value));
    return hex;
  }
  return std::to_string(outcome.return_value);
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

}  // namespace

const char* ActionKindName(AmActionKind kind) {
  switch (kind) {
    case AmActionKind::kProgram:
      return "program";
    case AmActionKind::kTask:
      return "task";
    case AmActionKind::kBuiltIn:
      break;
  }
  return "builtin";
}

int OutcomePriority(const AmActionOutcome& outcome) {
  switch (outcome.decision) {
    case AmActionDecision::kHeldBack:
      return kPriorityInfo;
    case AmActionDecision::kTaskNotRun:
      return kPriorityDebug;
    case AmActionDecision::kRuns:
      break;
  }
  if (!outcome.result_event) return kPriorityWarning;
  if (outcome.result_code == 900) return kPriorityInfo;
  return outcome.kind == AmActionKind::kBuiltIn && IsConfigurationFault(outcome.return_value)
             ? kPriorityErr
             : kPriorityWarning;
}

ActionLogEntry DescribeOutcome(const AmActionOutcome& outcome) {
  ActionLogEntry entry;
  entry.priority = OutcomePriority(outcome);
  const char* result = "executed";
  std::string verdict;
  if (outcome.decision == AmActionDecision::kHeldBack) {
    result = "held_back";
    verdict = "held back by its execution limit";
  } else if (outcome.decision == AmActionDecision::kTaskNotRun) {
    result = "task";
    verdict = "carried for the task component";
  } else if (!outcome.result_event) {
    result = "unreported";
    verdict = "ran, but its result event was not indicated (" + Seconds(outcome.seconds) + ")";
  } else {
    result = outcome.result_code == 900 ? "executed" : "failed";
    verdict = std::string(result) + ", result " + std::to_string(outcome.result_code) +
              ", return code " + ReturnText(outcome) + " (" + Seconds(outcome.seconds) + ")";
    if (entry.priority == kPriorityErr) verdict += ": what it names does not exist";
  }
  const char* kind = ActionKindName(outcome.kind);
  entry.message = "action " + std::to_string(outcome.action) + " (" + kind + ") of rule \"" +
                  outcome.rule + "\" for event \"" + outcome.event_id + "\" in profile \"" +
                  outcome.profile + "\": " + verdict;
  entry.fields = {{"PROFILE", outcome.profile},   {"RULE", outcome.rule},
                  {"EVENT_ID", outcome.event_id}, {"ACTION", std::to_string(outcome.action)},
                  {"ACTION_KIND", kind},          {"RESULT", result}};
  if (outcome.decision == AmActionDecision::kRuns && outcome.result_event) {
    entry.fields.push_back({"RESULT_CODE", std::to_string(outcome.result_code)});
    entry.fields.push_back({"RETURN_CODE", std::to_string(outcome.return_value)});
  }
  return entry;
}

void LogActionOutcome(const AmActionOutcome& outcome) {
  // A quiet threshold costs no formatting on the delivery thread.
  if (!LogWants(OutcomePriority(outcome))) return;
  const ActionLogEntry entry = DescribeOutcome(outcome);
  Log(entry.priority, entry.message, entry.fields);
}

}  // namespace service
