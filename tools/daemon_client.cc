#include "tools/daemon_client.h"

#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/file_io.h"
#include "service_config/config.h"

namespace tools {
namespace {

// Long enough for ?wait=1 (the daemon's wait_seconds, 60 by default) and a
// stream's keep-alive comments (every 10 s); a daemon silent for longer is
// not answering.
constexpr time_t kReadSeconds = 300;
constexpr time_t kStreamReadSeconds = 30;
constexpr time_t kConnectSeconds = 5;
// How long the socket's acknowledgements may take in all (a group commit
// is one sync).
constexpr int kSocketAckMs = 60000;

std::string Why(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
      return "cannot connect";
    case httplib::Error::Read:
      return "the connection broke while the answer was read";
    case httplib::Error::Write:
      return "the connection broke while the request was sent";
    case httplib::Error::SSLConnection:
      return "the TLS handshake failed";
    case httplib::Error::SSLServerVerification:
      return "the server's certificate is not trusted (see --ca-file)";
    case httplib::Error::Canceled:
      return "";
    default:
      return httplib::to_string(error);
  }
}

DaemonReply FromResult(const httplib::Result& result) {
  DaemonReply reply;
  if (!result) {
    reply.error = Why(result.error());
    return reply;
  }
  reply.status = result->status;
  reply.body = Json::parse(result->body, nullptr, false);
  if (reply.body.is_discarded()) reply.body = nullptr;
  reply.retry_after = result->get_header_value("Retry-After");
  return reply;
}

std::string ErrorMessage(const Json& body, std::string* place) {
  const Json* error = body.is_object() && body.contains("error") ? &body["error"] : nullptr;
  if (error == nullptr || !error->is_object()) return "";
  if (error->contains("place") && (*error)["place"].is_string()) *place = (*error)["place"];
  return error->value("message", "");
}

}  // namespace

std::string DefaultDaemonUrl() {
  return "http://127.0.0.1:" + std::to_string(service::ListenConfig{}.port);
}

ExitStatus ReportReply(const DaemonReply& reply, const std::string& name, std::ostream& err) {
  std::string place;
  const std::string message = ErrorMessage(reply.body, &place);
  if (reply.status == 0 || reply.status == 503) {
    err << "amctl: the daemon is unavailable: "
        << (reply.status == 0 ? reply.error : message.empty() ? "503" : message);
    if (!reply.retry_after.empty()) err << " (retry after " << reply.retry_after << " s)";
    err << '\n';
    return kUnavailable;
  }
  const int status = reply.status;
  if (status == 400 || status == 404 || status == 413 || status == 415) {
    err << "amctl: " << name << ": " << (place.empty() ? "" : place + ": ")
        << (message.empty() ? "refused with status " + std::to_string(status) : message) << '\n';
    return kInvalidInput;
  }
  err << "amctl: the daemon answered " << status << (message.empty() ? "" : ": " + message)
      << '\n';
  return kFailed;
}

std::unique_ptr<DaemonClient> DaemonClient::Open(const DaemonTarget& target, std::ostream& err,
                                                 ExitStatus* status) {
  std::unique_ptr<DaemonClient> client(new DaemonClient());
  if (!target.token_file.empty()) {
    // The daemon's own reader: the same access check and the same form.
    service::ListenConfig listen;
    listen.token_file = target.token_file;
    InputError error;
    if (!service::ReadListenSecrets(&listen, &error)) {
      *status = ReportInvalidInput(err, target.token_file, error);
      return nullptr;
    }
    client->token_ = listen.token;
  }
  if (!target.socket.empty()) {
    client->where_ = target.socket;
    client->socket_ = true;
    return client;
  }
  std::string url = target.url.empty() ? DefaultDaemonUrl() : target.url;
  if (url.ends_with('/')) url.pop_back();
  const bool https = url.starts_with("https://");
  const std::size_t host_at = url.find("://") + 3;
  if ((!https && !url.starts_with("http://")) || url.find('/', host_at) != std::string::npos ||
      url.size() == host_at) {
    err << "amctl: --url " << target.url
        << ": must be http://HOST[:PORT] or https://HOST[:PORT], without a path\n";
    *status = kUsage;
    return nullptr;
  }
  client->where_ = url;
  client->http_ = std::make_unique<httplib::Client>(url);
  if (!client->http_->is_valid()) {
    err << "amctl: --url " << target.url << ": not a usable address\n";
    *status = kUsage;
    return nullptr;
  }
  if (!target.ca_file.empty()) client->http_->set_ca_cert_path(target.ca_file);
  if (!client->token_.empty()) client->http_->set_bearer_token_auth(client->token_);
  client->http_->set_connection_timeout(kConnectSeconds);
  client->http_->set_read_timeout(kReadSeconds);
  return client;
}

DaemonClient::~DaemonClient() = default;

DaemonReply DaemonClient::Get(const std::string& path, const Params& params) {
  return FromResult(http_->Get(path, httplib::Params(params.begin(), params.end()), {}));
}

DaemonReply DaemonClient::Post(const std::string& path, const std::string& body, bool wait) {
  return FromResult(http_->Post(wait ? path + "?wait=1" : path, body, "application/json"));
}

DaemonReply DaemonClient::Follow(
    const std::string& path, const Params& params,
    const std::function<bool(const std::string& event, const std::string& data)>& on_message) {
  DaemonReply reply;
  std::string pending;  // bytes of a message not yet whole
  std::string refusal;  // the body of an answer that is not the stream
  bool stopped = false;
  http_->set_read_timeout(kStreamReadSeconds);
  const httplib::Headers headers = {{"Accept", "text/event-stream"}};
  auto result = http_->Get(
      path, httplib::Params(params.begin(), params.end()), headers,
      [&reply](const httplib::Response& response) {
        reply.status = response.status;
        reply.retry_after = response.get_header_value("Retry-After");
        return true;
      },
      [&](const char* data, std::size_t size) {
        if (reply.status != 200) {
          refusal.append(data, size);
          return true;
        }
        pending.append(data, size);
        // A message ends with a blank line; lines are "event: NAME",
        // "data: TEXT" or comments (": ...").
        for (std::size_t end; (end = pending.find("\n\n")) != std::string::npos;) {
          const std::string message = pending.substr(0, end + 1);
          pending.erase(0, end + 2);
          std::string event = "message";
          std::string text;
          for (std::size_t at = 0, next; at < message.size(); at = next + 1) {
            next = message.find('\n', at);
            const std::string line = message.substr(at, next - at);
            if (line.starts_with("event: ")) event = line.substr(7);
            if (line.starts_with("data: ")) text += (text.empty() ? "" : "\n") + line.substr(6);
          }
          if (!text.empty() && !on_message(event, text)) {
            stopped = true;
            return false;
          }
        }
        return true;
      });
  http_->set_read_timeout(kReadSeconds);
  if (reply.status != 200) {
    if (!result && reply.status == 0) reply.error = Why(result.error());
    reply.body = Json::parse(refusal, nullptr, false);
    if (reply.body.is_discarded()) reply.body = nullptr;
    return reply;
  }
  if (!stopped) reply.error = result ? "the daemon ended the stream" : Why(result.error());
  return reply;
}

void DaemonClient::Cancel() {
  if (http_) http_->stop();
}

bool DaemonClient::SendLines(const std::vector<std::string>& lines, std::vector<Json>* acks,
                             std::string* why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (where_.size() >= sizeof address.sun_path) {
    *why = "the socket's path is too long";
    return false;
  }
  std::memcpy(address.sun_path, where_.data(), where_.size());
  base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0 ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    *why = std::string("cannot connect: ") + std::strerror(errno);
    return false;
  }
  std::string bytes;
  for (const std::string& line : lines) bytes += line + "\n";
  if (!base::WriteAll(fd.get(), bytes)) {
    *why = std::string("cannot send: ") + std::strerror(errno);
    return false;
  }
  std::string received;
  while (acks->size() < lines.size()) {
    pollfd readable{fd.get(), POLLIN, 0};
    const int ready = ::poll(&readable, 1, kSocketAckMs);
    if (ready < 0 && errno == EINTR) continue;
    char buffer[4096];
    const ssize_t n = ready > 0 ? ::read(fd.get(), buffer, sizeof buffer) : -1;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = ready == 0 ? "no acknowledgement came in time" : "the daemon closed the connection";
      return false;
    }
    received.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = received.find('\n')) != std::string::npos;) {
      acks->push_back(Json::parse(received.substr(0, end), nullptr, false));
      received.erase(0, end + 1);
      // Line 0 refuses the connection itself (too many); nothing follows.
      if (acks->back().is_object() && acks->back().value("line", -1) == 0) return true;
    }
  }
  return true;
}

}  // namespace tools
