#include "service/http_api.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "service/log.h"
#include "service/queries.h"

namespace service {
namespace {

// ": " and the system's text for `error`, when the failed call set one.
std::string SystemError(int error) {
  return error == 0 ? "" : std::string(": ") + std::strerror(error);
}

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

void SendStatus(httplib::Response& res, const Status& status) {
  SendError(res, status.row().http_status, status.place, status.text(), status.row().retry_after);
}

// A job's entry in a wait-mode answer.
Json WaitedOutcome(Job& job, std::chrono::steady_clock::time_point deadline, bool* done) {
  *done = job.WaitDone(deadline) && job.processed_before_stop;
  if (*done) return job.Outcome();
  Json outcome = Json::object();
  outcome["seq"] = job.seq;
  outcome["profile"] = job.profile;
  outcome["class"] = job.event.class_name;
  outcome["pending"] = true;
  return outcome;
}

}  // namespace

HttpApi::HttpApi(Daemon& daemon) : daemon_(daemon), intake_(daemon) {}

HttpApi::~HttpApi() { Stop(); }

// The header limit, then the token (for everything but the probes). Checked
// in the handlers rather than before routing, so that the request's body has
// been read and a keep-alive connection stays in step.
bool HttpApi::Admit(const httplib::Request& req, httplib::Response& res) {
  std::size_t header_bytes = req.method.size() + req.target.size() + req.version.size() + 4;
  for (const auto& [name, value] : req.headers) header_bytes += name.size() + value.size() + 4;
  if (header_bytes > listen_.max_header_bytes) {
    SendError(res, 431, "",
              "the request's headers are larger than " + std::to_string(listen_.max_header_bytes) +
                  " bytes");
    return false;
  }
  if (req.path == "/healthz" || req.path == "/readyz") return true;
  const std::string token = daemon_.token();
  if (token.empty()) return true;
  const std::string given = req.get_header_value("Authorization");
  if (given.starts_with("Bearer ") && ConstantTimeEqual(given.substr(7), token)) return true;
  res.set_header("WWW-Authenticate", "Bearer");
  SendError(res, 401, "", "a valid bearer token is required");
  return false;
}

void HttpApi::Answer(Admission&& admission, bool wait, Json body, httplib::Response& res) {
  if (!admission.status.ok()) return SendStatus(res, admission.status);
  const std::vector<std::shared_ptr<Job>>& jobs = admission.jobs;
  // Queued, but when the store could not commit them they never run (the
  // workers drop them), so the client is told to send them again.
  if (const Status durable = intake_.WaitDurable(jobs); !durable.ok()) {
    return SendStatus(res, durable);
  }
  body["accepted"] = jobs.size();
  if (!wait) {
    body["seq"] = Json::array();
    for (const auto& job : jobs) body["seq"].push_back(job->seq);
    return SendJson(res, 202, body);
  }
  const auto deadline = std::chrono::steady_clock::now() + daemon_.wait_time();
  bool all = true;
  body["events"] = Json::array();
  for (const auto& job : jobs) {
    bool done = false;
    body["events"].push_back(WaitedOutcome(*job, deadline, &done));
    all = all && done;
  }
  SendJson(res, all ? 200 : 202, body);
}

bool HttpApi::Error(const httplib::Request& req, httplib::Response& res) {
  if (!res.body.empty()) return false;
  if (res.status != 413) {
    SendError(res, res.status, "", StatusText(res.status));
    return true;
  }
  const std::string message =
      "the body is larger than " + std::to_string(listen_.max_body_bytes) + " bytes";
  if (req.path == "/v1/events" || req.path == "/v1/alertmanager") {
    SendStatus(res, intake_.TooLarge(message));
  } else {
    SendError(res, 413, "", message);
  }
  return true;
}

void HttpApi::Events(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  Answer(intake_.Events(req.body), req.get_param_value("wait") == "1", Json::object(), res);
}

// Alertmanager retries a notification on 5xx only: a payload it sent wrong
// gets 400 (retrying cannot help), a full queue or journal 503.
void HttpApi::Alertmanager(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  AlertAdmission alerts = intake_.Alerts(req.body);
  if (!alerts.admission.status.ok()) return SendStatus(res, alerts.admission.status);
  const AlertBatch& batch = alerts.batch;
  Json body = Json::object();
  body["alerts"] = batch.firing + batch.resolved;
  body["ignored"] = batch.ignored_resolved;
  if (batch.truncated > 0) body["truncated"] = batch.truncated;
  if (alerts.admission.jobs.empty()) {
    body["accepted"] = 0;
    return SendJson(res, 200, body);
  }
  Answer(std::move(alerts.admission), req.get_param_value("wait") == "1", std::move(body), res);
}

void HttpApi::Results(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  // The history (service/queries.h) unless the client asks for the stream.
  const bool stream_wanted = req.has_param("follow") || req.has_param("logs") ||
                             req.get_header_value("Accept").find("text/event-stream") !=
                                 std::string::npos;
  if (!stream_wanted) {
    std::map<std::string, std::string> params;
    for (const auto& [name, value] : req.params) params[name] = value;
    QueryAnswer answer = QueryResults(*daemon_.state(), params);
    return SendJson(res, answer.status, answer.body);
  }
  ResultStream& stream = daemon_.stream();
  if (stream.clients() >= static_cast<std::size_t>(listen_.max_streams)) {
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
}

void HttpApi::EventQuery(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  QueryAnswer answer = QueryEvent(*daemon_.state(), req.matches[1]);
  SendJson(res, answer.status, answer.body);
}

void HttpApi::MetricsText(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  res.set_content(daemon_.metrics().Render(), "text/plain; version=0.0.4; charset=utf-8");
}

void HttpApi::Healthz(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  SendJson(res, 200, Json{{"status", "ok"}});
}

void HttpApi::Readyz(const httplib::Request& req, httplib::Response& res) {
  if (!Admit(req, res)) return;
  std::string why;
  if (daemon_.ready(&why)) {
    // A refused reload leaves the running configuration in force: still
    // ready, but the body says so.
    Json body{{"status", "ready"}};
    if (const std::string refusal = daemon_.last_reload_refusal(); !refusal.empty()) {
      body["last_reload"] =
          "refused: " + refusal + "; the running configuration stays";
    }
    SendJson(res, 200, body);
  } else {
    res.set_header("Retry-After", "5");
    Json body{{"status", !why.empty() ? "unavailable" : daemon_.accepting() ? "starting" : "stopping"}};
    if (!why.empty()) body["reason"] = why;
    SendJson(res, 503, body);
  }
}

void HttpApi::Configure(const ListenConfig& listen) {
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
}

Status HttpApi::Bind(const ListenConfig& listen, int* port) {
  httplib::Server& server = *server_;
  if (listen.port == 0) {
    errno = 0;
    *port = server.bind_to_any_port(listen.address);
    if (*port <= 0) {
      return {Reason::kFailed,
              "cannot listen on " + listen.address + " (any port)" + SystemError(errno), ""};
    }
    return Status::Ok();
  }
  errno = 0;
  if (!server.bind_to_port(listen.address, listen.port)) {
    return {Reason::kFailed,
            "cannot listen on " + listen.address + ":" + std::to_string(listen.port) +
                SystemError(errno),
            ""};
  }
  *port = listen.port;
  return Status::Ok();
}

Status HttpApi::Start(const ListenConfig& listen, int* port) {
  listen_ = listen;
  server_ = std::make_unique<httplib::Server>();
  Configure(listen);
  httplib::Server& server = *server_;
  using Handler = void (HttpApi::*)(const httplib::Request&, httplib::Response&);
  const auto route = [this](Handler handler) {
    return [this, handler](const httplib::Request& req, httplib::Response& res) {
      (this->*handler)(req, res);
    };
  };
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& req, httplib::Response& res) {
        return Error(req, res) ? httplib::Server::HandlerResponse::Handled
                               : httplib::Server::HandlerResponse::Unhandled;
      }));
  server.Post("/v1/events", route(&HttpApi::Events));
  server.Post("/v1/alertmanager", route(&HttpApi::Alertmanager));
  server.Get("/v1/results", route(&HttpApi::Results));
  server.Get(R"(/v1/events/([^/]+))", route(&HttpApi::EventQuery));
  server.Get("/metrics", route(&HttpApi::MetricsText));
  server.Get("/healthz", route(&HttpApi::Healthz));
  server.Get("/readyz", route(&HttpApi::Readyz));
  if (Status bound = Bind(listen, port); !bound.ok()) return bound;
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  return Status::Ok();
}

void HttpApi::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace service
