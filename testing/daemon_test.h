// A test fixture with a daemon of its own: a folder, the daemon harness, and
// a client to it once StartWith has started it (requests through the client
// of a daemon that did not start fail rather than crash). For the suites
// that link GoogleTest; the harness itself (daemon.h) does not need it.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <memory>
#include <string>

#include "testing/daemon.h"

namespace amtest {

class DaemonTest : public ::testing::Test {
 protected:
  void StartWith(const Json& config, const std::map<std::string, std::string>& env = {}) {
    const bool started = daemon_.Start(config, env);
    client_ = daemon_.Client();
    ASSERT_TRUE(started) << daemon_.log();
  }

  TempDir dir_;
  DaemonProcess daemon_{dir_};
  std::unique_ptr<httplib::Client> client_;
};

}  // namespace amtest
