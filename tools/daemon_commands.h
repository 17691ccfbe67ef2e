// amctl send, amctl results and amctl status: a running actionmanagerd,
// reached as tools/daemon_client.h says. Each returns an ExitStatus: kRan
// when the daemon took everything asked, kInvalidInput when it refused what
// was sent (its place printed), kUnavailable when it could not be reached or
// answered 503, kUsage for options that do not go together, kFailed for
// any other answer (401, 403, 500).
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/daemon_client.h"
#include "tools/exit_status.h"

namespace tools {

// Sends each file ("-": standard input; none: standard input) as one
// request, in order, the same JSON POST /v1/events takes (one event, an
// array, or JSON lines), and prints each accepted event's seq, with `wait`
// its outcome. Stops at the first file the daemon refuses. Over the socket
// each event is a line of its own and is accepted or refused alone.
ExitStatus SendCommand(const DaemonTarget& target, std::vector<std::string> files, bool wait,
                       std::ostream& out, std::ostream& err);

struct ResultsOptions {
  std::string profile;
  std::string event_id;
  std::string since;
  std::string until;
  int limit = 0;        // 0: the daemon's page size
  bool all = false;     // every page, following next_cursor
  bool json = false;    // one JSON object a line
  bool follow = false;  // the live stream until SIGINT or SIGTERM (then kRan)
};

// The history, newest first, as a table or JSON lines; or the live stream.
ExitStatus ResultsCommand(const DaemonTarget& target, const ResultsOptions& options,
                          std::ostream& out, std::ostream& err);

// The profiles, their queues and the store's health; with `event_id` that
// EventId's execution counters.
ExitStatus StatusCommand(const DaemonTarget& target, const std::string& event_id, bool json,
                         std::ostream& out, std::ostream& err);

}  // namespace tools
