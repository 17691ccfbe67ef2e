#include "service/http_api.h"

#include <chrono>
#include <string_view>
#include <utility>

#include "service/log.h"
#include "service/queries.h"

namespace service {
namespace {

using scenario::Json;

HttpResponse JsonResponse(int status, const Json& body) {
  HttpResponse res;
  res.status = status;
  res.headers.emplace_back("Content-Type", "application/json");
  res.body = body.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  return res;
}

HttpResponse ErrorResponse(int status, const std::string& place, const std::string& message,
                           int retry_after = 0) {
  Json body = Json::object();
  body["error"] = Json::object();
  if (!place.empty()) body["error"]["place"] = place;
  body["error"]["message"] = message;
  HttpResponse res = JsonResponse(status, body);
  if (retry_after > 0) res.headers.emplace_back("Retry-After", std::to_string(retry_after));
  return res;
}

HttpResponse StatusResponse(const Status& status) {
  return ErrorResponse(status.row().http_status, status.place, status.text(),
                       status.row().retry_after);
}

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return diff == 0;
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

// How often a quiet stream says it is alive, and how often its producer
// looks whether the connection is still there.
constexpr auto kKeepAlive = std::chrono::seconds(10);
constexpr auto kStreamPoll = std::chrono::seconds(1);

}  // namespace

HttpApi::HttpApi(Daemon& daemon) : daemon_(daemon), intake_(daemon) {}

HttpApi::~HttpApi() { Stop(); }

int HttpApi::Authorize(Access access, const HttpRequest& head, std::string* why) const {
  const bool submit = access == Access::kSubmit;
  std::string token;
  bool anonymous = false;
  {
    std::lock_guard<std::mutex> lock(tokens_mu_);
    token = submit ? listen_.token : listen_.read_token;
    anonymous = IsLoopback(listen_.address) &&
                (submit ? listen_.anonymous_submit : listen_.anonymous_read);
  }
  const char* what = submit ? "submit" : "read";
  if (!token.empty()) {
    const std::string given = head.Header("authorization");
    if (given.starts_with("Bearer ") && ConstantTimeEqual(given.substr(7), token)) return 0;
    *why = std::string("a valid bearer token is required (the ") + what + " token)";
    return 401;
  }
  if (anonymous) return 0;
  *why = std::string("no ") + what + " token is configured and anonymous access is off (listen." +
         (submit ? "anonymous_submit" : "anonymous_read") + ")";
  return 403;
}

HttpResponse HttpApi::Answer(Admission&& admission, bool wait, Json body) {
  if (!admission.status.ok()) return StatusResponse(admission.status);
  const std::vector<std::shared_ptr<Job>>& jobs = admission.jobs;
  // Queued, but when the store could not commit them they never run (the
  // workers drop them), so the client is told to send them again.
  if (const Status durable = intake_.WaitDurable(jobs); !durable.ok()) {
    return StatusResponse(durable);
  }
  body["accepted"] = jobs.size();
  if (!wait) {
    body["seq"] = Json::array();
    for (const auto& job : jobs) body["seq"].push_back(job->seq);
    return JsonResponse(202, body);
  }
  const auto deadline = std::chrono::steady_clock::now() + daemon_.wait_time();
  bool all = true;
  body["events"] = Json::array();
  for (const auto& job : jobs) {
    bool done = false;
    body["events"].push_back(WaitedOutcome(*job, deadline, &done));
    all = all && done;
  }
  return JsonResponse(all ? 200 : 202, body);
}

HttpResponse HttpApi::TooLarge(const std::string& message) {
  return StatusResponse(intake_.TooLarge(message));
}

HttpResponse HttpApi::Events(const HttpRequest& req) {
  return Answer(intake_.Events(req.body), req.Param("wait") == "1", Json::object());
}

// Alertmanager retries a notification on 5xx only: a payload it sent wrong
// gets 400 (retrying cannot help), a full queue or journal 503.
HttpResponse HttpApi::Alertmanager(const HttpRequest& req) {
  AlertAdmission alerts = intake_.Alerts(req.body);
  if (!alerts.admission.status.ok()) return StatusResponse(alerts.admission.status);
  const AlertBatch& batch = alerts.batch;
  Json body = Json::object();
  body["alerts"] = batch.firing + batch.resolved;
  body["ignored"] = batch.ignored_resolved + batch.ignored_missing;
  if (batch.truncated > 0) body["truncated"] = batch.truncated;
  if (alerts.admission.jobs.empty()) {
    body["accepted"] = 0;
    return JsonResponse(200, body);
  }
  return Answer(std::move(alerts.admission), req.Param("wait") == "1", std::move(body));
}

HttpResponse HttpApi::Results(const HttpRequest& req) {
  // The history (service/queries.h) unless the client asks for the stream.
  const bool stream_wanted = req.query.count("follow") > 0 || req.query.count("logs") > 0 ||
                             req.Header("accept").find("text/event-stream") != std::string::npos;
  if (!stream_wanted) {
    QueryAnswer answer = QueryResults(*daemon_.state(), req.query);
    return JsonResponse(answer.status, answer.body);
  }
  ResultStream& stream = daemon_.stream();
  if (stream.clients() >= static_cast<std::size_t>(listen_.max_streams)) {
    return ErrorResponse(503, "", "too many result streams", 5);
  }
  auto client = stream.Subscribe(req.Param("logs") == "1");
  HttpResponse res;
  res.headers = {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}};
  // Messages go to the connection as they come; the connection's buffer is
  // what bounds a slow reader (it is cut when the buffer fills).
  res.stream = [&stream, client](StreamSink& sink) {
    auto quiet = std::chrono::seconds(0);
    bool open = sink.Write(": subscribed\n\n");
    while (open && sink.open()) {
      bool closed = false;
      const auto message = client->Next(kStreamPoll, &closed);
      if (message) {
        open = sink.Write("event: " + message->event + "\ndata: " + message->data + "\n\n");
        quiet = std::chrono::seconds(0);
      } else if (closed) {
        break;
      } else if ((quiet += kStreamPoll) >= kKeepAlive) {
        open = sink.Write(": keep-alive\n\n");
        quiet = std::chrono::seconds(0);
      }
    }
    stream.Unsubscribe(client);
  };
  return res;
}

HttpResponse HttpApi::EventQuery(const HttpRequest& req) {
  static constexpr std::string_view kPrefix = "/v1/events/";
  const std::string seq = req.path.substr(kPrefix.size());
  if (seq.empty() || seq.find('/') != std::string::npos) {
    return ErrorResponse(404, "", "no such path", 0);
  }
  QueryAnswer answer = QueryEvent(*daemon_.state(), seq);
  return JsonResponse(answer.status, answer.body);
}

HttpResponse HttpApi::StatusQuery(const HttpRequest& req) {
  QueryAnswer answer = QueryStatus(*daemon_.state(), daemon_.accepting(), daemon_.profile_states(),
                                   req.query);
  return JsonResponse(answer.status, answer.body);
}

HttpResponse HttpApi::MetricsText(const HttpRequest&) {
  HttpResponse res;
  res.headers.emplace_back("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
  res.body = daemon_.metrics().Render();
  return res;
}

HttpResponse HttpApi::Healthz(const HttpRequest&) { return JsonResponse(200, Json{{"status", "ok"}}); }

HttpResponse HttpApi::Readyz(const HttpRequest&) {
  std::string why;
  if (daemon_.ready(&why)) {
    // A refused reload leaves the running configuration in force: still
    // ready, but the body says so.
    Json body{{"status", "ready"}};
    if (const std::string refusal = daemon_.last_reload_refusal(); !refusal.empty()) {
      body["last_reload"] = "refused: " + refusal + "; the running configuration stays";
    }
    return JsonResponse(200, body);
  }
  Json body{{"status", !why.empty()         ? "unavailable"
                       : daemon_.accepting() ? "starting"
                                             : "stopping"}};
  if (!why.empty()) body["reason"] = why;
  HttpResponse res = JsonResponse(503, body);
  res.headers.emplace_back("Retry-After", "5");
  return res;
}

Status HttpApi::Start(const ListenConfig& listen, int* port) {
  {
    std::lock_guard<std::mutex> lock(tokens_mu_);
    listen_ = listen;
  }
  HttpLimits limits;
  limits.max_header_bytes = listen.max_header_bytes;
  limits.max_body_bytes = listen.max_body_bytes;
  limits.max_connections = listen.max_connections;
  limits.max_connections_per_peer = listen.max_connections_per_peer;
  limits.head_seconds = listen.head_seconds;
  limits.body_seconds = listen.body_seconds;
  limits.idle_seconds = listen.idle_seconds;
  limits.stream_buffer_bytes = listen.stream_buffer_bytes;
  using Handler = HttpResponse (HttpApi::*)(const HttpRequest&);
  const auto route = [this](const char* method, const char* path, Access access, Handler handler,
                            bool counts_too_large = false) {
    HttpRoute made{method, path, false, access,
                   [this, handler](const HttpRequest& req) { return (this->*handler)(req); }, {}};
    if (counts_too_large) made.too_large = [this](const std::string& message) { return TooLarge(message); };
    return made;
  };
  const auto prefixed = [&route](const char* method, const char* path, Access access,
                                 Handler handler) {
    HttpRoute made = route(method, path, access, handler);
    made.prefix = true;
    return made;
  };
  std::vector<HttpRoute> routes = {
      route("POST", "/v1/events", Access::kSubmit, &HttpApi::Events, true),
      route("POST", "/v1/alertmanager", Access::kSubmit, &HttpApi::Alertmanager, true),
      route("GET", "/v1/results", Access::kRead, &HttpApi::Results),
      prefixed("GET", "/v1/events/", Access::kRead, &HttpApi::EventQuery),
      route("GET", "/v1/status", Access::kRead, &HttpApi::StatusQuery),
      route("GET", "/metrics", Access::kRead, &HttpApi::MetricsText),
      route("GET", "/healthz", Access::kProbe, &HttpApi::Healthz),
      route("GET", "/readyz", Access::kProbe, &HttpApi::Readyz),
  };
  const TlsFiles tls{listen.tls_cert_file.string(), listen.tls_key_file.string()};
  return server_.Start(
      listen.address, listen.port, limits, tls, std::move(routes),
      [this](Access access, const HttpRequest& head, std::string* why) {
        return Authorize(access, head, why);
      },
      port);
}

Status HttpApi::Reload() {
  ListenConfig fresh;
  {
    std::lock_guard<std::mutex> lock(tokens_mu_);
    fresh = listen_;
  }
  scenario::InputError error;
  if (!ReadListenSecrets(&fresh, &error)) {
    return {Reason::kFailed, error.file + ": " + error.message + "; the tokens in force stay", ""};
  }
  {
    std::lock_guard<std::mutex> lock(tokens_mu_);
    listen_.token = fresh.token;
    listen_.read_token = fresh.read_token;
  }
  return server_.ReloadTls();
}

void HttpApi::Stop() { server_.Stop(); }

}  // namespace service
