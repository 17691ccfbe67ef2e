// The one way events get in, and the one owner of their accounting.
//
// HTTP (/v1/events, /v1/alertmanager) and the socket hand Intake what they
// received; Intake splits and validates it, submits it to the daemon (all or
// nothing), and counts it: every event received, and every event refused by
// its reason (actionmanagerd_events_received_total, _rejected_total,
// _alerts_*_total; see metrics.h for how a request that is refused as a whole
// counts). The transports only translate its answers into their own form
// (status codes, acknowledgement lines) and wait for durability.
//
// Thread-safe: every transport thread calls it at once (the daemon and the
// metrics are thread-safe).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/daemon.h"
#include "service/status.h"

namespace service {

// What became of one submission: accepted (status ok, the jobs queued and
// being journaled) or refused as a whole.
struct Admission {
  Status status;
  std::vector<std::shared_ptr<Job>> jobs;
};

// An Alertmanager notification's admission, with what the answer reports of
// its alerts.
struct AlertAdmission {
  Admission admission;
  AlertBatch batch;
};

class Intake {
 public:
  explicit Intake(Daemon& daemon) : daemon_(daemon) {}

  // A body of POST /v1/events: one event, an array, or JSON lines.
  Admission Events(std::string_view body);
  // One non-blank line of the socket, at most `max_line` bytes long.
  Admission Line(std::string_view line, std::size_t max_line);
  // A body or line refused for its size before it could be split: one event
  // received and rejected as too large, with `message`.
  Status TooLarge(std::string message);
  // A body of POST /v1/alertmanager.
  AlertAdmission Alerts(std::string_view body);
  // Until the journal holds `jobs` on disk; a kJournalFailed status when it
  // failed (the jobs still run; the client must not take them as safe).
  Status WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs);

 private:
  // Submits `incoming` (`count` events as counted) and counts a refusal.
  Admission Submit(std::vector<Incoming>&& incoming, double count);
  Status Reject(Status status, double count);

  Daemon& daemon_;
};

}  // namespace service
