// The HTTP interface (cpp-httplib):
//
//   POST /v1/events[?wait=1]  one event, an array of events, or JSON lines
//        202 {"accepted": N, "seq": [...]}       committed to the state database, queued
//        200 {"accepted": N, "events": [...]}    wait=1: each event's outcome
//            (202 with "pending" entries when the wait time ran out first)
//        400 {"error": {"place", "message"}}     nothing of the request queued
//        401 without the bearer token (when one is configured)
//        413 over max_body_bytes, 431 over max_header_bytes
//        503 + Retry-After                       queue or store full, store failing,
//                                                stopping (the events never run)
//   GET  /v1/results?profile=&event_id=&since=&until=&limit=&cursor=
//        the history of action decisions, JSON, newest first (service/queries.h)
//   GET  /v1/results?follow=1[&logs=1] (or Accept: text/event-stream)
//        server-sent events: "result" (a result event), "processed" (an
//        event's outcome), "log" (a log line), "lost"
//   GET  /v1/events/{seq}      an accepted event, its state and its actions
//   GET  /metrics              Prometheus text format
//   GET  /healthz              200 while the process runs
//   GET  /readyz               200 while every profile runs, events are
//                              accepted and the state database takes writes,
//                              else 503 (with the reason); after a refused reload
//                              still 200, its body saying why
//
// Limits: at most max_connections connections are served at once (a further
// one waits, unanswered, until one ends); an idle keep-alive connection is
// closed after idle_seconds; at most max_streams of the connections may be
// result streams. Start binds before it returns; Stop ends the streams' waits
// through the daemon's stream, then stops and joins. Not thread-safe itself:
// Start and Stop from one thread.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "service_config/config.h"
#include "service/daemon.h"
#include "service/intake.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace service {

class HttpApi {
 public:
  explicit HttpApi(Daemon& daemon);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and starts serving; the port bound in `*port`. Why not.
  [[nodiscard]] Status Start(const ListenConfig& listen, int* port);
  void Stop();

 private:
  // The routes; each answers what Intake or the daemon said, in HTTP terms.
  void Events(const httplib::Request& req, httplib::Response& res);
  void Alertmanager(const httplib::Request& req, httplib::Response& res);
  void Results(const httplib::Request& req, httplib::Response& res);
  void EventQuery(const httplib::Request& req, httplib::Response& res);
  void MetricsText(const httplib::Request& req, httplib::Response& res);
  void Healthz(const httplib::Request& req, httplib::Response& res);
  void Readyz(const httplib::Request& req, httplib::Response& res);
  // An answer the router or the library made (404, 405, 413, ...).
  bool Error(const httplib::Request& req, httplib::Response& res);
  // The header limit and the token; false when `res` holds the refusal.
  bool Admit(const httplib::Request& req, httplib::Response& res);
  // The answer to an admission: 202 with the sequence numbers, or with
  // `wait` 200 with each event's outcome (202 with "pending" entries when
  // the wait time ran out), or the refusal. `body` holds fields besides.
  void Answer(Admission&& admission, bool wait, scenario::Json body, httplib::Response& res);
  void Configure(const ListenConfig& listen);
  Status Bind(const ListenConfig& listen, int* port);

  Daemon& daemon_;
  Intake intake_;
  ListenConfig listen_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

}  // namespace service
