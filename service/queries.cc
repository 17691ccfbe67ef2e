#include "service/queries.h"

#include <time.h>

#include <charconv>
#include <cstdio>

namespace service {
namespace {

using scenario::Json;

QueryAnswer Refuse(int status, const std::string& place, const std::string& message) {
  Json error = Json::object();
  if (!place.empty()) error["place"] = place;
  error["message"] = message;
  return {status, Json{{"error", error}}};
}

bool ParseInt(const std::string& text, std::int64_t* out) {
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  return !text.empty() && ec == std::errc() && ptr == end;
}

// Unix seconds (with a fraction) or UTC in the form 2026-12-07T06:00:00Z.
bool ParseTime(const std::string& text, std::int64_t* ms) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  if (const auto [ptr, ec] = std::from_chars(text.data(), end, seconds);
      !text.empty() && ec == std::errc() && ptr == end) {
    *ms = static_cast<std::int64_t>(seconds * 1000);
    return true;
  }
  std::tm tm{};
  const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (rest == nullptr) return false;
  int millis = 0;
  if (*rest == '.') {
    int digits = 0;
    for (++rest; *rest >= '0' && *rest <= '9'; ++rest, ++digits) {
      if (digits < 3) millis = millis * 10 + (*rest - '0');
    }
    for (; digits < 3; ++digits) millis *= 10;
  }
  if (std::string(rest) != "Z") return false;
  *ms = static_cast<std::int64_t>(timegm(&tm)) * 1000 + millis;
  return true;
}

Json RowJson(const HistoryRow& row) {
  return Json{{"id", row.id},
              {"seq", row.seq},
              {"time", FormatUtc(row.time_ms)},
              {"profile", row.profile},
              {"rule", row.rule},
              {"action", row.action},
              {"kind", row.kind},
              {"event_id", row.event_id},
              {"decision", row.decision},
              {"result_event", row.result_event},
              {"result_code", row.result_code},
              {"return_value", row.return_value},
              {"seconds", row.seconds},
              {"stdout", row.output},
              {"stderr", row.error}};
}

}  // namespace

std::string FormatUtc(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(ms % 1000));
  return text;
}

QueryAnswer QueryResults(StateStore& store, const std::map<std::string, std::string>& params) {
  HistoryQuery query;
  for (const auto& [name, value] : params) {
    std::int64_t number = 0;
    if (name == "profile") {
      query.profile = value;
    } else if (name == "event_id") {
      query.event_id = value;
    } else if (name == "since" || name == "until") {
      if (!ParseTime(value, &number)) {
        return Refuse(400, name, "must be Unix seconds or UTC as 2026-12-07T06:00:00Z");
      }
      (name == "since" ? query.since_ms : query.until_ms) = number;
    } else if (name == "limit") {
      if (!ParseInt(value, &number) || number < 1 || number > 1000) {
        return Refuse(400, name, "must be a whole number from 1 to 1000");
      }
      query.limit = static_cast<int>(number);
    } else if (name == "cursor") {
      if (!ParseInt(value, &number) || number < 1) {
        return Refuse(400, name, "must be the next_cursor of a previous page");
      }
      query.cursor = number;
    } else {
      return Refuse(400, name, "is not a parameter of /v1/results");
    }
  }
  std::vector<HistoryRow> rows;
  std::int64_t next = 0;
  std::string error;
  if (!store.History(query, &rows, &next, &error)) {
    return Refuse(500, "", "cannot read the history: " + error);
  }
  Json body{{"results", Json::array()}};
  for (const HistoryRow& row : rows) body["results"].push_back(RowJson(row));
  body["next_cursor"] = next > 0 ? Json(std::to_string(next)) : Json(nullptr);
  return {200, std::move(body)};
}

QueryAnswer QueryEvent(StateStore& store, const std::string& seq) {
  std::int64_t number = 0;
  if (!ParseInt(seq, &number) || number < 1) return Refuse(400, "seq", "must be a sequence number");
  StoredEvent event;
  std::vector<HistoryRow> actions;
  std::string error;
  if (!store.Event(static_cast<std::uint64_t>(number), &event, &actions, &error)) {
    if (error.empty()) return Refuse(404, "", "no event " + seq + " is stored");
    return Refuse(500, "", "cannot read the event: " + error);
  }
  Json body{{"seq", event.seq}, {"state", event.state}, {"accepted", FormatUtc(event.accepted_ms)}};
  body["finished"] = event.finished_ms > 0 ? Json(FormatUtc(event.finished_ms)) : Json(nullptr);
  const Json stored = Json::parse(event.payload, nullptr, false);
  body["profile"] = stored.is_object() ? stored.value("profile", Json()) : Json();
  body["event"] = stored.is_object() ? stored.value("event", Json()) : Json();
  body["outcome"] = event.outcome.empty() ? Json(nullptr) : Json::parse(event.outcome, nullptr, false);
  body["actions"] = Json::array();
  for (const HistoryRow& row : actions) body["actions"].push_back(RowJson(row));
  return {200, std::move(body)};
}

QueryAnswer QueryStatus(StateStore& store, bool accepting, const std::vector<ProfileState>& profiles,
                        const std::map<std::string, std::string>& params) {
  const auto event_id = params.find("event_id");
  for (const auto& [name, value] : params) {
    if (name != "event_id") return Refuse(400, name, "is not a parameter of /v1/status");
    if (value.empty()) return Refuse(400, name, "must name an EventId");
  }
  Json body{{"accepting", accepting}, {"profiles", Json::array()}};
  for (const ProfileState& profile : profiles) {
    body["profiles"].push_back(Json{{"name", profile.name},
                                    {"state", profile.state},
                                    {"queue_depth", profile.queue_depth},
                                    {"default", profile.is_default}});
  }
  std::string reason;
  Json health{{"healthy", store.healthy(&reason)}};
  if (!reason.empty()) health["reason"] = reason;
  health["queued"] = store.queued();
  health["write_failures"] = store.write_failures();
  health["bytes"] = store.file_bytes();
  body["store"] = std::move(health);
  if (event_id == params.end()) return {200, std::move(body)};
  std::vector<CounterRow> rows;
  std::string error;
  if (!store.Counters(event_id->second, &rows, &error)) {
    return Refuse(500, "", "cannot read the counters: " + error);
  }
  body["counters"] = Json::array();
  for (const CounterRow& row : rows) {
    body["counters"].push_back(Json{{"profile", row.profile},
                                    {"rule", row.rule},
                                    {"event_id", row.event_id},
                                    {"count", row.count},
                                    {"last_seen", FormatUtc(row.last_seen_ms)}});
  }
  return {200, std::move(body)};
}

}  // namespace service
