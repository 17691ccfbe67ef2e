// CProbeRunner and CCommandRunner: run one command text and interpret its output.
//
// The runner splits the command into words, translates a few script forms into
// interpreter calls ("x.sh" -> sh "x.sh", "x.pl" -> perl -S x.pl, "/bin/sh -c"
// -> sh -s), appends quoted extra arguments, prepares the input (none, standard
// input, or the wrapper file "qxscript.cmd" in the current directory), builds
// the child's environment, runs the command as a child process or through an
// in-process module, and reduces what it printed to one result line, one error
// line, a message text and a set of two-letter variables for the next run.
//
//   CCommandRunner runner(probe, commandLine, "", "FALSE", "UseArg");
//   std::string out, err;
//   int code = runner.Run(extraArgs, out, err, envMap);
//
// A runner may run more than once: each run advances the probe clock and
// passes the variables that the previous output set into the next environment.
// Not thread-safe: one thread uses a runner. Runs in "UseFile" mode share the
// fixed wrapper file name, so two of them must not run at once in one directory.
// Nothing throws; `Run` always sets both out texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/env_block.h"
#include "runner/environment_map.h"
#include "runner/probe_state.h"

namespace runner {

// Result codes of CCommandRunner::Run, besides 0 (success), the child's own
// non-zero exit code, and the system error code of a failed wait (ETIMEDOUT
// when the child ran too long).
enum RunResult : int {
  kRunOk = 0,
  kRunErrorOutput = 1,       // exit 0 but error output, or a wait that failed without a code
  kRunNoOutput = 1001,       // nothing captured: not started, or module/entry point missing
  kRunModuleError = 1002,    // an in-process module returned an error text
  kRunWrapperFailed = 1003,  // the wrapper file could not be written
};

// What Run keeps of a child's streams: each buffer starts at its initial size
// and grows in steps of it up to its maximum; what the child writes beyond
// that is read and discarded.
inline constexpr std::int32_t kOutputCaptureInitial = 512;
inline constexpr std::int32_t kOutputCaptureMaximum = 4096;
inline constexpr std::int32_t kErrorCaptureInitial = 256;
inline constexpr std::int32_t kErrorCaptureMaximum = 2048;

class CProbeRunner {
 public:
  explicit CProbeRunner(std::string probe_name) : m_strProbe(std::move(probe_name)) {}
  virtual ~CProbeRunner() = default;
  CProbeRunner(const CProbeRunner&) = delete;
  CProbeRunner& operator=(const CProbeRunner&) = delete;

  const std::string& ProbeName() const { return m_strProbe; }
  ProbeState& State() { return m_State; }
  const ProbeState& State() const { return m_State; }

 protected:
  std::string m_strProbe;
  ProbeState m_State;
};

class CCommandRunner : public CProbeRunner {
 public:
  // `library_flag` "TRUE" runs the command through an in-process module (first
  // word: module, second: entry point). `input_mode`: "UseFile" writes the
  // input to the wrapper file, "UseStdin" feeds it to standard input, anything
  // else ("UseArg") gives it to no one. Both texts are compared exactly.
  CCommandRunner(std::string probe_name, std::string_view command, std::string input,
                 std::string_view library_flag, std::string_view input_mode);

  // Runs the command with `extra_arguments` appended (quoted) and `environment`
  // laid over the agent's environment. See RunResult for the codes. `output`
  // is the first plain line of standard output ("" when none); `error` the
  // first line of the error output, "<STDOUT EMPTY>" when nothing at all was
  // captured, "FILE?" when the wrapper file could not be written.
  int Run(const std::vector<std::string>& extra_arguments, std::string& output, std::string& error,
          const EnvironmentMap& environment);

  // The steps of Run, public for tests and tools.
  enum class TokenKind { kPlaceholder, kShell, kShellScript, kPerlScript, kShellOption, kPlain };
  TokenKind ClassifyToken(const std::string& token, int index) const;
  // Writes the command line (at most 511 characters; the rest is cut off) and
  // returns the number of extra arguments.
  int BuildCommandLine(std::string& line, const std::vector<std::string>& extra_arguments);
  // `output` receives the first plain line, or stays unset when there is none.
  void ParseStandardOutput(std::string_view text, std::optional<std::string>& output);
  void ParseStandardError(std::string_view text, std::optional<std::string>& error);
  // Fills a cleared block: the agent's environment, `environment` laid over it,
  // "CHILD_OF_KAVDR" removed, the previous output's variables and the probe
  // variables (LASTSTAMP, PROBE, TIMESTAMP, TIME, PREV_VALUE, EFFECTIVE_VALUE,
  // MONITOR_ID, INSTALLDIR). Advances the probe clock.
  void BuildEnvironment(CEnvBlock& block, const char* install_directory,
                        const EnvironmentMap& environment);

  const std::vector<std::string>& Tokens() const { return m_lstTokens; }
  std::int32_t LibraryFlag() const { return m_bLibrary; }
  std::int32_t InputMode() const { return m_nInputMode; }
  std::int32_t ShellFlag() const { return m_bShell; }

 private:
  std::vector<std::string> m_lstTokens;
  std::string m_strInput;
  std::int32_t m_bShell = 0;
  std::int32_t m_bLibrary = 0;
  std::int32_t m_nInputMode = 0;
};

}  // namespace runner
