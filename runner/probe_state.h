// ProbeState: what a command runner remembers from one run to the next.
//
// The probe clock (current and previous run time), the probe's previous and
// effective value (never set in this system, but writable as text when a
// future probe sets them), the "#" messages of the latest output, and the
// two-letter variables that the latest output set and the next run's
// environment receives. Owned by its CProbeRunner; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "runner/env_block.h"

namespace runner {

// A probe value that can write itself as text.
class ProbeValue {
 public:
  virtual ~ProbeValue() = default;
  virtual void WriteText(std::ostream& out) const = 0;
};

// The value's text as the environment receives it: at most 511 bytes, empty
// for no value.
std::string ProbeValueText(const ProbeValue* value);

struct ProbeState {
  std::int32_t current_time = 0;   // seconds since 1970 (UTC) of the latest run; 0 before it
  std::int32_t previous_time = 0;  // of the run before; 0 before the second run
  std::unique_ptr<ProbeValue> previous_value;
  std::unique_ptr<ProbeValue> effective_value;
  std::string message_text;
  CEnvBlock variables;
};

}  // namespace runner
