// The HTTP/1.1 server under actionmanagerd's API: Boost.Beast on Asio, one
// event loop thread for every connection, a fixed pool of threads for the
// handlers, and optional TLS (OpenSSL through Asio).
//
// Why Beast and not libmicrohttpd: the limits here must hold before any work
// and answer in HTTP. libmicrohttpd closes a connection over its limit
// without a word, times connections out only when idle (a byte every second
// keeps a trickle alive), and calls the application only once the head is
// complete, so neither the 503 over the limit nor a deadline for the whole
// head can be had from it. Beast hands the head over on its own (the access
// decision comes before a body byte is read), counts chunked bodies against
// the body limit after decoding, and its per-stream timer is an absolute
// deadline. Both are in the distribution; Beast is header-only.
//
// What a connection costs and how long it may take:
//   - head_seconds for the head of the first request (idle_seconds more for
//     each following one on a keep-alive connection), body_seconds for its
//     body: a deadline, not an idle timeout, so a trickle is cut.
//   - max_header_bytes for the head (431), max_body_bytes for the body after
//     any chunked decoding (413; reading stops there). A Content-Encoding is
//     refused (415) and a transfer coding other than chunked too (501): no
//     body is ever inflated.
//   - max_connections in all and max_connections_per_peer from one address.
//     A connection over either is read once with a short head deadline:
//     a probe route (/healthz, /readyz) is answered as usual, anything else
//     gets 503 with Retry-After. Up to max_connections such connections are
//     held; a connection beyond them gets 503 at once, unread.
//   - Requests are handled in order per connection (pipelining: the next is
//     read after the answer to the one before); a request whose sender
//     half-closed is answered before the connection closes.
//   - A refusal made from the head (401, 404, 405, 413 by Content-Length,
//     415, 501) closes the connection after the answer: its body is never
//     read, so the connection cannot stay in step.
//   - A streamed answer (server-sent events) is written from its own producer
//     thread through a buffer of at most stream_buffer_bytes; a reader that
//     lets it fill is cut and the buffer freed.
//
// Routes are method + path (or path prefix) + the access they need + a
// handler; the access check (Authorize) runs on the head. Probe handlers
// run on the event loop (they must not block) so they answer while every
// handler thread is busy; the others run on the handler pool.
//
// Thread-safety: Start, ReloadTls and Stop from one thread; handlers on any.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/status.h"

namespace service {

struct HttpRequest {
  std::string method;
  std::string target;  // as sent: path and query
  std::string path;
  std::map<std::string, std::string> query;  // the last value of each name
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string peer;  // the peer's address

  std::string Param(const std::string& name) const;
  std::string Header(const std::string& lower_name) const;
};

// Pushes a streamed answer's chunks; false once the connection is gone (the
// producer then returns).
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual bool Write(std::string chunk) = 0;
  virtual bool open() const = 0;
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Set for a streamed answer: runs on a thread of its own after the head
  // went out, writing through the sink until it returns; the connection
  // closes then.
  std::function<void(StreamSink&)> stream;
};

// Who may use a route: anyone (the probes), a submitter, a reader.
enum class Access { kProbe, kSubmit, kRead };

struct HttpRoute {
  std::string method;
  std::string path;
  bool prefix = false;  // `path` is a prefix of the paths it serves
  Access access = Access::kProbe;
  std::function<HttpResponse(const HttpRequest&)> handler;
  // The answer to a body over max_body_bytes (413), when the route counts
  // such refusals itself; else a plain 413.
  std::function<HttpResponse(const std::string& message)> too_large;
};

struct HttpLimits {
  std::size_t max_header_bytes = 8192;
  std::size_t max_body_bytes = 1 << 20;
  int max_connections = 256;
  int max_connections_per_peer = 32;
  int head_seconds = 10;
  int body_seconds = 30;
  int idle_seconds = 5;
  std::size_t stream_buffer_bytes = 1 << 20;
  int handler_threads = 16;
};

// An access decision from the head: 0 to go on, else the status to answer
// (401 or 403) with `*why`.
using Authorizer = std::function<int(Access access, const HttpRequest& head, std::string* why)>;

// The files of a TLS identity: a PEM certificate chain and its private key.
struct TlsFiles {
  std::string cert_file;
  std::string key_file;
  bool enabled() const { return !cert_file.empty(); }
};

class HttpServer {
 public:
  HttpServer();
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Loads the TLS identity (when given), binds `address`:`port` (0: any)
  // and starts serving; the port bound in `*port`. Why not.
  [[nodiscard]] Status Start(const std::string& address, int port, const HttpLimits& limits,
                             const TlsFiles& tls, std::vector<HttpRoute> routes,
                             Authorizer authorize, int* bound_port);
  // Loads the TLS identity again from its files, for the connections that
  // come next; the one in force stays when they cannot be read.
  [[nodiscard]] Status ReloadTls();
  // Closes the listener and every connection, ends the streams (their
  // producers must return when the sink closes) and joins.
  void Stop();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace service
