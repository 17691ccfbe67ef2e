// Loading shared libraries for in-process commands.
//
// A module name that contains "/" or ends in ".so" is opened as given;
// otherwise lib<name>.so and then <name>.so are tried through the loader's
// search path. Libraries are loaded with every symbol bound at once and are
// never unloaded. Thread-safe (the dynamic loader serialises itself).
#pragma once

#include <string>

namespace runner::platform {

// The module handle, or null when no candidate could be loaded.
void* OpenModule(const std::string& name);

// The address of `symbol` (exact name) in `module`, or null.
void* FindSymbol(void* module, const std::string& symbol);

}  // namespace runner::platform
