#include "tools/daemon_commands.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <iomanip>
#include <sstream>
#include <stop_token>
#include <thread>

#include "tools/stop_signals.h"

namespace tools {
namespace {

// Commands end in an exit status: nothing thrown (a failed allocation, a
// library's surprise) leaves them.
ExitStatus Guarded(std::ostream& err, const std::function<ExitStatus()>& command) {
  try {
    return command();
  } catch (const std::exception& e) {
    err << "amctl: " << e.what() << '\n';
  } catch (...) {
    err << "amctl: an unexpected failure\n";
  }
  return kFailed;
}

// The worse of two outcomes: a refusal outranks an unavailable daemon,
// which outranks success.
ExitStatus Worse(ExitStatus a, ExitStatus b) {
  const auto rank = [](ExitStatus s) { return s == kRan ? 0 : s == kUnavailable ? 1 : 2; };
  return rank(b) > rank(a) ? b : a;
}

std::string Text(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.is_null() ? "-" : value.dump();
}

// Standard output closed by its reader ends the command quietly.
ExitStatus Written(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return kRan;
  err << "amctl: cannot write to standard output\n";
  return kOutputClosed;
}

// --- send ---------------------------------------------------------------

void PrintOutcome(const Json& event, std::ostream& out) {
  out << "seq " << Text(event.value("seq", Json())) << ": profile "
      << Text(event.value("profile", Json())) << ", " << Text(event.value("class", Json()));
  if (event.value("pending", false)) {
    out << ", pending (not processed within the daemon's wait_seconds)\n";
    return;
  }
  if (event.contains("dropped")) {
    out << ", dropped: " << Text(event["dropped"]) << '\n';
    return;
  }
  const Json results = event.value("result_events", Json::array());
  out << ", result " << Text(event.value("result", Json())) << ", " << results.size()
      << " result event" << (results.size() == 1 ? "" : "s") << '\n';
}

ExitStatus SendHttp(DaemonClient& client, const std::string& name, const std::string& body,
                    bool wait, std::ostream& out, std::ostream& err) {
  const DaemonReply reply = client.Post("/v1/events", body, wait);
  if (reply.status != 200 && reply.status != 202) return ReportReply(reply, name, err);
  if (wait) {
    for (const Json& event : reply.body.value("events", Json::array())) PrintOutcome(event, out);
  } else {
    for (const Json& seq : reply.body.value("seq", Json::array())) out << "seq " << seq << '\n';
  }
  return kRan;
}

// The socket takes one event a line: an object or an array is split into
// its events ("[i]" names each), JSON lines go as they are ("line N").
ExitStatus SendSocket(DaemonClient& client, const std::string& name, const std::string& text,
                      std::ostream& out, std::ostream& err) {
  std::vector<std::string> lines;
  std::vector<std::string> places;
  const Json whole = Json::parse(text, nullptr, false);
  if (whole.is_object()) {
    lines.push_back(whole.dump());
    places.push_back("");
  } else if (whole.is_array()) {
    for (std::size_t i = 0; i < whole.size(); ++i) {
      lines.push_back(whole[i].dump());
      places.push_back("[" + std::to_string(i) + "]");
    }
  } else {
    std::istringstream in(text);
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
      ++number;
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      lines.push_back(line);
      places.push_back("line " + std::to_string(number));
    }
  }
  std::vector<Json> acks;
  std::string why;
  const bool complete = client.SendLines(lines, &acks, &why);
  ExitStatus status = kRan;
  for (const Json& ack : acks) {
    if (!ack.is_object()) continue;
    if (ack.value("accepted", false)) {
      out << "seq " << ack.value("seq", Json()) << '\n';
      continue;
    }
    const std::size_t line = ack.value("line", std::size_t{0});
    DaemonReply refusal;
    refusal.status = ack.value("status", 0);
    refusal.body = ack;
    if (ack.contains("retry_after")) refusal.retry_after = Text(ack["retry_after"]);
    std::string shown = name;
    if (line >= 1 && line <= places.size() && !places[line - 1].empty()) {
      shown += ": " + places[line - 1];
    }
    status = Worse(status, ReportReply(refusal, shown, err));
  }
  if (!complete) {
    err << "amctl: " << client.where() << ": " << why << "; "
        << (lines.size() - std::min(lines.size(), acks.size()))
        << " event(s) without an acknowledgement were not taken\n";
    status = Worse(status, kUnavailable);
  }
  return status;
}

// --- results ------------------------------------------------------------

constexpr const char* kHistoryHeader =
    "TIME                      SEQ      PROFILE      RULE             ACT KIND     EVENT_ID         "
    "DECISION     CODE RETURN";

void PrintHistoryRow(const Json& row, std::ostream& out) {
  const auto cell = [&out](const Json& value, int width) {
    out << std::left << std::setw(width) << Text(value) << ' ';
  };
  cell(row.value("time", Json()), 25);
  cell(row.value("seq", Json()), 8);
  cell(row.value("profile", Json()), 12);
  cell(row.value("rule", Json()), 16);
  cell(row.value("action", Json()), 3);
  cell(row.value("kind", Json()), 8);
  cell(row.value("event_id", Json()), 16);
  cell(row.value("decision", Json()), 12);
  const bool reported = row.value("result_event", false);
  cell(reported ? row.value("result_code", Json()) : Json("-"), 4);
  out << (reported ? Text(row.value("return_value", Json())) : "-") << '\n';
}

// One message of the live stream: the daemon's "processed" line per event,
// its "result" per result event; "lost" when this reader fell behind.
void PrintStreamMessage(const std::string& event, const Json& data, bool json, std::ostream& out,
                        std::ostream& err) {
  if (json) {
    out << Json{{"event", event}, {"data", data}}.dump() << '\n';
  } else if (event == "processed") {
    out << Text(data.value("time", Json())) << "  seq " << Text(data.value("seq", Json()))
        << "  profile " << Text(data.value("profile", Json())) << "  "
        << Text(data.value("class", Json())) << "  result " << Text(data.value("result", Json()))
        << '\n';
  } else if (event == "result") {
    const Json properties = data.value("properties", Json::object());
    out << "  seq " << Text(data.value("seq", Json())) << "  result event of "
        << Text(properties.value("EventId", Json())) << ": "
        << Text(properties.value("descriptive_name", Json())) << ", return code "
        << Text(properties.value("return_code", Json())) << '\n';
  } else if (event == "lost") {
    err << "amctl: the stream lost " << Text(data) << " message(s): this reader fell behind\n";
  }
  out.flush();
}

ExitStatus Follow(DaemonClient& client, const ResultsOptions& options, std::ostream& out,
                  std::ostream& err) {
  const StopSignals stop;
  bool output_closed = false;
  DaemonReply reply;
  {
    // Cancels the request in flight once a stop signal came, and again
    // until it ended, since the request may not have begun yet.
    const std::jthread watcher([&client, &stop](std::stop_token done) {
      pollfd signalled{stop.cancel_fd(), POLLIN, 0};
      while (!done.stop_requested()) {
        if (stop.cancel_fd() < 0 || ::poll(&signalled, 1, 100) > 0) {
          if (stop.cancel_fd() >= 0) client.Cancel();
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      }
    });
    reply = client.Follow("/v1/results", {{"follow", "1"}},
                          [&](const std::string& event, const std::string& data) {
                            if (stop.signal() != 0) return false;
                            PrintStreamMessage(event, Json::parse(data, nullptr, false),
                                               options.json, out, err);
                            output_closed = !out;
                            return !output_closed;
                          });
  }
  if (output_closed) return kOutputClosed;
  if (stop.signal() != 0) return kRan;
  if (reply.status != 200) return ReportReply(reply, "the stream", err);
  err << "amctl: " << client.where() << ": " << reply.error << '\n';
  return kUnavailable;
}

ExitStatus History(DaemonClient& client, const ResultsOptions& options, std::ostream& out,
                   std::ostream& err) {
  DaemonClient::Params params;
  if (!options.profile.empty()) params.emplace("profile", options.profile);
  if (!options.event_id.empty()) params.emplace("event_id", options.event_id);
  if (!options.since.empty()) params.emplace("since", options.since);
  if (!options.until.empty()) params.emplace("until", options.until);
  if (options.limit > 0) params.emplace("limit", std::to_string(options.limit));
  bool header = !options.json;
  for (;;) {
    const DaemonReply reply = client.Get("/v1/results", params);
    if (reply.status != 200) return ReportReply(reply, "the query", err);
    for (const Json& row : reply.body.value("results", Json::array())) {
      if (header) out << kHistoryHeader << '\n';
      header = false;
      if (options.json) {
        out << row.dump() << '\n';
      } else {
        PrintHistoryRow(row, out);
      }
    }
    if (const ExitStatus written = Written(out, err); written != kRan) return written;
    const Json next = reply.body.value("next_cursor", Json());
    if (!next.is_string()) return kRan;
    if (!options.all) {
      err << "amctl: more rows are stored: --all shows them all\n";
      return kRan;
    }
    params.erase("cursor");
    params.emplace("cursor", next.get<std::string>());
  }
}

// --- status -------------------------------------------------------------

void PrintStatus(const Json& body, std::ostream& out) {
  out << std::left << std::setw(16) << "PROFILE" << std::setw(10) << "STATE" << std::setw(7)
      << "QUEUE" << "DEFAULT\n";
  for (const Json& profile : body.value("profiles", Json::array())) {
    out << std::setw(16) << Text(profile.value("name", Json())) << std::setw(10)
        << Text(profile.value("state", Json())) << std::setw(7)
        << Text(profile.value("queue_depth", Json()))
        << (profile.value("default", false) ? "yes" : "") << '\n';
  }
  const Json store = body.value("store", Json::object());
  out << "\nevents accepted: " << (body.value("accepting", false) ? "yes" : "no (stopping)")
      << "\nstate store: "
      << (store.value("healthy", false) ? "healthy" : "failing: " + Text(store.value("reason", Json())))
      << ", " << Text(store.value("queued", Json())) << " unfinished event(s), "
      << Text(store.value("write_failures", Json())) << " write failure(s), "
      << Text(store.value("bytes", Json())) << " bytes\n";
  if (!body.contains("counters")) return;
  out << "\nexecution counters:\n"
      << std::setw(16) << "PROFILE" << std::setw(20) << "RULE" << std::setw(7) << "COUNT"
      << "LAST DELIVERY\n";
  for (const Json& counter : body["counters"]) {
    out << std::setw(16) << Text(counter.value("profile", Json())) << std::setw(20)
        << Text(counter.value("rule", Json())) << std::setw(7)
        << Text(counter.value("count", Json())) << Text(counter.value("last_seen", Json()))
        << '\n';
  }
  if (body["counters"].empty()) out << "(none stored for this EventId)\n";
}

}  // namespace

ExitStatus SendCommand(const DaemonTarget& target, std::vector<std::string> files, bool wait,
                       std::ostream& out, std::ostream& err) {
  return Guarded(err, [&] {
    ExitStatus status = kRan;
    const auto client = DaemonClient::Open(target, err, &status);
    if (!client) return status;
    if (client->over_socket() && wait) {
      err << "amctl: --wait needs --url: the socket acknowledges events, it does not wait\n";
      return kUsage;
    }
    if (files.empty()) files.push_back("-");
    for (const std::string& file : files) {
      std::string body;
      std::string why;
      if (!ReadWholeFile(file, &body, &why)) {
        err << "amctl: " << InputName(file) << ": cannot read: " << why << '\n';
        return kInvalidInput;
      }
      status = client->over_socket() ? SendSocket(*client, InputName(file), body, out, err)
                                     : SendHttp(*client, InputName(file), body, wait, out, err);
      if (const ExitStatus written = Written(out, err); written != kRan) return written;
      if (status != kRan) return status;
    }
    return kRan;
  });
}

ExitStatus ResultsCommand(const DaemonTarget& target, const ResultsOptions& options,
                          std::ostream& out, std::ostream& err) {
  return Guarded(err, [&] {
    ExitStatus status = kRan;
    const auto client = DaemonClient::Open(target, err, &status);
    if (!client) return status;
    return options.follow ? Follow(*client, options, out, err)
                          : History(*client, options, out, err);
  });
}

ExitStatus StatusCommand(const DaemonTarget& target, const std::string& event_id, bool json,
                         std::ostream& out, std::ostream& err) {
  return Guarded(err, [&] {
    ExitStatus status = kRan;
    const auto client = DaemonClient::Open(target, err, &status);
    if (!client) return status;
    DaemonClient::Params params;
    if (!event_id.empty()) params.emplace("event_id", event_id);
    const DaemonReply reply = client->Get("/v1/status", params);
    if (reply.status != 200) return ReportReply(reply, "the query", err);
    if (json) {
      out << reply.body.dump() << '\n';
    } else {
      PrintStatus(reply.body, out);
    }
    return Written(out, err);
  });
}

}  // namespace tools
