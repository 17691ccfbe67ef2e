// The Unix socket: JSON lines in, one JSON acknowledgement line per line out,
// in order:
//   {"line": 3, "accepted": true, "seq": 17}
//   {"line": 4, "accepted": false, "status": 400, "error": {"place": ..., "message": ...}}
//   {"line": 5, "accepted": false, "status": 503, "retry_after": 1, "error": {...}}
// Each line is one event and is accepted or refused on its own; "status" is
// what HTTP would have answered. The lines that arrived together are
// journaled together and acknowledged after one sync. Blank lines are
// skipped. A line longer than max_body_bytes ends the connection after its
// acknowledgement; so does a line unfinished head_seconds after it began
// (408, however it trickles), and idle_seconds without input.
//
// The socket file's owner and group are the local trust boundary: whoever
// can connect may submit, with no token. The file is created with `mode`
// (0660 by default) in a folder of the daemon's, so only the daemon's user
// and group can; grant the group, not the world. At most
// max_connections connections are open; a further one gets one refusal line
// and is closed.
//
// The socket file is created with `mode` and removed by Stop. Threads: one
// accepting thread, one per connection; Stop closes them all and joins.
#pragma once

#include <atomic>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/daemon.h"
#include "service/intake.h"
#include "service/status.h"
#include "service_config/config.h"

namespace service {

class SocketApi {
 public:
  explicit SocketApi(Daemon& daemon);
  ~SocketApi();
  SocketApi(const SocketApi&) = delete;
  SocketApi& operator=(const SocketApi&) = delete;

  // Listens on `path` (replacing a socket file left by a crash) with `mode`
  // and starts accepting; why not.
  [[nodiscard]] Status Start(const std::filesystem::path& path, unsigned mode,
                             const ListenConfig& limits);
  void Stop();

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
  };
  // A connection's reads; each whole line gets one acknowledgement line.
  struct Reading {
    std::string buffer;
    std::size_t line_number = 0;
  };
  void Accept();
  void Serve(Connection& connection);
  // Takes every whole line out of `reading`, submits it and appends its
  // acknowledgement to `acks`; the accepted jobs in `jobs`. False when the
  // unfinished rest is already over the limit (the connection then closes).
  bool TakeLines(Reading& reading, std::vector<scenario::Json>* acks,
                 std::vector<std::shared_ptr<Job>>* jobs);
  void Reap(bool all);

  Daemon& daemon_;
  Intake intake_;
  std::filesystem::path path_;
  std::size_t max_line_ = 0;
  int idle_ms_ = 0;
  int line_ms_ = 0;
  std::size_t max_connections_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mu_;
  std::list<std::unique_ptr<Connection>> connections_;
  std::atomic<bool> stopping_{false};
};

}  // namespace service
