// In-process modules: commands run by calling an entry point of a shared
// library loaded into the agent, instead of starting a child process.
//
// Form A: a command line that begins with "vobrik" calls the entry point
// "vobrik" of the module "vobrik" with the whole command line. Form B: the
// first word of the command line names the module, the second the entry
// point, which receives the extra arguments as a count and a null-terminated
// array. Both receive two 1024-byte text buffers (output and error, starting
// empty) and the run's environment block with its length (all NULs counted).
// The entry point returns 0 for success (its output text is kept) or anything
// else (its error text is kept).
//
// The buffers are left in the record's output and error channels exactly where
// captured pipe output would be, so the caller treats both kinds of run alike.
//
// Loaded libraries live in one process-wide list: names are compared without
// regard to ASCII case, a library is loaded on first use and never unloaded,
// and failed loads and failed entry point lookups are remembered (a module
// that was missing stays missing until the process restarts). The list is
// safe to use from several threads; entry points run on the calling thread,
// outside the list's lock, with no time limit. A module's initialisers must
// not run in-process commands themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runner/child_process.h"

namespace runner {

// Entry point signatures (C calling convention).
extern "C" {
using FormAEntryPoint = std::int32_t (*)(const char* command_line, char* output, char* error,
                                         const char* environment, std::int32_t environment_length);
using FormBEntryPoint = std::int32_t (*)(std::int32_t argument_count, const char* const* arguments,
                                         char* output, char* error, const char* environment,
                                         std::int32_t environment_length);
}

inline constexpr std::size_t kModuleTextSize = 1024;

enum class InProcessForm { kA, kB };

enum InProcessResult : int {
  kInProcessCalled = 0,       // the entry point ran; see the record's channels
  kInProcessNoEntry = 1,      // no list entry could be made (out of memory)
  kInProcessUnavailable = 5,  // the library or the entry point is not available
};

// Runs `command_line` through a module. In form B, `arguments` holds
// `argument_count` texts followed by a null entry. A form B command line of
// fewer than two words names no entry point: it gives kInProcessUnavailable
// without loading anything, as a missing entry point would.
// On kInProcessCalled the record's output channel holds the output text (entry
// point returned 0) or its error channel holds the error text (other result);
// the other channel holds none. Lengths stay 0. Otherwise the record is untouched.
int RunInProcess(const std::string& command_line, std::int32_t argument_count,
                 const char* const* arguments, ChildProcess& record, InProcessForm form);

// Number of modules in the process-wide list, loaded or failed (for
// diagnostics and tests).
std::size_t LoadedLibraryCount();

}  // namespace runner
