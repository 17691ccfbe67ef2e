#include <unistd.h>

#include "runner/platform/environment.h"

namespace runner::platform {

char* const* ProcessEnvironment() { return environ; }

}  // namespace runner::platform
