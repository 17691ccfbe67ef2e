// The read side of the state store for any transport: GET /v1/results (the
// history, newest first, in pages) and GET /v1/events/{seq}. Each takes its
// parameters as parsed from the request and answers a status and a JSON
// body, an error body {"error": {"place", "message"}} when the status is not
// 200.
//
// /v1/results parameters: profile, event_id, since and until (Unix seconds,
// or UTC as 2026-12-07T06:00:00Z; since inclusive, until exclusive), limit
// (1..1000, default 100) and cursor (the "next_cursor" of the page before).
// Body: {"results": [row...], "next_cursor": "N" or null}.
//
// /v1/status: the profiles, the store's health and, with the parameter
// event_id, that EventId's execution counters as committed:
//   {"accepting": true,
//    "profiles": [{"name", "state", "queue_depth", "default"}],
//    "store": {"healthy", "reason" (when not), "queued", "write_failures", "bytes"},
//    "counters": [{"profile", "rule", "event_id", "count", "last_seen"}]}
#pragma once

#include <map>
#include <string>

#include "scenario/json_input.h"
#include "service/profile_set.h"
#include "service/state_store.h"

namespace service {

struct QueryAnswer {
  int status = 200;
  scenario::Json body;
};

QueryAnswer QueryResults(StateStore& store, const std::map<std::string, std::string>& params);
QueryAnswer QueryEvent(StateStore& store, const std::string& seq);
QueryAnswer QueryStatus(StateStore& store, bool accepting, const std::vector<ProfileState>& profiles,
                        const std::map<std::string, std::string>& params);

// Unix milliseconds as UTC with milliseconds: 2026-12-07T06:00:00.123Z.
std::string FormatUtc(std::int64_t ms);

}  // namespace service
