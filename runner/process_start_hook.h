// A host's say over the start of a child process: the one seam through which
// a dry run sees every program the component would start without starting it.
//
// StartChildProcess (runner/child_process.h) is the single place where the
// component's programs become processes, and it holds everything the child
// would get: the argument vector as split from the command line, the whole
// environment block, the working directory and the bytes for standard input.
// A hook there therefore sees exactly what a real start passes to
// posix_spawn, after every transformation of the command (wrapper, script
// interpreters, quoting) and of the environment (event data, probe
// variables): nothing above it can forget a step, and nothing below it is
// left to run.
//
// The hook is called on the thread that starts the program, with no lock of
// the runner held. It answers one of two ways:
//   - std::nullopt: the program is started as usual (the hook only watched);
//   - a text: nothing is started, no descriptor is opened, and the run
//     proceeds as if a child had printed that text on standard output,
//     nothing on standard error, and exited with 0 (what a successful run
//     gives).
//
// A hook that throws keeps the program from starting: the start fails as
// for a program that cannot be run.
//
// In-process modules (runner/in_process.h) are not processes and do not
// pass through the hook.
//
// Setting and clearing the hook is thread-safe; a start that is already past
// the hook finishes with the hook it saw.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#define AM_RUNNER_EXPORT __attribute__((visibility("default")))

struct AmProcessStart {
  std::string command_line;              // the line the arguments were split from;
                                         // empty when started from an argument list
  std::vector<std::string> arguments;    // argv; arguments[0] is looked up on PATH
  std::vector<std::string> environment;  // the child's whole environment, NAME=VALUE
  std::string directory;                 // the child's working directory
  std::string input;                     // the bytes fed to its standard input
};

using AmProcessStartHook = std::function<std::optional<std::string>(const AmProcessStart&)>;

// Installs `hook` for every start from now on; an empty function removes it.
AM_RUNNER_EXPORT void AmSetProcessStartHook(AmProcessStartHook hook);
