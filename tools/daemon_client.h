// How amctl reaches a running actionmanagerd (docs/service.md): HTTP or
// HTTPS at a URL, with the daemon's bearer token, or its Unix socket, which
// takes events only (JSON lines in, one acknowledgement line out per line).
//
// The HTTP side is cpp-httplib, a distribution library; nothing here parses
// HTTP. No call throws: every failure is a reply with status 0 and why.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/exit_status.h"

namespace httplib {
class Client;
}

namespace tools {

struct DaemonTarget {
  std::string url;         // http://HOST[:PORT] or https://HOST[:PORT]
  std::string socket;      // the Unix socket instead (events only)
  std::string token_file;  // the bearer token's file; empty: none
  std::string ca_file;     // https: the certificates to trust instead of the system's
};

// http://127.0.0.1:PORT with the daemon's default listener port.
std::string DefaultDaemonUrl();

struct DaemonReply {
  int status = 0;     // the HTTP status; 0 when no answer came
  std::string error;  // why no answer came
  Json body;          // the answer as JSON; null when it was not JSON
  std::string retry_after;
};

// Reports a reply that is not 2xx on `err` and says how amctl ends:
//   no answer, 503                   kUnavailable (nothing of the request was taken)
//   400, 404, 413, 415               kInvalidInput, with the daemon's place:
//                                    "amctl: NAME: PLACE: MESSAGE"
//   401, 403, other statuses         kFailed
// `name` names the input that was sent ("events.json", "the query").
ExitStatus ReportReply(const DaemonReply& reply, const std::string& name, std::ostream& err);

class DaemonClient {
 public:
  // Checks the target (its scheme, the token file's access, as the daemon
  // checks its own) and reads the token. Null after reporting on `err`,
  // with the exit status in `*status` (kUsage, kInvalidInput).
  static std::unique_ptr<DaemonClient> Open(const DaemonTarget& target, std::ostream& err,
                                            ExitStatus* status);
  ~DaemonClient();
  DaemonClient(const DaemonClient&) = delete;
  DaemonClient& operator=(const DaemonClient&) = delete;

  const std::string& where() const { return where_; }  // the URL or the socket's path
  bool over_socket() const { return socket_; }

  using Params = std::multimap<std::string, std::string>;
  DaemonReply Get(const std::string& path, const Params& params);
  // `wait`: the daemon answers once the events are processed.
  DaemonReply Post(const std::string& path, const std::string& body, bool wait);

  // Reads the server-sent events of `path` and calls `on_message` with each
  // message's event name and data until the stream ends, `on_message`
  // returns false or Cancel is called. The reply has the status; its error
  // says why a stream of status 200 ended ("" when Cancel ended it).
  DaemonReply Follow(const std::string& path, const Params& params,
                     const std::function<bool(const std::string& event, const std::string& data)>&
                         on_message);
  // Ends a Follow in flight; from any thread.
  void Cancel();

  // Over the socket: sends one event per line and collects one
  // acknowledgement per line. False with why when the socket could not be
  // used or closed early.
  bool SendLines(const std::vector<std::string>& lines, std::vector<Json>* acks, std::string* why);

 private:
  DaemonClient() = default;

  std::string where_;
  bool socket_ = false;
  std::string token_;
  std::unique_ptr<httplib::Client> http_;
};

}  // namespace tools
