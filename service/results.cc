#include "service/results.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace service {

ResultsFile::~ResultsFile() {
  if (fd_ >= 0) {
    ::fdatasync(fd_);
    ::close(fd_);
  }
}

Status ResultsFile::Open(const std::filesystem::path& path) {
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) return {Reason::kFailed, path.string() + ": " + std::strerror(errno), ""};
  int old = -1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    old = std::exchange(fd_, fd);
    path_ = path;
    dirty_ = false;
  }
  // The lines written to the old file are made durable before it goes.
  if (old >= 0) {
    (void)::fdatasync(old);
    ::close(old);
  }
  return Status::Ok();
}

Status ResultsFile::Reopen() {
  std::filesystem::path path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) return Status::Ok();
    path = path_;
  }
  return Open(path);
}

bool ResultsFile::Append(const std::string& line) {
  std::string bytes = line;
  bytes += '\n';
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ < 0) return false;
  // One write: O_APPEND places it whole at the end. A short write (disk
  // full) leaves a partial line, which the next line's start makes
  // recognisable; it is reported, not retried.
  ssize_t n;
  do {
    n = ::write(fd_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  dirty_ = true;
  return n == static_cast<ssize_t>(bytes.size());
}

void ResultsFile::Sync() {
  std::lock_guard<std::mutex> lock(mu_);
  if (fd_ < 0 || !dirty_) return;
  ::fdatasync(fd_);
  dirty_ = false;
}

std::shared_ptr<ResultStream::Client> ResultStream::Subscribe(bool with_logs) {
  auto client = std::make_shared<Client>();
  client->with_logs = with_logs;
  std::lock_guard<std::mutex> lock(mu_);
  client->closed = closed_;
  clients_.push_back(client);
  if (with_logs) ++log_clients_;
  return client;
}

void ResultStream::Unsubscribe(const std::shared_ptr<Client>& client) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (*it == client) {
      if (client->with_logs) --log_clients_;
      clients_.erase(it);
      return;
    }
  }
}

void ResultStream::Publish(const std::string& event, const std::string& data, bool is_log) {
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& client : clients_) {
    if (is_log && !client->with_logs) continue;
    std::lock_guard<std::mutex> client_lock(client->mu);
    if (client->queue.size() >= queue_limit_) {
      client->queue.pop_front();
      ++client->lost;
    }
    client->queue.push_back({event, data});
    client->ready.notify_one();
  }
}

void ResultStream::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  for (const auto& client : clients_) {
    std::lock_guard<std::mutex> client_lock(client->mu);
    client->closed = true;
    client->ready.notify_all();
  }
}

std::size_t ResultStream::clients() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clients_.size();
}

bool ResultStream::wants_logs() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_clients_ > 0;
}

std::optional<ResultStream::Message> ResultStream::Client::Next(std::chrono::milliseconds timeout,
                                                                bool* closed_out) {
  std::unique_lock<std::mutex> lock(mu);
  ready.wait_for(lock, timeout, [&] { return !queue.empty() || lost > 0 || closed; });
  *closed_out = closed;
  if (lost > 0) {
    Message message{"lost", "{\"count\":" + std::to_string(lost) + "}"};
    lost = 0;
    return message;
  }
  if (queue.empty()) return std::nullopt;
  Message message = std::move(queue.front());
  queue.pop_front();
  return message;
}

}  // namespace service
