#include "runner/command_runner.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "runner/child_process.h"
#include "base/crc32.h"
#include "runner/in_process.h"
#include "base/ascii.h"

namespace runner {
namespace {

constexpr char kChildMarker[] = "CHILD_OF_KAVDR";
constexpr char kPlaceholder[] = "_-COMMAND-_";
constexpr char kWrapperFile[] = "qxscript.cmd";
constexpr char kInstallDirectory[] = "c:\\Winnt\\system32";
constexpr char kFormAPrefix[] = "vobrik";
constexpr std::size_t kLongestCommandLine = 511;

// Appends to a command line, cutting off whatever would pass the longest line.
class LineWriter {
 public:
  explicit LineWriter(std::string& line) : line_(line) { line_.clear(); }
  void Put(std::string_view text) {
    const std::size_t room = kLongestCommandLine - line_.size();
    line_.append(text.substr(0, room));
  }
  void Put(char c) { Put(std::string_view(&c, 1)); }

 private:
  std::string& line_;
};

// Writes the input text as the wrapper file in the current directory. A file
// that could be created but not completely written is removed again: running
// half a script would be worse than not running it.
bool WriteWrapperFile(const std::string& text) {
  std::FILE* file = std::fopen(kWrapperFile, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  std::remove(kWrapperFile);
  return false;
}

std::string_view TrimSpace(std::string_view word) {
  while (!word.empty() && base::IsAsciiSpace(word.front())) word.remove_prefix(1);
  while (!word.empty() && base::IsAsciiSpace(word.back())) word.remove_suffix(1);
  return word;
}

}  // namespace

CCommandRunner::TokenKind CCommandRunner::ClassifyToken(const std::string& token, int index) const {
  if (token == kPlaceholder) return TokenKind::kPlaceholder;
  if (index != 0) {
    const bool shell_option = m_nInputMode == 0 && m_bShell != 0 && index == 1 && token == "-c";
    return shell_option ? TokenKind::kShellOption : TokenKind::kPlain;
  }
  if (m_nInputMode != 0) return TokenKind::kPlain;
  if (token == "/bin/sh") return TokenKind::kShell;
  if (token.size() > 3) {
    const std::string_view suffix = std::string_view(token).substr(token.size() - 3);
    if (base::EqualsIgnoreCase(suffix, ".sh")) return TokenKind::kShellScript;
    if (base::EqualsIgnoreCase(suffix, ".pl")) return TokenKind::kPerlScript;
  }
  return TokenKind::kPlain;
}

int CCommandRunner::BuildCommandLine(std::string& line,
                                     const std::vector<std::string>& extra_arguments) {
  m_bShell = 0;
  LineWriter out(line);
  int index = 0;
  for (const std::string& token : m_lstTokens) {
    switch (ClassifyToken(token, index)) {
      case TokenKind::kPlaceholder:
        if (m_nInputMode == 2) out.Put("qxscript.cmd ");
        ++index;
        break;
      case TokenKind::kShell:
        out.Put("sh");
        m_bShell = 1;
        break;
      case TokenKind::kShellScript:
        out.Put("sh \"");
        out.Put(token);
        out.Put('"');
        m_bShell = 1;
        break;
      case TokenKind::kPerlScript:
        out.Put("perl -S ");
        out.Put(token);
        break;
      case TokenKind::kShellOption:
        out.Put("-s");
        break;
      case TokenKind::kPlain:
        out.Put(token);
        break;
    }
    out.Put(' ');
    ++index;
  }
  for (const std::string& argument : extra_arguments) {
    out.Put('"');
    for (char c : argument) {
      if (c != '"') out.Put(c);
    }
    // Keeps a final backslash from escaping the closing quote.
    if (!argument.empty() && argument.back() == '\\') out.Put('\\');
    out.Put("\" ");
  }
  return static_cast<int>(extra_arguments.size());
}

void CCommandRunner::ParseStandardOutput(std::string_view text,
                                         std::optional<std::string>& output) {
  std::string messages;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (line.front() == '#') {
      messages.append(line.substr(1));
      messages += '\n';
    } else if (line.size() > 2 && line[2] == '=') {
      m_State.variables.SetEntry(std::string(line).c_str());
    } else if (!output) {
      output.emplace(line);
    }
  }
  m_State.message_text = std::move(messages);
}

void CCommandRunner::ParseStandardError(std::string_view text, std::optional<std::string>& error) {
  // Line feeds at the very start stay; the first one after other text ends it.
  const std::size_t first_text = text.find_first_not_of('\n');
  const std::size_t cut =
      first_text == std::string_view::npos ? text.size() : text.find('\n', first_text);
  error.emplace(text.substr(0, cut));
}

int CCommandRunner::Run(const std::vector<std::string>& extra_arguments, std::string& output,
                        std::string& error, const EnvironmentMap& environment) {
  CEnvBlock block;
  block.Reserve(1024);
  ChildProcess record;
  record.environment = &block;
  record.output.enabled = 1;
  record.output.initial_size = kOutputCaptureInitial;
  record.output.maximum_size = kOutputCaptureMaximum;
  record.error.enabled = 1;
  record.error.initial_size = kErrorCaptureInitial;
  record.error.maximum_size = kErrorCaptureMaximum;

  BuildEnvironment(block, kInstallDirectory, environment);
  std::string line;
  const int argument_count = BuildCommandLine(line, extra_arguments);

  if (!m_strInput.empty()) {
    if (m_nInputMode == 2) {
      if (!WriteWrapperFile(m_strInput)) {
        output.clear();
        error = "FILE?";
        return kRunWrapperFailed;
      }
    } else {
      // The terminating NUL is part of what the child reads.
      record.input.enabled = 1;
      record.input.input = m_strInput.c_str();
      record.input.length = static_cast<std::int32_t>(m_strInput.size()) + 1;
    }
  }

  std::optional<std::string> output_text;
  std::optional<std::string> error_text;
  int code = 0;
  if (line.starts_with(kFormAPrefix)) {
    code = RunInProcess(line, 0, nullptr, record, InProcessForm::kA);
  } else if (m_bLibrary != 0) {
    std::vector<const char*> arguments;
    arguments.reserve(extra_arguments.size() + 1);
    for (const std::string& argument : extra_arguments) arguments.push_back(argument.c_str());
    arguments.push_back(nullptr);
    code = RunInProcess(line, argument_count, arguments.data(), record, InProcessForm::kB);
  } else {
    code = StartChildProcess(line, record);
  }

  if (code <= 0) {
    code = WaitChildProcess(record);
    if (CaptureBuffer captured = std::move(record.output.data)) {
      ParseStandardOutput(captured.get(), output_text);
    }
    if (CaptureBuffer captured = std::move(record.error.data)) {
      // The last byte goes (normally the final line feed); an in-process error
      // text has length 0 and keeps all of it.
      if (record.error.length != 0) captured.get()[record.error.length - 1] = '\0';
      ParseStandardError(captured.get(), error_text);
      if (!error_text->empty() && code == 0) code = kRunModuleError;
    }
  }

  std::remove(kWrapperFile);  // also a stale one from an earlier run; a missing file is fine

  if (!output_text) {
    output.clear();
    if (!error_text) {
      error = "<STDOUT EMPTY>";
      code = kRunNoOutput;
    } else {
      error = std::move(*error_text);
    }
  } else {
    output = std::move(*output_text);
    error = error_text ? std::move(*error_text) : std::string();
  }
  return code;
}

CCommandRunner::CCommandRunner(std::string probe_name, std::string_view command, std::string input,
                               std::string_view library_flag, std::string_view input_mode)
    : CProbeRunner(std::move(probe_name)), m_strInput(std::move(input)) {
  std::size_t start = 0;
  while (start <= command.size()) {
    std::size_t end = command.find(' ', start);
    if (end == std::string_view::npos) end = command.size();
    if (end > start) m_lstTokens.emplace_back(TrimSpace(command.substr(start, end - start)));
    start = end + 1;
  }
  m_bLibrary = library_flag == "TRUE" ? 1 : 0;
  m_nInputMode = input_mode == "UseFile" ? 2 : input_mode == "UseStdin" ? 1 : 0;
}

void CCommandRunner::BuildEnvironment(CEnvBlock& block, const char* install_directory,
                                      const EnvironmentMap& environment) {
  block.LoadFromProcess();
  for (const auto& [name, value] : environment) {
    // The agent's variable of that name, in whatever case, gives way.
    block.RemoveName(name.c_str());
    block.SetText(name.c_str(), value.c_str());
  }
  block.RemoveName(kChildMarker);

  m_State.previous_time = m_State.current_time;
  m_State.current_time = static_cast<std::int32_t>(std::time(nullptr));
  block.MergeFrom(m_State.variables);

  // From here on SetEntry replaces only an entry of exactly the same name.
  block.SetNumber("LASTSTAMP", m_State.previous_time);
  block.SetText("PROBE", m_strProbe.c_str());
  block.SetNumber("TIMESTAMP", m_State.current_time);
  block.SetNumber("TIME", m_State.current_time);
  block.SetText("PREV_VALUE", ProbeValueText(m_State.previous_value.get()).c_str());
  block.SetText("EFFECTIVE_VALUE", ProbeValueText(m_State.effective_value.get()).c_str());
  char crc[16];
  std::snprintf(crc, sizeof crc, "%" PRIx32, base::Crc32(m_strProbe));
  block.SetText("MONITOR_ID", crc);
  block.SetText("INSTALLDIR", install_directory);
}

}  // namespace runner
