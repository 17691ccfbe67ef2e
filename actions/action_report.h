// What an action's run reported, handed from the executors to the rule that
// ran them without passing through the executors' fixed interface (whose
// Execute answers only 1 or 0).
//
// The rule opens a report (ScopedActionReport) on its thread around one
// executor's Execute; NotifyActionResult writes the result event's variant,
// code and return value into the report open on the calling thread, if any.
// Reports nest: a scope restores the one it replaced. Thread-confined: a
// report is only ever written by the thread that opened it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "actions/result_event.h"

namespace actions {

struct ActionReport {
  bool indicated = false;  // the result event reached the provider sink
  ResultVariant variant = ResultVariant::kBuiltIn;
  int result_code = 0;
  std::int32_t return_code = 0;
  // What the program or the method's command printed, as captured (bounded
  // by the capture, not here).
  std::string output;
  std::string error;
};

class ScopedActionReport {
 public:
  explicit ScopedActionReport(ActionReport* report);
  ~ScopedActionReport();
  ScopedActionReport(const ScopedActionReport&) = delete;
  ScopedActionReport& operator=(const ScopedActionReport&) = delete;

 private:
  ActionReport* previous_;
};

// Writes into the report open on this thread; does nothing when none is.
void RecordActionResult(ResultVariant variant, int result_code, std::int32_t return_code);

// Adds to the output and error text of the report open on this thread;
// does nothing when none is.
void RecordActionOutput(std::string_view output, std::string_view error);

}  // namespace actions
