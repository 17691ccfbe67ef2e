#include "service/socket_api.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "service/log.h"

namespace service {
namespace {

using scenario::Json;

bool SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

Json Refused(std::size_t line, int status, const std::string& place, const std::string& message,
             int retry_after = 0) {
  Json ack = Json::object();
  ack["line"] = line;
  ack["accepted"] = false;
  ack["status"] = status;
  if (retry_after > 0) ack["retry_after"] = retry_after;
  ack["error"] = Json::object();
  if (!place.empty()) ack["error"]["place"] = place;
  ack["error"]["message"] = message;
  return ack;
}

Json Refused(std::size_t line, const Status& status) {
  return Refused(line, status.row().http_status, status.place, status.text(),
                 status.row().retry_after);
}

}  // namespace

SocketApi::SocketApi(Daemon& daemon) : daemon_(daemon), intake_(daemon) {}

SocketApi::~SocketApi() { Stop(); }

Status SocketApi::Start(const std::filesystem::path& path, unsigned mode,
                        const ListenConfig& limits) {
  path_ = path;
  max_line_ = limits.max_body_bytes;
  idle_ms_ = limits.idle_seconds * 1000;
  line_ms_ = limits.head_seconds * 1000;
  max_connections_ = static_cast<std::size_t>(limits.max_connections);
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  // A socket file left by a crash is in the way; anything else is not ours.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return {Reason::kFailed, path.string() + ": exists and is not a socket", ""};
    }
    ::unlink(path.c_str());
  }
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (listen_fd_ < 0 ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), mode) != 0 || ::listen(listen_fd_, 64) != 0 ||
      ::pipe2(wake_, O_CLOEXEC) != 0) {
    return {Reason::kFailed, path.string() + ": " + std::strerror(errno), ""};
  }
  acceptor_ = std::thread([this] { Accept(); });
  return Status::Ok();
}

void SocketApi::Stop() {
  if (stopping_.exchange(true)) return;
  if (wake_[1] >= 0) (void)!::write(wake_[1], "x", 1);
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& connection : connections_) ::shutdown(connection->fd, SHUT_RDWR);
  }
  Reap(true);
  for (int* fd : {&listen_fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (!path_.empty()) ::unlink(path_.c_str());
}

void SocketApi::Reap(bool all) {
  std::list<std::unique_ptr<Connection>> done;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (all || (*it)->finished.load()) {
        done.push_back(std::move(*it));
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& connection : done) {
    if (connection->thread.joinable()) connection->thread.join();
    ::close(connection->fd);
  }
}

void SocketApi::Accept() {
  for (;;) {
    pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, 1000);
    if (stopping_.load()) return;
    Reap(false);
    if (ready <= 0 || !(fds[0].revents & POLLIN)) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (connections_.size() >= max_connections_) {
      (void)SendAll(fd, Refused(0, 503, "", "too many connections", 1).dump() + "\n");
      ::close(fd);
      continue;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* raw = connection.get();
    connections_.push_back(std::move(connection));
    raw->thread = std::thread([this, raw] {
      Serve(*raw);
      raw->finished = true;
    });
  }
}

bool SocketApi::TakeLines(Reading& reading, std::vector<Json>* acks,
                          std::vector<std::shared_ptr<Job>>* jobs) {
  std::string& buffer = reading.buffer;
  std::size_t start = 0;
  for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view line(buffer.data() + start, end - start);
    ++reading.line_number;
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
    Admission admission = intake_.Line(line, max_line_);
    if (!admission.status.ok()) {
      acks->push_back(Refused(reading.line_number, admission.status));
      continue;
    }
    Json ack = Json::object();
    ack["line"] = reading.line_number;
    ack["accepted"] = true;
    ack["seq"] = admission.jobs.front()->seq;
    acks->push_back(std::move(ack));
    jobs->push_back(admission.jobs.front());
  }
  buffer.erase(0, start);
  if (buffer.size() <= max_line_) return true;
  const Status too_large =
      intake_.TooLarge("the line is longer than " + std::to_string(max_line_) + " bytes");
  acks->push_back(Refused(reading.line_number + 1, too_large));
  return false;
}

void SocketApi::Serve(Connection& connection) {
  using Clock = std::chrono::steady_clock;
  const int fd = connection.fd;
  Reading reading;
  char chunk[65536];
  bool open = true;
  // When the unfinished line began: it must end within line_ms_, however
  // it trickles (the idle limit alone would let a byte a second go on).
  Clock::time_point line_started;
  while (open && !stopping_.load()) {
    int timeout = idle_ms_;
    if (!reading.buffer.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          line_started + std::chrono::milliseconds(line_ms_) - Clock::now());
      timeout = std::max(0, std::min(timeout, static_cast<int>(left.count())));
    }
    pollfd pfd{fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, timeout);
    if (ready == 0) {
      if (!reading.buffer.empty()) {
        (void)SendAll(fd, Refused(reading.line_number + 1, 408, "",
                                  "the line did not end within " +
                                      std::to_string(line_ms_ / 1000) + " seconds")
                              .dump() +
                              "\n");
      }
      break;  // idle, or a line too slow
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const bool was_empty = reading.buffer.empty();
    const std::size_t lines_before = reading.line_number;
    reading.buffer.append(chunk, static_cast<std::size_t>(n));
    // Every whole line that arrived: refusals at once, acceptances after
    // one sync for all of them.
    std::vector<Json> acks;
    std::vector<std::shared_ptr<Job>> jobs;
    open = TakeLines(reading, &acks, &jobs);
    if (was_empty || reading.line_number != lines_before) line_started = Clock::now();
    if (const Status durable = intake_.WaitDurable(jobs); !jobs.empty() && !durable.ok()) {
      for (Json& ack : acks) {
        if (ack["accepted"] == true) ack = Refused(ack["line"].get<std::size_t>(), durable);
      }
    }
    std::string out;
    for (const Json& ack : acks) out += ack.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    if (!out.empty() && !SendAll(fd, out)) break;
  }
  ::shutdown(fd, SHUT_RDWR);
}

}  // namespace service
