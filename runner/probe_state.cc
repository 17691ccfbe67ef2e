#include "runner/probe_state.h"

#include <sstream>

namespace runner {

std::string ProbeValueText(const ProbeValue* value) {
  if (value == nullptr) return {};
  std::ostringstream out;
  value->WriteText(out);
  std::string text = std::move(out).str();
  // Values are formatted into a 512-byte scratch buffer: longer texts are cut.
  if (text.size() > 511) text.resize(511);
  return text;
}

}  // namespace runner
