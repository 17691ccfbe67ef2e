// The service's log: one entry per message, for the library's lines (through
// the host framework's logger) and the service's own.
//
// Where it goes: when standard error is connected to journald (its device
// and inode are the ones $JOURNAL_STREAM names, as systemd sets it for a
// service), every entry is sent with sd_journal_sendv, with PRIORITY=,
// MESSAGE= ("component: message"), SYSLOG_IDENTIFIER=actionmanagerd and the
// entry's own fields (an action outcome's PROFILE=, EVENT_ID=, RULE=,
// ACTION=, RESULT=, ...). Elsewhere, and for an entry journald refused, it is
// a line on standard error in the form journald reads from a service: "<P>"
// syslog priority prefix, "component: message", line breaks in the message
// written as "\n"; the fields are not written.
//
// Priorities are syslog's (3 err, 4 warning, 5 notice, 6 info, 7 debug). The
// library's levels say how a line is produced, not how much it matters (its
// level 0 holds failures, held-back actions and method announcements alike),
// so its lines are the trace behind the service's own per-action lines
// (service/action_log.h), which carry the verdict: level 0 is info (6);
// levels 1 (per-event detail), 2 (a program's outcome) and 3 (load, unload,
// notices) are debug (7).
//
// The threshold (the configuration's "log_level") is a priority: entries of a
// higher number are dropped before they are formatted, the library's too
// (the host logger's own threshold is set to match). Until it is set, every
// entry is kept.
//
// Every line is written with one write(2), so lines of concurrent threads
// never interleave. A tee (the results stream's log lines) may be installed;
// it is called after the entry is written, with the logger's lock held for
// library lines, so it must not log. Thread-safe.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace service {

inline constexpr int kPriorityErr = 3;
inline constexpr int kPriorityWarning = 4;
inline constexpr int kPriorityNotice = 5;
inline constexpr int kPriorityInfo = 6;
inline constexpr int kPriorityDebug = 7;

// The priority of a library log level (negative levels: info; above 3: debug).
int PriorityOfLevel(int level);
// The host logger's threshold that lets through exactly the library levels
// whose priority is at most `priority` (-1: none).
int LevelThresholdFor(int priority);

// "<P>component: message\n", with line breaks inside the message written as
// "\n" so that one message stays one journal entry.
std::string JournalLine(int priority, std::string_view component, std::string_view message);

// A structured field of an entry: NAME (upper case, digits, '_') and value.
struct LogField {
  std::string name;
  std::string value;
};

// The NAME=value items of an entry as sent to journald.
std::vector<std::string> JournalFields(int priority, std::string_view component,
                                       std::string_view message, std::span<const LogField> fields);

// Whether `fd` is the stream that `journal_stream` ($JOURNAL_STREAM:
// "DEVICE:INODE", both decimal) names. False for a null or malformed value.
bool IsJournalStream(const char* journal_stream, int fd);

// Receives every entry after it is written: priority, component, message.
using LogTee =
    std::function<void(int priority, const std::string& component, const std::string& message)>;

// Sends the host framework logger's lines to the log, and decides once
// between journald and standard error. Call before the library is loaded,
// so that its load line goes the same way.
void InstallJournalLog();
// Replaces the tee (an empty function removes it).
void SetLogTee(LogTee tee);

// Sets the priority threshold (0 to 7) for this log and the host logger.
void SetLogThreshold(int priority);
// Whether an entry of `priority` would be written now.
bool LogWants(int priority);

// The service's own entry, for component "actionmanagerd".
void Log(int priority, std::string_view message);
void Log(int priority, std::string_view message, std::span<const LogField> fields);

}  // namespace service
