// Why the service refused or dropped an event, in one table: each reason's
// HTTP status, its metric label and its message, and the one result type the
// service's operations answer with (a Status: a reason, a message, and the
// place in the input it concerns), for requests as for its start and reloads.
//
// Refusals (a request or line turned away as a whole) count in
// actionmanagerd_events_rejected_total{reason}; drops (accepted, never
// processed) in actionmanagerd_events_dropped_total{profile,reason}. The
// labels are the metrics' documented values and never change.
#pragma once

#include <string>

namespace service {

enum class Reason {
  kNone,           // accepted
  kInvalid,        // the input is not an acceptable event (400)
  kTooLarge,       // a body or line over its limit (413)
  kQueueFull,      // a profile's queue has no room (503)
  kJournalFull,    // the journal is at its size limit (503)
  kJournalFailed,  // the journal cannot be written (503)
  kStopping,       // the daemon no longer accepts (503)
  kNoAlertInput,   // /v1/alertmanager without an "alertmanager" object (404, not counted)
  kNotReplayable,  // a journaled event nothing can process any more (dropped)
  kRaiseRefused,   // the repository refused to raise an accepted event (dropped)
  kNotSubscribed,  // the profile's component lost its subscription (dropped)
  kFailed,         // a start or reload step failed (logged; no client is told)
};

struct ReasonRow {
  Reason reason;
  int http_status;      // 0 for a drop, which no client is told
  const char* label;    // the metric label; "" when not counted
  const char* message;  // the message, when the Status gives none
  int retry_after;      // seconds, sent with 503
};

// The row of `reason`.
const ReasonRow& RowOf(Reason reason);

struct Status {
  Reason reason = Reason::kNone;
  std::string message;  // empty: the row's message
  std::string place;    // where in the input, for kInvalid

  static Status Ok() { return {}; }
  bool ok() const { return reason == Reason::kNone; }
  const ReasonRow& row() const { return RowOf(reason); }
  // The message a client or the log is given.
  std::string text() const { return message.empty() ? row().message : message; }
};

}  // namespace service
