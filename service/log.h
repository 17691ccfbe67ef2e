// The service's log: lines on standard error in the form journald reads from
// a service ("<P>" syslog priority prefix, one line per message), for the
// library's lines (through the host framework's logger) and the service's own.
//
// Library levels map to priorities as follows: 0 (failures, held-back
// actions) err (3); 1 (per-event detail) debug (7); 2 (a program's outcome)
// info (6); 3 (load, unload, notices) notice (5). Which library lines are
// written at all is the logger's threshold (the configuration's "log_level").
//
// Every line is written with one write(2), so lines of concurrent threads
// never interleave. A tee (the results stream's log lines) may be installed;
// it is called after the line is written, with the logger's lock held for
// library lines, so it must not log. Thread-safe.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace service {

inline constexpr int kPriorityErr = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;
inline constexpr int kPriorityDebug = 7;

// The priority of a library log level (anything else: notice).
int PriorityOfLevel(int level);

// "<P>component: message\n", with line breaks inside the message written as
// "\n" so that one message stays one journal entry.
std::string JournalLine(int priority, std::string_view component, std::string_view message);

// Receives every line after it is written: priority, component, message.
using LogTee = std::function<void(int priority, const std::string& component,
                                  const std::string& message)>;

// Sends the host framework logger's lines to standard error in journal form.
// Call before the library is loaded, so that its load line has that form too.
void InstallJournalLog();
// Replaces the tee (an empty function removes it).
void SetLogTee(LogTee tee);

// The service's own line, for component "actionmanagerd".
void Log(int priority, std::string_view message);

}  // namespace service
