#include "tools/log_control.h"

#include <string>
#include <vector>

#include "host/trace_utils.h"

namespace tools {
namespace {

struct HeldLine {
  int level;
  std::string component;
  std::string message;
};

// Constructed on first use: the hook below runs before this file's own
// static initialisers.
std::vector<HeldLine>& Held() {
  static std::vector<HeldLine> lines;
  return lines;
}

void HoldLogLines(int, char**, char**) {
  // The logger calls its sink under its own lock, one line at a time.
  CTraceUtils::GetInstance()->SetLineSink(
      [](int level, const std::string& component, const std::string& message) {
        Held().push_back({level, component, message});
      });
}

[[gnu::used, gnu::section(".preinit_array")]] void (*const kHoldLogLines)(int, char**,
                                                                          char**) = &HoldLogLines;

}  // namespace

void ShowLogLinesUpTo(int level) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  log->SetLineSink({});
  log->SetThreshold(level);
  std::vector<HeldLine> lines;
  lines.swap(Held());
  for (const HeldLine& line : lines) {
    log->LogMsg(line.level, line.component.c_str(), "%s", line.message);
  }
}

}  // namespace tools
