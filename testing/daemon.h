// Runs the built actionmanagerd for the tests and benchmarks that drive it
// as a process: a folder per test with its configuration, state and outputs,
// the daemon as a real process on an ephemeral loopback port, and small
// readers for what it writes.
//
// Nothing here sleeps and then looks: every wait is for a condition, with a
// deadline generous enough for a loaded two-core machine.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace httplib {
class Client;
}

namespace amtest {

using Json = nlohmann::ordered_json;

// The demo's world (Disk_Full events, Volume and Pager methods) with one
// profile per entry of `profiles` (name -> settings JSON), and the daemon's
// files in `dir`. Tests change fields of the result before writing it.
Json BaseConfig(const std::map<std::string, Json>& profiles);
// A rule for Disk_Full with the given actions.
Json Rules(const Json& actions);
Json PageAction(int exec_limit = 0);  // built-in, class call, returns 7
Json ProgramAction(const std::string& command);
Json TaskAction();
// {"class": "Disk_Full", "properties": {...}} with EventId and Drive set.
Json DiskFull(const std::string& event_id, const std::string& profile = {});

// An HTTP answer: the status (0 when the request failed), the body and
// Retry-After.
struct Reply {
  int status = 0;
  Json body;
  std::string retry_after;
};

class DaemonProcess {
 public:
  // `program`: another actionmanagerd than the one built here (a benchmark's
  // peer); its configuration must then only hold fields that one reads.
  explicit DaemonProcess(const TempDir& dir, std::filesystem::path program = {})
      : dir_(dir), program_(std::move(program)) {}
  ~DaemonProcess();  // SIGKILL if still running

  // Writes `config` as config.json (filling the folder's paths where the
  // test left them out) and starts the daemon; waits until it listens.
  // False when it exited or never listened (its log is in log()).
  bool Start(const Json& config, const std::map<std::string, std::string>& env = {});
  // Only writes the configuration (for a reload).
  void WriteConfig(const Json& config);
  // Starts and waits for the exit: for configurations that must be refused.
  int RunToExit(const Json& config);

  void Signal(int signo) const;
  // Writes `config`, signals a reload and waits for `logged` in the log.
  bool Reload(const Json& config, const std::string& logged);
  // Sends `signo` (a stop) and waits for the exit as WaitExit does.
  int Stop(int signo = SIGTERM) {
    Signal(signo);
    return WaitExit();
  }
  // Waits for the exit; the exit status, or -1 (killed, or still running at
  // the deadline).
  int WaitExit(std::chrono::milliseconds deadline = kDeadline);
  bool running() const { return process_ && process_->running(); }
  pid_t pid() const { return running() ? process_->pid() : -1; }

  int port() const { return port_; }
  std::unique_ptr<httplib::Client> Client() const;
  std::string log() const;
  bool WaitForLog(const std::string& text, std::chrono::milliseconds deadline = kDeadline) const;
  // The results file, line by line; and each line's EventId and sequence
  // number, in order.
  std::vector<Json> Results() const;
  std::vector<std::string> ResultIds() const;
  std::vector<std::uint64_t> ResultSeqs() const;
  // GET `path` over a connection of its own (Reply's retry_after unset).
  Reply Get(const std::string& path) const;
  // The value of one metric sample (its name with labels as printed), or
  // nullopt when absent.
  std::optional<double> Metric(const std::string& sample) const;
  const std::filesystem::path& socket_path() const { return socket_; }

 private:
  const TempDir& dir_;
  const std::filesystem::path program_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
  std::filesystem::path socket_;
  std::string log_name_ = "daemon.log";
  int starts_ = 0;
  int last_status_ = -1;
};

// A connection to the daemon over TCP on loopback (`port`, with a receive
// buffer of that size when given) or to its Unix socket (`socket`), for tests
// that must see the bytes a client library would tidy up. Reads wait at most
// kDeadline.
class Connection {
 public:
  explicit Connection(int port, int receive_buffer = 0);
  explicit Connection(const std::filesystem::path& socket);
  ~Connection() { Close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool Send(const std::string& bytes);
  // Reads until the daemon closes, `until` appears, or the deadline.
  std::string Read(const std::string& until = {});
  // True once the daemon closed the connection (without blocking).
  bool Closed();
  void Close();
  int fd() const { return fd_; }

 private:
  void Connect(const void* address, std::size_t size);
  int fd_ = -1;
};

// POST `route` (/v1/events, /v1/alertmanager).
Reply Post(httplib::Client& client, const std::string& body, bool wait = false,
           const std::string& token = {}, const std::string& route = "/v1/events");

// `value` with only the members named in `keys` (for an array, each
// element's), as compact text: one comparison checks a whole outcome, and a
// failure shows all of it.
std::string Only(const Json& value, const std::vector<std::string>& keys);

}  // namespace amtest
