// Methods backed by commands: a configured method whose provider runs a
// program with the call's values, through the process runner, and answers
// with its exit status as ReturnValue (docs/service.md, "Methods that run a
// command").
//
//   "Restart": {"in": {"Reason": "string"}, "out": {"ReturnValue": "uint32"},
//               "command": ["/usr/bin/systemctl", "restart", "{Name}"],
//               "timeout_seconds": 30, "max_output_bytes": 65536}
//
// Values never meet a shell: the command is an argument list, and each
// {Name} in an argument is replaced by the text of the key or in-parameter
// Name (names ignore case; {{ and }} stand for braces). A value therefore
// always stays inside the argument it was written in. The program itself
// (the first element) takes no placeholder, so an event can never choose
// what runs. Every value also goes into the child's environment as
// AM_KEY_<NAME> or AM_IN_<NAME> (see CommandVariable).
//
// Value texts: a key's text as the object path carries it; an in-parameter's
// as the host framework's DecodeVariant writes it (wbem::FormatVariant),
// except that a uint32, which travels in a signed 32-bit variant, is written
// unsigned (4000000000, not -294967296).
// A placeholder whose value is null (an in-parameter the action left unset, a
// key of a class call) fails the call rather than run the program with an
// empty argument it did not expect; a null value no placeholder uses only
// leaves its variable unset.
//
// A call fails (the built-in action then reports 901 with this HRESULT as its
// return code) when:
//   the program is not found                    0x80070002 kCommandNotFound
//   it is not executable (or not permitted)     0x80070005 kCommandNotPermitted
//   it cannot be started for another reason     0x80041004 WBEM_E_PROVIDER_FAILURE
//   it runs past timeout_seconds                0x800705B4 kCommandTimedOut
//   a signal that the daemon did not send ends it  0x8007042B kCommandAborted
//   the daemon stops while it runs, or before   0x80041033 WBEM_E_SHUTTING_DOWN
//   a placeholder's value is null               0x80041028 WBEM_E_ILLEGAL_NULL
//   a value holds a NUL byte                    0x80041008 WBEM_E_INVALID_PARAMETER
// Otherwise the call succeeds with ReturnValue = the exit status (0 to 255),
// whatever the program wrote to its error stream. On a time-out or a stop
// the child's whole process group is killed.
//
// Standard output and error are captured, each up to max_output_bytes (0:
// nothing is kept), and logged through the daemon's log, one line per output
// line, escaped (control bytes and invalid UTF-8 as \xNN, backslash doubled),
// at most kMaxLoggedLines lines per stream; the output is never parsed.
//
// Threads: a provider runs on the thread that calls ExecMethod (the profile's
// delivery thread) and blocks it for the run, like a program action; runs of
// different profiles proceed side by side. CommandMethods is thread-safe and
// must outlive every provider it made.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repository/provider.h"
#include "service_config/command_plan.h"

namespace service {

class CommandMethods {
 public:
  CommandMethods();
  ~CommandMethods();
  CommandMethods(const CommandMethods&) = delete;
  CommandMethods& operator=(const CommandMethods&) = delete;

  // The provider that runs `plan`; it refers to this object.
  repository::MethodProvider Provider(CommandPlan plan);

  // From now on no command starts, and every running one is ended: its
  // process group is killed and its call fails with WBEM_E_SHUTTING_DOWN.
  // Returns at once; the calls end on their own threads.
  void StopAll();

 private:
  HRESULT Run(const CommandPlan& plan, repository::MethodCall& call);

  std::atomic<bool> stopped_{false};
  int cancel_fd_ = -1;  // an eventfd, readable once StopAll ran
};

}  // namespace service
