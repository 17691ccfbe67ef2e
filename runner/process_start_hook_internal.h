// The runner's side of runner/process_start_hook.h.
#pragma once

#include <memory>

#include "runner/process_start_hook.h"

namespace runner {

// The hook in force, or null; the caller keeps it alive for one start.
std::shared_ptr<const AmProcessStartHook> CurrentProcessStartHook();

}  // namespace runner
