// Where processed events go: the results file and the live results stream.
//
// ResultsFile: an append-only JSON-lines file, one line per finished event
// (see docs/service.md for the fields). Each line is written with one
// write(2) on a descriptor opened with O_APPEND, before the event is marked
// finished in the journal; Sync (called by the journal before each of its
// syncs) makes the lines written so far durable. So after a crash, even of
// the machine, every event either has its line or is replayed; a replayed
// event may have two lines (same "seq"). A line that cannot be written is
// logged; the event still counts as finished. Reopen (on SIGHUP) opens the
// path again, so that a rotated file is let go (logrotate renames it, then
// reloads the service: packaging/actionmanagerd.logrotate).
//
// ResultStream: fans messages out to the clients of GET /v1/results. Each
// client has a bounded queue; a client that falls behind by more than that
// loses the oldest messages and is told how many ("lost"). Publishing never
// blocks on a client. Close ends every client's wait for good.
//
// Both are thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "service/status.h"

namespace service {

class ResultsFile {
 public:
  ResultsFile() = default;
  ~ResultsFile();
  ResultsFile(const ResultsFile&) = delete;
  ResultsFile& operator=(const ResultsFile&) = delete;

  // Opens (creating) `path`; why it cannot.
  [[nodiscard]] Status Open(const std::filesystem::path& path);
  // Opens the same path again (a new file when it was renamed); nothing
  // when none is open.
  [[nodiscard]] Status Reopen();
  // Appends `line` and a line feed; false when the write failed.
  bool Append(const std::string& line);
  // fdatasync when something was written since the last call.
  void Sync();

 private:
  std::mutex mu_;
  int fd_ = -1;
  std::filesystem::path path_;
  bool dirty_ = false;
};

class ResultStream {
 public:
  struct Message {
    std::string event;  // the SSE event name: "result", "processed", "log", "lost"
    std::string data;   // one line of JSON
  };
  class Client;

  explicit ResultStream(std::size_t queue_limit = 4096) : queue_limit_(queue_limit) {}

  // A new client; `with_logs` also gets log lines.
  std::shared_ptr<Client> Subscribe(bool with_logs);
  void Unsubscribe(const std::shared_ptr<Client>& client);
  void Publish(const std::string& event, const std::string& data, bool is_log = false);
  // Ends every wait, now and later.
  void Close();
  std::size_t clients() const;
  bool wants_logs() const;

  class Client {
   public:
    // The next message, or nullopt after `timeout` (time for a keep-alive)
    // or when the stream closed (then `*closed` is set).
    std::optional<Message> Next(std::chrono::milliseconds timeout, bool* closed);

   private:
    friend class ResultStream;
    std::mutex mu;
    std::condition_variable ready;
    std::deque<Message> queue;
    std::uint64_t lost = 0;
    bool closed = false;
    bool with_logs = false;
  };

 private:
  const std::size_t queue_limit_;
  mutable std::mutex mu_;
  std::list<std::shared_ptr<Client>> clients_;
  bool closed_ = false;
  std::size_t log_clients_ = 0;
};

}  // namespace service
