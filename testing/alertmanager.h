// The distribution's Alertmanager as a child process on loopback, for the
// tests that drive actionmanagerd's /v1/alertmanager end to end.
//
// Start writes a configuration with one webhook receiver "P" and short
// intervals (group_wait and group_interval 1 s, repeat_interval 2 s), starts
// Alertmanager on a free port and waits until it is ready. The receiver has
// one webhook per URL given (each notification goes to every one of them).
// Alone by default; StartClustered makes it a member of a cluster of such
// instances, which share their notification log over gossip so that one
// member notifies and the others hold back. The webhooks' HTTP client can be
// given a CA to trust and a bearer token to send (WebhookHttp). The object
// stops it (SIGTERM, then SIGKILL after 10 s) and reaps it when it goes.
#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/daemon.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace amtest {

// The Alertmanager program: $AM_ALERTMANAGER, else prometheus-alertmanager
// or alertmanager on PATH (or in /usr/bin); "" when there is none.
std::string FindAlertmanager();
// What a test that needs it says when it skips itself for want of it.
inline constexpr char kNoAlertmanager[] =
    "Alertmanager is not installed (Debian: prometheus-alertmanager, which `make test` "
    "installs); set AM_ALERTMANAGER to its path to run this test";

// The webhooks' http_config: the CA file its TLS client trusts for https
// URLs (tls_config.ca_file) and the file whose content it sends as a bearer
// token (authorization.credentials_file). An empty field is left out of the
// configuration.
struct WebhookHttp {
  std::string ca_file;
  std::string credentials_file;
};

class Alertmanager {
 public:
  // Its files (configuration, storage, log) go into `dir`, one per instance.
  Alertmanager(const TempDir& dir, std::string binary) : dir_(dir), binary_(std::move(binary)) {}
  ~Alertmanager();
  Alertmanager(const Alertmanager&) = delete;
  Alertmanager& operator=(const Alertmanager&) = delete;

  // Starts it alone with the receiver's webhook at `url` (or one webhook per
  // URL of `urls`); true once it is ready.
  bool Start(const std::string& url) { return Start(std::vector<std::string>{url}); }
  bool Start(const std::vector<std::string>& urls) { return Launch(urls, false, "", {}); }
  bool Start(const std::string& url, const WebhookHttp& http) {
    return Launch({url}, false, "", http);
  }
  // Starts it as a cluster member listening on a free loopback port
  // (cluster_address()) and, unless `peer` is "" (the first member), joining
  // the member at `peer` (another one's cluster_address()).
  bool StartClustered(const std::vector<std::string>& urls, const std::string& peer) {
    return Launch(urls, true, peer, {});
  }
  // "127.0.0.1:<port>" of a clustered instance; "" for one alone.
  std::string cluster_address() const;
  httplib::Client Client() const;
  // Raises one alert with `labels` (and a summary) through its API; the
  // status, 0 when the request failed.
  int Raise(const Json& labels) const;
  // The fingerprint it gave the alert whose label "instance" is `instance`;
  // "" while it has none.
  std::string FingerprintOf(const std::string& instance) const;
  std::string log() const { return dir_.Read("alertmanager.log"); }

 private:
  bool Launch(const std::vector<std::string>& urls, bool clustered, const std::string& peer,
              const WebhookHttp& http);

  const TempDir& dir_;
  std::string binary_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
  int cluster_port_ = 0;  // 0: clustering off
};

}  // namespace amtest
