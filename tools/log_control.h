// Which of the library's log lines amctl shows on standard error.
//
// libActionManager.so logs its load ("Initializing ActionManager.dll",
// level 3) while the loader runs its initialisers, before main and before the
// command line says what the user wants to see. amctl therefore holds back
// every line logged before ShowLogLinesUpTo: a function of the executable's
// pre-initialisation array, which the loader runs before any library's
// initialiser, installs a holding line sink. The library's own behaviour is
// unchanged; only where its lines go is decided here.
//
// Compiled into amctl only (its pre-initialisation hook must belong to the
// executable). Call ShowLogLinesUpTo once, from main, before any other
// thread logs.
#pragma once

namespace tools {

// Restores the logger's standard error output, drops from now on every line
// above `level`, and writes the held-back lines at or below it.
void ShowLogLinesUpTo(int level);

}  // namespace tools
