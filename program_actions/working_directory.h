// ScopedWorkingDirectory: the working directory of one program run.
//
// A child starts in the agent's current directory, so a program action
// chooses its program's directory by changing the process's current
// directory for the duration of the run. The guard is built from the value of
// "ZMO_HALBERD_DIR" (null or empty: the guard does nothing and logs nothing).
// Otherwise it remembers the current directory, changes to the given one when
// they differ (byte for byte) and logs which of the two happened; Restore, or
// the destructor on any other path, changes back to the remembered directory
// and logs that, once.
//
// Neither the change nor the restore is checked: a directory that cannot be
// entered leaves the program in the unchanged directory, and a remembered
// directory that could not be read (removed, or longer than PATH_MAX) is
// logged as '' and cannot be restored.
//
// Not thread-safe, and it cannot be: the current directory is process-wide,
// and other threads see the program's directory while a guard is active.
#pragma once

#include <string>

namespace program_actions {

class ScopedWorkingDirectory {
 public:
  explicit ScopedWorkingDirectory(const char* directory);
  ~ScopedWorkingDirectory() { Restore(); }
  ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
  ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

  // Changes back to the remembered directory; does nothing the second time,
  // or when the guard was built without a directory.
  void Restore();

  bool IsActive() const { return m_bActive; }
  const std::string& GetSavedDirectory() const { return m_strSaved; }

 private:
  bool m_bActive = false;
  std::string m_strSaved;
};

}  // namespace program_actions
