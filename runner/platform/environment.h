// Read access to the agent process's environment.
//
// Not synchronised with setenv/putenv: like getenv, callers must not run while
// another thread changes the environment.
#pragma once

namespace runner::platform {

// The agent's environment as a null-terminated array of NAME=value texts, or
// null when the process has none.
char* const* ProcessEnvironment();

}  // namespace runner::platform
