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
#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "wbem/types.h"

namespace service {

inline constexpr HRESULT kCommandNotFound = static_cast<HRESULT>(0x80070002);
inline constexpr HRESULT kCommandNotPermitted = static_cast<HRESULT>(0x80070005);
inline constexpr HRESULT kCommandTimedOut = static_cast<HRESULT>(0x800705B4);
inline constexpr HRESULT kCommandAborted = static_cast<HRESULT>(0x8007042B);

inline constexpr int kMaxLoggedLines = 100;

// One argument of a command: literal text and placeholders, in order.
struct CommandPiece {
  bool placeholder = false;
  std::string text;  // the literal text, or the placeholder's name
  bool operator==(const CommandPiece&) const = default;
};
using CommandArgument = std::vector<CommandPiece>;

// Cuts one argument into pieces. False with `*message` for a lone "{" or
// "}", an empty "{}" or a placeholder that is not closed.
[[nodiscard]] bool ParseCommandArgument(std::string_view text, CommandArgument* out,
                                        std::string* message);

// The environment variable of value `name`: `prefix` ("AM_KEY_" or "AM_IN_")
// and the name in upper case, each byte other than A-Z, 0-9 and _ written as
// _ ("Unit-Name" gives AM_IN_UNIT_NAME).
std::string CommandVariable(std::string_view prefix, std::string_view name);

// Control bytes, DEL and bytes that are not valid UTF-8 as \xNN, a backslash
// as \\; everything else as it is.
std::string EscapeOutputLine(std::string_view line);

// A command made ready to run.
struct CommandSpec {
  std::string label;  // "Service.Restart", for the log
  std::vector<CommandArgument> argv;
  std::vector<std::string> keys;  // the class's key properties
  std::vector<std::pair<std::string, CIMTYPE>> in;  // the method's in-parameters
  int timeout_seconds = 30;
  std::int64_t max_output_bytes = 65536;
  std::filesystem::path directory;  // the program's working directory
};

// The key properties of `cls`, its own and those of its ancestors among
// `classes`.
std::vector<std::string> ClassKeys(const std::vector<scenario::ScenarioClass>& classes,
                                   const scenario::ScenarioClass& cls);

// Checks `method`'s command (which must be set) against the names it may
// use: every placeholder must name exactly one key or in-parameter of a type
// with a text form, two names must not share a variable, and ReturnValue must
// be an integer. False with the place (`method.path`.command[i], ...).
[[nodiscard]] bool PrepareCommand(const scenario::ScenarioClass& cls,
                                  const scenario::ScenarioMethod& method,
                                  std::vector<std::string> keys,
                                  const std::filesystem::path& directory, CommandSpec* out,
                                  scenario::InputError* error);

class CommandMethods {
 public:
  CommandMethods();
  ~CommandMethods();
  CommandMethods(const CommandMethods&) = delete;
  CommandMethods& operator=(const CommandMethods&) = delete;

  // The provider that runs `spec`; it refers to this object.
  repository::MethodProvider Provider(CommandSpec spec);

  // From now on no command starts, and every running one is ended: its
  // process group is killed and its call fails with WBEM_E_SHUTTING_DOWN.
  // Returns at once; the calls end on their own threads.
  void StopAll();

 private:
  HRESULT Run(const CommandSpec& spec, repository::MethodCall& call);

  std::atomic<bool> stopped_{false};
  int cancel_fd_ = -1;  // an eventfd, readable once StopAll ran
};

}  // namespace service
