#include "runner/command_runner.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "runner/crc32.h"
#include "runner/text_util.h"

namespace runner {
namespace {

constexpr char kChildMarker[] = "CHILD_OF_KAVDR";

std::string_view TrimSpace(std::string_view word) {
  while (!word.empty() && IsAsciiSpace(word.front())) word.remove_prefix(1);
  while (!word.empty() && IsAsciiSpace(word.back())) word.remove_suffix(1);
  return word;
}

}  // namespace

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
  std::snprintf(crc, sizeof crc, "%" PRIx32, Crc32(m_strProbe));
  block.SetText("MONITOR_ID", crc);
  block.SetText("INSTALLDIR", install_directory);
}

}  // namespace runner
