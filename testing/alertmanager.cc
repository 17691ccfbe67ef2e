#include "testing/alertmanager.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "testing/wait.h"

namespace amtest {
namespace {

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace

std::string FindAlertmanager() {
  if (const char* given = std::getenv("AM_ALERTMANAGER"); given != nullptr && *given != '\0') {
    return given;
  }
  for (const char* dir : {"/usr/local/bin", "/usr/bin"}) {
    for (const char* name : {"prometheus-alertmanager", "alertmanager"}) {
      const std::string candidate = std::string(dir) + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
  }
  return {};
}

Alertmanager::~Alertmanager() {
  if (!process_) return;
  process_->Signal(SIGTERM);
  process_->Wait(std::chrono::seconds(10));  // killed if it outlasts that
}

bool Alertmanager::Start(const std::string& url) {
  port_ = FreePort();
  const std::string config_path =
      dir_.Write("alertmanager.yml",
                 "route: {receiver: P, group_by: [alertname], group_wait: 1s, "
                 "group_interval: 1s, repeat_interval: 2s}\n"
                 "receivers: [{name: P, webhook_configs: [{url: '" +
                     url + "', send_resolved: false}]}]\n")
          .string();
  const std::string storage = (dir_.path() / "am-data").string();
  std::filesystem::create_directories(storage);
  ProcessOptions options;
  options.log = dir_.path() / "alertmanager.log";
  process_ = std::make_unique<Process>(
      binary_,
      std::vector<std::string>{"--config.file=" + config_path, "--storage.path=" + storage,
                               "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                               "--cluster.listen-address=", "--log.level=debug"},
      options);
  if (!process_->running()) return false;
  return WaitFor([&] {
    auto res = Client().Get("/-/ready");
    return res && res->status == 200;
  });
}

httplib::Client Alertmanager::Client() const {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(30, 0);
  return client;
}

}  // namespace amtest
