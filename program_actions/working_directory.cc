#include "program_actions/working_directory.h"

#include "host/trace_utils.h"
#include "runner/current_directory.h"

namespace program_actions {
namespace {
constexpr char kComponent[] = "ActionManager";
}  // namespace

ScopedWorkingDirectory::ScopedWorkingDirectory(const char* directory) {
  if (directory == nullptr || *directory == '\0') return;
  m_bActive = true;
  m_strSaved = runner::GetCurrentDirectoryText();
  if (m_strSaved != directory) {
    CTraceUtils::GetInstance()->LogMsg(
        1, kComponent, "CImplProgramInfo::Execute: Changing CurrentDirectory from '%s' to '%s'",
        m_strSaved, directory);
    // Unchecked on purpose: a directory that cannot be entered leaves the
    // program where the agent is, and the run still happens.
    (void)runner::SetCurrentDirectoryText(directory);
  } else {
    CTraceUtils::GetInstance()->LogMsg(
        1, kComponent, "CImplProgramInfo::Execute: CurrentDirectory is already '%s'", m_strSaved);
  }
}

void ScopedWorkingDirectory::Restore() {
  if (!m_bActive) return;
  m_bActive = false;
  // Set back even when nothing was changed: the program may have been given
  // the agent's directory, but a module run in-process could have moved it.
  (void)runner::SetCurrentDirectoryText(m_strSaved);
  CTraceUtils::GetInstance()->LogMsg(
      1, kComponent, "CImplProgramInfo::Execute: CurrentDirectory restored to '%s'", m_strSaved);
}

}  // namespace program_actions
