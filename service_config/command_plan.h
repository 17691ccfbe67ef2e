// What a command-backed method runs, read from the configuration: the
// argument templates with their {Name} placeholders, the environment names
// of the values and the checks made when the configuration is read. Pure
// functions of the configuration, so that the configuration's reader (and
// `amctl check`, which uses it) needs neither the runner nor the daemon;
// service/command_method.h runs what is prepared here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "wbem/types.h"

namespace service {

inline constexpr std::string_view kKeyPrefix = "AM_KEY_";
inline constexpr std::string_view kInPrefix = "AM_IN_";

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
struct CommandPlan {
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
                                  const std::filesystem::path& directory, CommandPlan* out,
                                  scenario::InputError* error);

}  // namespace service
