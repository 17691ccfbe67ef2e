#include "service/http_server.h"

#include <utility>  // before Asio, whose coroutine header needs std::exchange

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <unordered_map>

namespace service {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

std::string HttpRequest::Param(const std::string& name) const {
  const auto it = query.find(name);
  return it == query.end() ? std::string() : it->second;
}

std::string HttpRequest::Header(const std::string& lower_name) const {
  const auto it = headers.find(lower_name);
  return it == headers.end() ? std::string() : it->second;
}

namespace {

// How long a connection over a limit may take to say what it wants: long
// enough for a probe, short enough that such connections do not pile up.
constexpr int kOverflowHeadSeconds = 2;
// What is read and thrown away after a refusal made from the head, so that
// the client sees the answer rather than a reset: at most this much, for at
// most a second.
constexpr std::size_t kLingerBytes = 64 * 1024;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void SplitTarget(std::string_view target, HttpRequest* request) {
  const std::size_t question = target.find('?');
  request->path = Unescape(target.substr(0, question));
  if (question == std::string_view::npos) return;
  std::string_view rest = target.substr(question + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    const std::size_t eq = pair.find('=');
    request->query[Unescape(pair.substr(0, eq))] =
        eq == std::string_view::npos ? std::string() : Unescape(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    rest.remove_prefix(amp + 1);
  }
}

std::string ErrorBody(const std::string& message) {
  nlohmann::json body = {{"error", {{"message", message}}}};
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

HttpResponse ErrorResponse(int status, const std::string& message) {
  HttpResponse res;
  res.status = status;
  res.headers.emplace_back("Content-Type", "application/json");
  res.body = ErrorBody(message);
  return res;
}

// A malformed request, as opposed to a closed or timed-out connection.
bool Malformed(const error_code& ec) {
  return ec && ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

bool Matches(const HttpRoute& route, const std::string& path) {
  return route.prefix ? path.starts_with(route.path) : path == route.path;
}

}  // namespace

class HttpServer::Impl {
 public:
  class SessionBase {
   public:
    virtual ~SessionBase() = default;
    virtual void Close() = 0;
  };
  template <bool kTls>
  class Session;
  class Sink;

  Impl(HttpLimits limits, std::vector<HttpRoute> routes, Authorizer authorize)
      : limits_(limits), routes_(std::move(routes)), authorize_(std::move(authorize)),
        pool_(static_cast<std::size_t>(std::max(1, limits.handler_threads))) {}

  Status LoadTls(const TlsFiles& files) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                         asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                         asio::ssl::context::no_tlsv1_1);
    error_code ec;
    context->use_certificate_chain_file(files.cert_file, ec);
    if (ec) return {Reason::kFailed, files.cert_file + ": " + ec.message(), ""};
    context->use_private_key_file(files.key_file, asio::ssl::context::pem, ec);
    if (ec) return {Reason::kFailed, files.key_file + ": " + ec.message(), ""};
    std::lock_guard<std::mutex> lock(mu_);
    tls_files_ = files;
    tls_ = std::move(context);
    return Status::Ok();
  }
  std::shared_ptr<asio::ssl::context> tls() {
    std::lock_guard<std::mutex> lock(mu_);
    return tls_;
  }
  TlsFiles tls_files() {
    std::lock_guard<std::mutex> lock(mu_);
    return tls_files_;
  }

  Status Bind(const std::string& address, int port, int* bound) {
    error_code ec;
    const auto ip = asio::ip::make_address(address == "localhost" ? "127.0.0.1" : address, ec);
    const std::string where = address + ":" + (port == 0 ? std::string("any port") : std::to_string(port));
    if (ec) return {Reason::kFailed, "cannot listen on " + where + ": " + ec.message(), ""};
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    // SO_REUSEADDR only: a second daemon must fail to bind, not share the port.
    if (acceptor_.open(endpoint.protocol(), ec) || acceptor_.set_option(tcp::acceptor::reuse_address(true), ec) ||
        acceptor_.bind(endpoint, ec) || acceptor_.listen(asio::socket_base::max_listen_connections, ec)) {
      return {Reason::kFailed, "cannot listen on " + where + ": " + ec.message(), ""};
    }
    *bound = acceptor_.local_endpoint().port();
    return Status::Ok();
  }

  void Run() {
    Accept();
    thread_ = std::thread([this] { io_.run(); });
  }

  void Stop() {
    stopping_ = true;
    asio::post(io_, [this] {
      error_code ignored;
      acceptor_.close(ignored);
      retry_.cancel();
      // Closed outside the lock: a session may be released here, and its
      // destructor takes the lock.
      std::vector<std::shared_ptr<SessionBase>> live;
      {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& weak : sessions_) {
          if (auto session = weak.lock()) live.push_back(std::move(session));
        }
      }
      for (auto& session : live) session->Close();
    });
    // The producers see their sink closed; then no handler posts any more.
    // A stream started meanwhile closes itself (stopping_ is set).
    std::list<Producer> producers;
    {
      std::lock_guard<std::mutex> lock(mu_);
      producers.swap(producers_);
    }
    for (Producer& producer : producers) producer.thread.join();
    pool_.join();
    {
      std::lock_guard<std::mutex> lock(mu_);
      producers.swap(producers_);
    }
    for (Producer& producer : producers) producer.thread.join();
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  // Called by every session's destructor, on whichever thread held it last.
  void Release(const std::string& peer, bool overflow) {
    std::lock_guard<std::mutex> lock(mu_);
    if (overflow) {
      --overflow_;
      return;
    }
    --open_;
    if (auto it = per_peer_.find(peer); it != per_peer_.end() && --it->second == 0) {
      per_peer_.erase(it);
    }
  }

  void StartProducer(std::function<void()> run) {
    std::lock_guard<std::mutex> lock(mu_);
    // The finished ones are joined here, so the list holds about the live
    // ones (at most the streams allowed, and those just ending).
    for (auto it = producers_.begin(); it != producers_.end();) {
      if (it->done->load()) {
        it->thread.join();
        it = producers_.erase(it);
      } else {
        ++it;
      }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    // `run` (which holds the session) is destroyed before `done` is set:
    // the session's destructor takes the lock that joins finished threads.
    producers_.push_back({std::thread([run = std::move(run), done]() mutable {
                            {
                              auto produce = std::move(run);
                              produce();
                            }
                            *done = true;
                          }),
                          done});
  }

  void Track(const std::shared_ptr<SessionBase>& session) {
    std::lock_guard<std::mutex> lock(mu_);
    sessions_.remove_if([](const std::weak_ptr<SessionBase>& weak) { return weak.expired(); });
    sessions_.push_back(session);
  }

  const HttpLimits& limits() const { return limits_; }
  const std::vector<HttpRoute>& routes() const { return routes_; }
  const Authorizer& authorize() const { return authorize_; }
  asio::thread_pool& pool() { return pool_; }
  bool stopping() const { return stopping_; }

 private:
  void Accept();
  void RefuseUnread(tcp::socket socket);

  const HttpLimits limits_;
  const std::vector<HttpRoute> routes_;
  const Authorizer authorize_;
  std::mutex mu_;
  int open_ = 0;
  int overflow_ = 0;
  std::unordered_map<std::string, int> per_peer_;
  std::list<std::weak_ptr<SessionBase>> sessions_;
  struct Producer {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::list<Producer> producers_;
  TlsFiles tls_files_;
  std::shared_ptr<asio::ssl::context> tls_;
  std::atomic<bool> stopping_{false};
  asio::io_context io_{1};
  tcp::acceptor acceptor_{io_};
  asio::steady_timer retry_{io_};
  asio::thread_pool pool_;
  std::thread thread_;
};

// A streamed answer's side of the producer: bytes in flight are counted
// against the buffer bound; over it, the connection is cut.
class HttpServer::Impl::Sink final : public StreamSink {
 public:
  Sink(std::size_t limit, std::function<void(std::string, std::size_t)> push,
       std::function<void()> cut)
      : limit_(limit), push_(std::move(push)), cut_(std::move(cut)) {}
  bool Write(std::string chunk) override {
    if (!open_) return false;
    char size[32];
    const int n = std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    std::string framed(size, static_cast<std::size_t>(n));
    framed += chunk;
    framed += "\r\n";
    const std::size_t bytes = framed.size();
    if (pending_.fetch_add(bytes) + bytes > limit_) {
      Cut();
      return false;
    }
    push_(std::move(framed), bytes);
    return true;
  }
  bool open() const override { return open_; }
  void Written(std::size_t bytes) { pending_ -= bytes; }
  void Cut() {
    if (open_.exchange(false)) cut_();
  }
  void Closed() { open_ = false; }

 private:
  const std::size_t limit_;
  std::function<void(std::string, std::size_t)> push_;
  std::function<void()> cut_;
  std::atomic<std::size_t> pending_{0};
  std::atomic<bool> open_{true};
};

template <bool kTls>
class HttpServer::Impl::Session final : public SessionBase,
                                        public std::enable_shared_from_this<Session<kTls>> {
  using Stream = std::conditional_t<kTls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

 public:
  Session(Impl& impl, tcp::socket socket, std::string peer, bool overflow,
          std::shared_ptr<asio::ssl::context> tls)
      : impl_(impl), tls_(std::move(tls)), stream_(MakeStream(std::move(socket), tls_.get())),
        peer_(std::move(peer)), overflow_(overflow) {}
  ~Session() override { impl_.Release(peer_, overflow_); }

  void Start() {
    if constexpr (kTls) {
      Lowest().expires_after(HeadDeadline());
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code ec) {
                                if (ec) return self->Close();
                                self->ReadHead();
                              });
    } else {
      ReadHead();
    }
  }

  void Close() override {
    if (sink_) sink_->Closed();
    Lowest().close();
  }

 private:
  static Stream MakeStream(tcp::socket socket, asio::ssl::context* tls) {
    if constexpr (kTls) {
      return Stream(beast::tcp_stream(std::move(socket)), *tls);
    } else {
      (void)tls;
      return Stream(std::move(socket));
    }
  }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
  std::chrono::seconds HeadDeadline() const {
    const HttpLimits& limits = impl_.limits();
    if (overflow_) return std::chrono::seconds(std::min(limits.head_seconds, kOverflowHeadSeconds));
    return std::chrono::seconds(first_ ? limits.head_seconds : limits.idle_seconds + limits.head_seconds);
  }

  void ReadHead() {
    if (impl_.stopping()) return Close();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(impl_.limits().max_header_bytes));
    // The body limit is set once the head has been routed, so that a
    // Content-Length over it is answered by the route (413, counted).
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    Lowest().expires_after(HeadDeadline());
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](error_code ec, std::size_t) {
                              self->OnHead(ec);
                            });
  }

  // The parsed head into request_ (method, target, path and query, headers
  // by lower-case name, peer) and keep_alive_.
  void TakeHead() {
    const auto& head = parser_->get();
    request_ = HttpRequest{};
    request_.method = std::string(head.method_string());
    request_.target = std::string(head.target());
    request_.peer = peer_;
    SplitTarget(request_.target, &request_);
    for (const auto& field : head) {
      const auto name = field.name_string();
      request_.headers[Lower(std::string_view(name.data(), name.size()))] = std::string(field.value());
    }
    keep_alive_ = head.keep_alive() && !overflow_;
  }

  // route_: the route of the request's method and path, or null; then the
  // methods its path has ("GET, POST", for 405's Allow), empty for none.
  std::string FindRoute() {
    route_ = nullptr;
    std::string allow;
    for (const HttpRoute& route : impl_.routes()) {
      if (!Matches(route, request_.path)) continue;
      if (route.method == request_.method) {
        route_ = &route;
        break;
      }
      if (allow.find(route.method) == std::string::npos) allow += (allow.empty() ? "" : ", ") + route.method;
    }
    return allow;
  }

  void OnHead(error_code ec) {
    if (ec == http::error::header_limit) {
      return Refuse(431, "the request's head is larger than " +
                             std::to_string(impl_.limits().max_header_bytes) + " bytes");
    }
    if (Malformed(ec)) return Refuse(400, "malformed request: " + ec.message());
    if (ec) return Close();  // closed, cut at the deadline, or stopped
    TakeHead();
    const std::string allow = FindRoute();
    if (route_ == nullptr && allow.empty()) return Refuse(404, "no such resource");
    if (route_ == nullptr) return Refuse(405, "method not allowed", {{"Allow", allow}});
    if (overflow_ && route_->access != Access::kProbe) {
      return Refuse(503, "too many connections", {{"Retry-After", "1"}});
    }
    if (route_->access != Access::kProbe) {
      std::string why;
      if (const int status = impl_.authorize()(route_->access, request_, &why); status != 0) {
        return Refuse(status, why, {{"WWW-Authenticate", "Bearer"}});
      }
    }
    if (const std::string coding = Lower(request_.Header("content-encoding"));
        !coding.empty() && coding != "identity") {
      return Refuse(415, "compressed bodies are not accepted (Content-Encoding: " + coding + ")");
    }
    if (const std::string coding = Lower(request_.Header("transfer-encoding"));
        !coding.empty() && coding != "chunked") {
      return Refuse(501, "transfer coding not supported: " + coding);
    }
    if (const auto length = parser_->content_length();
        length && *length > impl_.limits().max_body_bytes) {
      return TooLarge();
    }
    if (parser_->is_done()) return Dispatch();
    if (Lower(request_.Header("expect")) == "100-continue") {
      static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      return asio::async_write(stream_, asio::buffer(kContinue),
                               [self = this->shared_from_this()](error_code ec, std::size_t) {
                                 if (ec) return self->Close();
                                 self->ReadBody();
                               });
    }
    ReadBody();
  }

  void ReadBody() {
    parser_->body_limit(impl_.limits().max_body_bytes);
    Lowest().expires_after(std::chrono::seconds(impl_.limits().body_seconds));
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](error_code ec, std::size_t) {
                       self->OnBody(ec);
                     });
  }

  void OnBody(error_code ec) {
    if (ec == http::error::body_limit) return TooLarge();
    if (ec == beast::error::timeout) return Refuse(408, "the body did not arrive in time");
    if (Malformed(ec)) return Refuse(400, "malformed request: " + ec.message());
    if (ec) return Close();
    request_.body = parser_->release().body();
    Dispatch();
  }

  void TooLarge() {
    const std::string message =
        "the body is larger than " + std::to_string(impl_.limits().max_body_bytes) + " bytes";
    if (route_ != nullptr && route_->too_large) return Send(route_->too_large(message), false, true);
    Refuse(413, message);
  }

  void Dispatch() {
    if (route_->access == Access::kProbe) return Send(route_->handler(request_), keep_alive_, false);
    asio::post(impl_.pool(), [self = this->shared_from_this()] {
      HttpResponse res = self->route_->handler(self->request_);
      asio::post(self->Lowest().get_executor(), [self, res = std::move(res)]() mutable {
        self->Send(std::move(res), self->keep_alive_, false);
      });
    });
  }

  void Refuse(int status, const std::string& message,
              std::vector<std::pair<std::string, std::string>> headers = {}) {
    HttpResponse res = ErrorResponse(status, message);
    for (auto& header : headers) res.headers.push_back(std::move(header));
    Send(std::move(res), false, true);
  }

  // Writes `res`; then the next request (`keep_alive`), or the end: with
  // `linger`, the unread rest of the request is drained a little first.
  void Send(HttpResponse res, bool keep_alive, bool linger) {
    if (res.stream) return StartStream(std::move(res));
    auto message = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(res.status), 11);
    for (const auto& [name, value] : res.headers) message->set(name, value);
    message->body() = std::move(res.body);
    message->keep_alive(keep_alive);
    message->prepare_payload();
    Lowest().expires_after(std::chrono::seconds(impl_.limits().body_seconds));
    http::async_write(stream_, *message,
                      [self = this->shared_from_this(), message, keep_alive, linger](error_code ec,
                                                                                     std::size_t) {
                        if (ec) return self->Close();
                        if (keep_alive) {
                          self->first_ = false;
                          return self->ReadHead();
                        }
                        self->Finish(linger);
                      });
  }

  void Finish(bool linger) {
    error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    if (!linger) return Close();
    Lowest().expires_after(std::chrono::seconds(1));
    Drain(0);
  }

  void Drain(std::size_t drained) {
    if (drained >= kLingerBytes) return Close();
    Lowest().async_read_some(asio::buffer(scratch_),
                             [self = this->shared_from_this(), drained](error_code ec, std::size_t n) {
                               if (ec) return self->Close();
                               self->Drain(drained + n);
                             });
  }

  void StartStream(HttpResponse res) {
    if (impl_.stopping()) return Close();
    std::string head = "HTTP/1.1 " + std::to_string(res.status) + " " +
                       std::string(http::obsolete_reason(static_cast<http::status>(res.status))) +
                       "\r\n";
    for (const auto& [name, value] : res.headers) head += name + ": " + value + "\r\n";
    head += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    // The reader's pace bounds the stream, through the buffer: no deadline.
    Lowest().expires_never();
    std::weak_ptr<Session> weak = this->shared_from_this();
    auto executor = Lowest().get_executor();
    sink_ = std::make_shared<Sink>(
        impl_.limits().stream_buffer_bytes,
        [weak, executor](std::string framed, std::size_t bytes) {
          asio::post(executor, [weak, framed = std::move(framed), bytes]() mutable {
            if (auto self = weak.lock()) self->Queue(std::move(framed), bytes);
          });
        },
        [weak, executor] {
          asio::post(executor, [weak] {
            if (auto self = weak.lock()) self->Close();
          });
        });
    Queue(std::move(head), 0);
    auto self = this->shared_from_this();
    impl_.StartProducer([self, sink = sink_, produce = std::move(res.stream)] {
      produce(*sink);
      // The terminating chunk, then the connection closes.
      asio::post(self->Lowest().get_executor(), [self] {
        self->ending_ = true;
        self->Queue("0\r\n\r\n", 0);
      });
    });
  }

  void Queue(std::string framed, std::size_t counted) {
    out_.emplace_back(std::move(framed), counted);
    WriteQueued();
  }

  void WriteQueued() {
    if (writing_) return;
    if (out_.empty()) {
      if (ending_) Finish(false);
      return;
    }
    writing_ = true;
    asio::async_write(stream_, asio::buffer(out_.front().first),
                      [self = this->shared_from_this()](error_code ec, std::size_t) {
                        self->writing_ = false;
                        self->sink_->Written(self->out_.front().second);
                        self->out_.pop_front();
                        if (ec) {
                          self->out_.clear();
                          return self->Close();
                        }
                        self->WriteQueued();
                      });
  }

  Impl& impl_;
  std::shared_ptr<asio::ssl::context> tls_;  // before stream_, which refers to it
  Stream stream_;
  const std::string peer_;
  const bool overflow_;
  bool first_ = true;
  bool keep_alive_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  HttpRequest request_;
  const HttpRoute* route_ = nullptr;
  char scratch_[4096];
  std::shared_ptr<Sink> sink_;
  std::deque<std::pair<std::string, std::size_t>> out_;
  bool writing_ = false;
  bool ending_ = false;
};

void HttpServer::Impl::RefuseUnread(tcp::socket socket) {
  static const std::string kRefusal = [] {
    const std::string body = ErrorBody("too many connections");
    return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nRetry-After: 1\r\n"
           "Connection: close\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }();
  auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
  stream->expires_after(std::chrono::seconds(1));
  asio::async_write(*stream, asio::buffer(kRefusal), [stream](error_code, std::size_t) {
    error_code ignored;
    stream->socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream->close();
  });
}

void HttpServer::Impl::Accept() {
  acceptor_.async_accept(io_, [this](error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || stopping_) return;
    if (ec) {
      // Out of descriptors, most likely: try again shortly rather than spin.
      retry_.expires_after(std::chrono::milliseconds(100));
      return retry_.async_wait([this](error_code waited) {
        if (!waited && !stopping_) Accept();
      });
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    const std::string peer = socket.remote_endpoint(ignored).address().to_string();
    bool overflow = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      int& from_peer = per_peer_[peer];
      if (open_ < limits_.max_connections && from_peer < limits_.max_connections_per_peer) {
        ++open_;
        ++from_peer;
      } else if (overflow_ < limits_.max_connections) {
        if (from_peer == 0) per_peer_.erase(peer);
        ++overflow_;
        overflow = true;
      } else {
        if (from_peer == 0) per_peer_.erase(peer);
        RefuseUnread(std::move(socket));
        return Accept();
      }
    }
    std::shared_ptr<asio::ssl::context> tls = this->tls();
    if (tls) {
      auto session = std::make_shared<Session<true>>(*this, std::move(socket), peer, overflow, tls);
      Track(session);
      session->Start();
    } else {
      auto session = std::make_shared<Session<false>>(*this, std::move(socket), peer, overflow, nullptr);
      Track(session);
      session->Start();
    }
    Accept();
  });
}

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() { Stop(); }

Status HttpServer::Start(const std::string& address, int port, const HttpLimits& limits,
                         const TlsFiles& tls, std::vector<HttpRoute> routes, Authorizer authorize,
                         int* bound_port) {
  impl_ = std::make_unique<Impl>(limits, std::move(routes), std::move(authorize));
  if (tls.enabled()) {
    if (Status loaded = impl_->LoadTls(tls); !loaded.ok()) return loaded;
  }
  if (Status bound = impl_->Bind(address, port, bound_port); !bound.ok()) return bound;
  impl_->Run();
  return Status::Ok();
}

Status HttpServer::ReloadTls() {
  if (!impl_) return Status::Ok();
  const TlsFiles files = impl_->tls_files();
  if (!files.enabled()) return Status::Ok();
  return impl_->LoadTls(files);
}

void HttpServer::Stop() {
  if (!impl_) return;
  impl_->Stop();
  impl_.reset();
}

}  // namespace service
