#include "testing/alertmanager.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "testing/daemon.h"
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

std::string Configuration(const std::vector<std::string>& urls, const WebhookHttp& http) {
  std::string config =
      "route:\n"
      "  receiver: P\n"
      "  group_by: ['alertname']\n"
      "  group_wait: 1s\n"
      "  group_interval: 1s\n"
      "  repeat_interval: 2s\n"
      "receivers:\n"
      "  - name: P\n"
      "    webhook_configs:\n";
  for (const std::string& url : urls) {
    config += "      - url: '" + url + "'\n";
    config += "        send_resolved: false\n";
    if (http.ca_file.empty() && http.credentials_file.empty()) continue;
    config += "        http_config:\n";
    if (!http.ca_file.empty()) {
      config += "          tls_config:\n";
      config += "            ca_file: '" + http.ca_file + "'\n";
    }
    if (!http.credentials_file.empty()) {
      config += "          authorization:\n";
      config += "            type: Bearer\n";
      config += "            credentials_file: '" + http.credentials_file + "'\n";
    }
  }
  return config;
}

}  // namespace

std::string FindAlertmanager() {
  if (const char* given = std::getenv("AM_ALERTMANAGER"); given != nullptr && *given != '\0') {
    return given;
  }
  return Shell(
      "PATH=\"$PATH:/usr/bin\"; command -v prometheus-alertmanager || command -v alertmanager");
}

Alertmanager::~Alertmanager() {
  if (process_) process_->Stop(SIGTERM, std::chrono::seconds(10));  // killed if it outlasts that
}

bool Alertmanager::Launch(const std::vector<std::string>& urls, bool clustered,
                          const std::string& peer, const WebhookHttp& http) {
  port_ = FreePort();
  cluster_port_ = clustered ? FreePort() : 0;
  const std::string config_path =
      dir_.Write("alertmanager.yml", Configuration(urls, http)).string();
  const std::string storage = (dir_.path() / "am-data").string();
  std::filesystem::create_directories(storage);
  const std::string log_path = (dir_.path() / "alertmanager.log").string();
  ProcessOptions options;
  options.log = log_path;
  std::vector<std::string> args = {"--config.file=" + config_path, "--storage.path=" + storage,
                                   "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                                   "--cluster.listen-address=" + cluster_address(),
                                   "--log.level=debug"};
  if (!peer.empty()) args.push_back("--cluster.peer=" + peer);
  process_ = std::make_unique<Process>(binary_, args, options);
  return process_->WaitReady([&] {
    auto res = Client().Get("/-/ready");
    return res && res->status == 200;
  });
}

std::string Alertmanager::cluster_address() const {
  return cluster_port_ == 0 ? "" : "127.0.0.1:" + std::to_string(cluster_port_);
}

httplib::Client Alertmanager::Client() const {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(30, 0);
  return client;
}

int Alertmanager::Raise(const Json& labels) const {
  const Json alerts = Json::array({{{"labels", labels}, {"annotations", {{"summary", "test"}}}}});
  auto res = Client().Post("/api/v2/alerts", alerts.dump(), "application/json");
  return res ? res->status : 0;
}

std::string Alertmanager::FingerprintOf(const std::string& instance) const {
  auto res = Client().Get("/api/v2/alerts");
  const Json alerts = res && res->status == 200 ? Json::parse(res->body, nullptr, false) : Json();
  for (const Json& alert : alerts.is_array() ? alerts : Json::array()) {
    if (alert["labels"].value("instance", "") == instance) return alert.value("fingerprint", "");
  }
  return {};
}

}  // namespace amtest
