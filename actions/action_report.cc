#include "actions/action_report.h"

namespace actions {
namespace {

thread_local ActionReport* t_report = nullptr;

}  // namespace

ScopedActionReport::ScopedActionReport(ActionReport* report) : previous_(t_report) {
  t_report = report;
}

ScopedActionReport::~ScopedActionReport() { t_report = previous_; }

void RecordActionResult(ResultVariant variant, int result_code, std::int32_t return_code) {
  if (t_report == nullptr) return;
  t_report->indicated = true;
  t_report->variant = variant;
  t_report->result_code = result_code;
  t_report->return_code = return_code;
}

void RecordActionOutput(std::string_view output, std::string_view error) {
  if (t_report == nullptr) return;
  t_report->output += output;
  t_report->error += error;
}

}  // namespace actions
