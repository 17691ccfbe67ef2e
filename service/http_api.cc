#include "service/http_api.h"

#include <httplib.h>
#include <sys/socket.h>

#include <condition_variable>
#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "service/log.h"

namespace service {
namespace {

using scenario::InputError;
using scenario::Json;

// A fixed set of threads, one connection each. enqueue blocks the accepting
// thread while all are busy, so connections beyond the limit wait in the
// kernel's backlog instead of piling up here.
class BoundedPool final : public httplib::TaskQueue {
 public:
  explicit BoundedPool(std::size_t threads) {
    for (std::size_t i = 0; i < threads; ++i) workers_.emplace_back([this] { Work(); });
  }
  ~BoundedPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    std::unique_lock<std::mutex> lock(mu_);
    space_.wait(lock, [&] { return jobs_.size() + busy_ < workers_.size() || stopping_; });
    jobs_.push_back(std::move(fn));
    ready_.notify_one();
  }

  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ && workers_.empty()) return;
      stopping_ = true;
    }
    ready_.notify_all();
    space_.notify_all();
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
    workers_.clear();
  }

 private:
  void Work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      ready_.wait(lock, [&] { return !jobs_.empty() || stopping_; });
      if (jobs_.empty()) return;  // stopping, nothing left
      std::function<void()> fn = std::move(jobs_.front());
      jobs_.pop_front();
      ++busy_;
      lock.unlock();
      fn();  // serves the connection until it closes
      lock.lock();
      --busy_;
      space_.notify_one();
    }
  }

  std::mutex mu_;
  std::condition_variable ready_;
  std::condition_variable space_;
  std::deque<std::function<void()>> jobs_;
  std::size_t busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

void SendJson(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n",
                  "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& place,
               const std::string& message, int retry_after = 0) {
  Json body = Json::object();
  body["error"] = Json::object();
  if (!place.empty()) body["error"]["place"] = place;
  body["error"]["message"] = message;
  if (retry_after > 0) res.set_header("Retry-After", std::to_string(retry_after));
  SendJson(res, status, body);
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 404:
      return "no such resource";
    case 405:
      return "method not allowed";
    case 414:
      return "the request target is too long";
    default:
      return status >= 500 ? "server error" : "request refused";
  }
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
}

// The header limit, then the token (for everything but the probes). Checked
// in the handlers rather than before routing, so that the request's body has
// been read and a keep-alive connection stays in step.
bool Admit(Daemon& daemon, std::size_t max_header_bytes, const httplib::Request& req,
           httplib::Response& res) {
  std::size_t header_bytes = req.method.size() + req.target.size() + req.version.size() + 4;
  for (const auto& [name, value] : req.headers) header_bytes += name.size() + value.size() + 4;
  if (header_bytes > max_header_bytes) {
    SendError(res, 431, "",
              "the request's headers are larger than " + std::to_string(max_header_bytes) +
                  " bytes");
    return false;
  }
  if (req.path == "/healthz" || req.path == "/readyz") return true;
  const std::string token = daemon.token();
  if (token.empty()) return true;
  const std::string given = req.get_header_value("Authorization");
  if (given.starts_with("Bearer ") && ConstantTimeEqual(given.substr(7), token)) return true;
  res.set_header("WWW-Authenticate", "Bearer");
  SendError(res, 401, "", "a valid bearer token is required");
  return false;
}

// Journals and queues `incoming` (all or none) and answers: 202 with the
// sequence numbers, or with `wait` 200 with each event's outcome (202 with
// "pending" entries when the wait time ran out); 503 when refused. `body`
// holds fields the answer carries besides. True when the events were
// accepted.
bool Accept(Daemon& daemon, std::vector<Incoming>&& incoming, double count, bool wait, Json body,
            httplib::Response& res) {
  Metrics& metrics = daemon.metrics();
  std::vector<std::shared_ptr<Job>> jobs;
  const Refusal refusal = daemon.Submit(std::move(incoming), &jobs);
  if (refusal.status != 0) {
    metrics.Rejected(refusal.reason, count);
    SendError(res, refusal.status, refusal.place, refusal.message, refusal.retry_after);
    return false;
  }
  if (!daemon.WaitDurable(jobs)) {
    // Queued, but the journal could not confirm them: they run, yet the
    // client must not take them as safe.
    SendError(res, 503, "", "the journal cannot be written (see the log)", 30);
    return true;
  }
  body["accepted"] = jobs.size();
  if (!wait) {
    body["seq"] = Json::array();
    for (const auto& job : jobs) body["seq"].push_back(job->seq);
    SendJson(res, 202, body);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + daemon.wait_time();
  bool all = true;
  body["events"] = Json::array();
  for (const auto& job : jobs) {
    const bool done = job->WaitDone(deadline) && job->processed_before_stop;
    Json outcome = done ? job->Outcome() : Json::object();
    if (!done) {
      outcome["seq"] = job->seq;
      outcome["profile"] = job->profile;
      outcome["class"] = job->event.class_name;
      outcome["pending"] = true;
    }
    all = all && done;
    body["events"].push_back(std::move(outcome));
  }
  SendJson(res, all ? 200 : 202, body);
  return true;
}

}  // namespace

HttpApi::HttpApi(Daemon& daemon) : daemon_(daemon) {}

HttpApi::~HttpApi() { Stop(); }

bool HttpApi::Start(const ListenConfig& listen, int* port, std::string* error) {
  server_ = std::make_unique<httplib::Server>();
  httplib::Server& server = *server_;
  const auto connections = static_cast<std::size_t>(listen.max_connections);
  server.new_task_queue = [connections] { return new BoundedPool(connections); };
  server.set_payload_max_length(listen.max_body_bytes);
  server.set_keep_alive_timeout(listen.idle_seconds);
  server.set_keep_alive_max_count(100000);
  server.set_read_timeout(listen.idle_seconds, 0);
  server.set_write_timeout(listen.idle_seconds, 0);
  server.set_tcp_nodelay(true);
  // Not the library's default, which adds SO_REUSEPORT: a second daemon must
  // fail to bind rather than share the port.
  server.set_socket_options([](int sock) {
    int yes = 1;
    (void)::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });

  Daemon& daemon = daemon_;
  const std::size_t max_header_bytes = listen.max_header_bytes;
  const std::size_t max_body_bytes = listen.max_body_bytes;
  const auto max_streams = static_cast<std::size_t>(listen.max_streams);

  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [&daemon, max_body_bytes](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    if (res.status == 413) {
      if (req.path == "/v1/events" || req.path == "/v1/alertmanager") {
        daemon.metrics().Received(1);
        daemon.metrics().Rejected("too_large", 1);
      }
      SendError(res, 413, "", "the body is larger than " + std::to_string(max_body_bytes) + " bytes");
    } else {
      SendError(res, res.status, "", StatusText(res.status));
    }
    return httplib::Server::HandlerResponse::Handled;
  }));

  server.Post("/v1/events", [&daemon, max_header_bytes](const httplib::Request& req,
                                                        httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    Metrics& metrics = daemon.metrics();
    std::vector<EventText> texts;
    InputError error;
    if (!SplitEvents(req.body, &texts, &error)) {
      metrics.Received(1);
      metrics.Rejected("invalid", 1);
      SendError(res, 400, error.place, error.message);
      return;
    }
    const auto count = static_cast<double>(texts.size());
    metrics.Received(count);
    std::vector<Incoming> incoming(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (!daemon.Validate(texts[i].json, texts[i].path, &incoming[i], &error)) {
        metrics.Rejected("invalid", count);
        SendError(res, 400, error.place, error.message);
        return;
      }
    }
    Accept(daemon, std::move(incoming), count, req.get_param_value("wait") == "1",
           Json::object(), res);
  });

  // Alertmanager retries a notification on 5xx only: a payload it sent wrong
  // gets 400 (retrying cannot help), a full queue or journal 503.
  server.Post("/v1/alertmanager", [&daemon, max_header_bytes](const httplib::Request& req,
                                                              httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    Metrics& metrics = daemon.metrics();
    Json payload;
    InputError error;
    if (!scenario::ParseJson(req.body, &payload, &error)) {
      metrics.Received(1);
      metrics.Rejected("invalid", 1);
      SendError(res, 400, error.place, error.message);
      return;
    }
    bool enabled = false;
    AlertBatch batch;
    std::vector<Incoming> incoming;
    const bool mapped = daemon.MapAlertmanager(payload, &enabled, &batch, &incoming, &error);
    if (!enabled) {
      SendError(res, 404, "", "the configuration has no \"alertmanager\" object");
      return;
    }
    const auto count = static_cast<double>(std::max<std::size_t>(incoming.size(), 1));
    metrics.Alerts("firing", static_cast<double>(batch.firing), 0, 0);
    metrics.Alerts("resolved", static_cast<double>(batch.resolved), 0, 0);
    if (!mapped) {
      metrics.Received(count);
      metrics.Rejected("invalid", count);
      SendError(res, 400, error.place, error.message);
      return;
    }
    if (batch.truncated > 0) {
      Log(kPriorityWarning, "receiver \"" + batch.receiver + "\": Alertmanager left out " +
                                std::to_string(batch.truncated) +
                                " alerts of a notification (its max_alerts)");
    }
    Json body = Json::object();
    body["alerts"] = batch.firing + batch.resolved;
    body["ignored"] = batch.ignored_resolved;
    if (batch.truncated > 0) body["truncated"] = batch.truncated;
    metrics.Alerts("resolved", 0, 0, static_cast<double>(batch.ignored_resolved));
    if (incoming.empty()) {
      body["accepted"] = 0;
      SendJson(res, 200, body);
      return;
    }
    std::size_t firing = 0;
    for (const AlertEvent& event : batch.events) firing += event.firing ? 1 : 0;
    const std::size_t resolved = batch.events.size() - firing;
    metrics.Received(count);
    if (Accept(daemon, std::move(incoming), count, req.get_param_value("wait") == "1",
               std::move(body), res)) {
      metrics.Alerts("firing", 0, static_cast<double>(firing), 0);
      metrics.Alerts("resolved", 0, static_cast<double>(resolved), 0);
    }
  });

  server.Get("/v1/results", [&daemon, max_streams, max_header_bytes](
                                const httplib::Request& req, httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    ResultStream& stream = daemon.stream();
    if (stream.clients() >= max_streams) {
      SendError(res, 503, "", "too many result streams", 5);
      return;
    }
    auto client = stream.Subscribe(req.get_param_value("logs") == "1");
    auto greeted = std::make_shared<bool>(false);
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [client, greeted](std::size_t, httplib::DataSink& sink) {
          if (!*greeted) {
            *greeted = true;
            static constexpr char kHello[] = ": subscribed\n\n";
            return sink.write(kHello, sizeof kHello - 1);
          }
          bool closed = false;
          const auto message = client->Next(std::chrono::seconds(10), &closed);
          if (message) {
            const std::string text = "event: " + message->event + "\ndata: " + message->data + "\n\n";
            return sink.write(text.data(), text.size());
          }
          if (closed) {
            sink.done();
            return true;
          }
          static constexpr char kKeepAlive[] = ": keep-alive\n\n";
          return sink.write(kKeepAlive, sizeof kKeepAlive - 1);
        },
        [&stream, client](bool) { stream.Unsubscribe(client); });
  });

  server.Get("/metrics", [&daemon, max_header_bytes](const httplib::Request& req,
                                                     httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    res.set_content(daemon.metrics().Render(), "text/plain; version=0.0.4; charset=utf-8");
  });
  server.Get("/healthz", [&daemon, max_header_bytes](const httplib::Request& req,
                                                     httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    SendJson(res, 200, Json{{"status", "ok"}});
  });
  server.Get("/readyz", [&daemon, max_header_bytes](const httplib::Request& req,
                                                    httplib::Response& res) {
    if (!Admit(daemon, max_header_bytes, req, res)) return;
    if (daemon.ready()) {
      SendJson(res, 200, Json{{"status", "ready"}});
    } else {
      res.set_header("Retry-After", "5");
      SendJson(res, 503, Json{{"status", daemon.accepting() ? "starting" : "stopping"}});
    }
  });

  if (listen.port == 0) {
    *port = server.bind_to_any_port(listen.address);
    if (*port <= 0) {
      *error = "cannot listen on " + listen.address + " (any port)";
      return false;
    }
  } else {
    if (!server.bind_to_port(listen.address, listen.port)) {
      *error = "cannot listen on " + listen.address + ":" + std::to_string(listen.port);
      return false;
    }
    *port = listen.port;
  }
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  return true;
}

void HttpApi::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace service
