// The HTTP interface (cpp-httplib):
//
//   POST /v1/events[?wait=1]  one event, an array of events, or JSON lines
//        202 {"accepted": N, "seq": [...]}       journaled on disk, queued
//        200 {"accepted": N, "events": [...]}    wait=1: each event's outcome
//            (202 with "pending" entries when the wait time ran out first)
//        400 {"error": {"place", "message"}}     nothing of the request queued
//        401 without the bearer token (when one is configured)
//        413 over max_body_bytes, 431 over max_header_bytes
//        503 + Retry-After                       queue or journal full, stopping
//   GET  /v1/results[?logs=1]  server-sent events: "result" (a result event),
//        "processed" (an event's outcome), "log" (a log line), "lost"
//   GET  /metrics              Prometheus text format
//   GET  /healthz              200 while the process runs
//   GET  /readyz               200 while every profile runs and events are
//                              accepted, else 503
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

#include "service/config.h"
#include "service/daemon.h"

namespace httplib {
class Server;
}

namespace service {

class HttpApi {
 public:
  explicit HttpApi(Daemon& daemon);
  ~HttpApi();
  HttpApi(const HttpApi&) = delete;
  HttpApi& operator=(const HttpApi&) = delete;

  // Binds and starts serving; the port bound in `*port`.
  [[nodiscard]] bool Start(const ListenConfig& listen, int* port, std::string* error);
  void Stop();

 private:
  Daemon& daemon_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
};

}  // namespace service
