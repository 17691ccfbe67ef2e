// The distribution's Alertmanager as a child process on loopback, for the
// tests that drive actionmanagerd's /v1/alertmanager end to end.
//
// Start writes a configuration with one webhook receiver "P" and short
// intervals (group_wait and group_interval 1 s, repeat_interval 2 s), starts
// Alertmanager alone on a free port and waits until it is ready. The object
// stops it (SIGTERM, then SIGKILL after 10 s) and reaps it when it goes.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace amtest {

// The Alertmanager program: $AM_ALERTMANAGER, else prometheus-alertmanager
// or alertmanager in /usr/local/bin or /usr/bin; "" when there is none.
std::string FindAlertmanager();

class Alertmanager {
 public:
  // Its files (configuration, storage, log) go into `dir`, one per instance.
  Alertmanager(const TempDir& dir, std::string binary) : dir_(dir), binary_(std::move(binary)) {}
  ~Alertmanager();
  Alertmanager(const Alertmanager&) = delete;
  Alertmanager& operator=(const Alertmanager&) = delete;

  // Starts it with the receiver's webhook at `url`; true once it is ready.
  bool Start(const std::string& url);
  httplib::Client Client() const;
  std::string log() const { return dir_.Read("alertmanager.log"); }

 private:
  const TempDir& dir_;
  std::string binary_;
  std::unique_ptr<Process> process_;
  int port_ = 0;
};

}  // namespace amtest
