// The action result event: one ZRV_ActionResult instance indicated to the
// repository's event consumers after a built-in or a program action has run,
// successfully or not.
//
// Both executors report through NotifyActionResult; the two differ only in a
// few properties and log lines, chosen by ResultVariant:
//
//   built-in  "Method" = the sixth argument, "program" = "", last four
//             properties in the order Method, descriptive_name, program,
//             return_code; nothing logged after the indication
//   program   "Method" = null, "program" = the sixth argument, last four in
//             the order program, return_code, Method, descriptive_name;
//             "Send indication of the event ZRV_ActionResult" logged after the
//             indication, whether it succeeded or not
//
// Failures (no class, no instance, no provider sink, a refused indication) are
// logged here and never reported to the caller: an action's own result does
// not depend on whether its result event could be sent. Every reference and
// string obtained is released before the call returns, on every path.
//
// The caller keeps ownership of every argument. Texts passed as nullptr are
// absent and sent as null. Runs on the caller's thread; takes no lock.
#pragma once

#include <cstdint>
#include <string>

class CTemporarySink;

namespace actions {

// The result codes written into "MsgInfo".
inline constexpr int kResultSucceeded = 900;  // the action ran successfully
inline constexpr int kResultFailed = 901;     // the action failed

enum class ResultVariant {
  kBuiltIn,  // CImplBuiltInActionInfo: `what` is the method name
  kProgram,  // CImplProgramInfo: `what` is the program's command text
};

// Indicates one ZRV_ActionResult event through `sink`'s services (the
// services given to Start) with `sink`'s profile name. A sink without services
// is treated as a repository without the class: the class message is logged
// and nothing is sent.
void NotifyActionResult(ResultVariant variant, CTemporarySink* sink, const std::string& event_id,
                        const std::string& event_key, int result_code, const char* model_name,
                        const char* what, const char* descriptive_name, std::int32_t return_code,
                        const char* severity);

}  // namespace actions
