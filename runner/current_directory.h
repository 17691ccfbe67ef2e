// The agent process's current directory, read and changed as text.
//
// Process-wide state: a change is seen by every thread at once. Callers that
// change it for the duration of some work restore it themselves.
#pragma once

#include <string>

namespace runner {

// The current directory, or an empty text when it cannot be read (a directory
// longer than PATH_MAX, or one that was removed).
std::string GetCurrentDirectoryText();

// True when the current directory is now `directory`.
bool SetCurrentDirectoryText(const std::string& directory);

}  // namespace runner
