// The HTTP interface, on the event-driven server of service/http_server.h:
//
//   POST /v1/events[?wait=1]  one event, an array of events, or JSON lines
//        202 {"accepted": N, "seq": [...]}       committed to the state database, queued
//        200 {"accepted": N, "events": [...]}    wait=1: each event's outcome
//            (202 with "pending" entries when the wait time ran out first)
//        400 {"error": {"place", "message"}}     nothing of the request queued
//        401 without the submit token, 403 when submitting is closed
//        413 over max_body_bytes (or more events for a profile than its queue
//            could ever hold), 415 compressed, 431 over max_header_bytes
//        503 + Retry-After                       queue or store full, store failing,
//                                                stopping (the events never run)
//   POST /v1/alertmanager      an Alertmanager notification (same answers)
//   GET  /v1/results?profile=&event_id=&since=&until=&limit=&cursor=
//        the history of action decisions, JSON, newest first (service/queries.h)
//   GET  /v1/results?follow=1[&logs=1] (or Accept: text/event-stream)
//        server-sent events: "result" (a result event), "processed" (an
//        event's outcome), "log" (a log line), "lost"
//   GET  /v1/events/{seq}      an accepted event, its state and its actions
//        (the /v1/results and /v1/events/ reads need the read token)
//   GET  /metrics              Prometheus text format; needs the read token
//   GET  /healthz              200 while the process runs
//   GET  /readyz               200 while every profile runs, events are
//                              accepted and the state database takes writes,
//                              else 503 (with the reason); after a refused reload
//                              still 200, its body saying why
//
// A wrong method gets 405 with Allow, an unknown path 404. Access (which
// token a route needs, and when anonymous clients may) is in
// service_config/config.h; the limits are those of service/http_server.h.
//
// Start binds before it returns. Reload reads the token files and the TLS
// identity again (SIGHUP); the ones in force stay when they cannot be read.
// Stop ends the streams' waits through the daemon's stream, then stops and
// joins. Start, Reload and Stop from one thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "service/daemon.h"
#include "service/http_server.h"
#include "service/intake.h"
#include "service_config/config.h"

namespace service {

class HttpApi {
 public:
  explicit HttpApi(Daemon& daemon);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and starts serving; the port bound in `*port`. Why not.
  [[nodiscard]] Status Start(const ListenConfig& listen, int* port);
  [[nodiscard]] Status Reload();
  void Stop();

 private:
  HttpResponse Events(const HttpRequest& req);
  HttpResponse Alertmanager(const HttpRequest& req);
  HttpResponse Results(const HttpRequest& req);
  HttpResponse EventQuery(const HttpRequest& req);
  HttpResponse StatusQuery(const HttpRequest& req);
  HttpResponse MetricsText(const HttpRequest& req);
  HttpResponse Healthz(const HttpRequest& req);
  HttpResponse Readyz(const HttpRequest& req);
  HttpResponse TooLarge(const std::string& message);
  // 0 when the head may go on to its route, else 401 or 403 and why.
  int Authorize(Access access, const HttpRequest& head, std::string* why) const;
  // The answer to an admission: 202 with the sequence numbers, or with
  // `wait` 200 with each event's outcome (202 with "pending" entries when
  // the wait time ran out), or the refusal. `body` holds fields besides.
  HttpResponse Answer(Admission&& admission, bool wait, scenario::Json body);

  Daemon& daemon_;
  Intake intake_;
  ListenConfig listen_;
  mutable std::mutex tokens_mu_;  // guards the tokens in listen_
  HttpServer server_;
};

}  // namespace service
