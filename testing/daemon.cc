#include "testing/daemon.h"

#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace amtest {

Json Rules(const Json& actions) {
  return Json{{"rules", Json::array({Json{{"event", "Disk_Full"}, {"actions", actions}}})}};
}

Json PageAction(int exec_limit) {
  Json action = Json::parse(R"({"name": "page", "kind": "builtin", "exec_limit": 0,
      "namespace": "root\\zrv", "class": "Pager", "method": "Send", "class_call": true,
      "in_params": [{"param": "Text", "event_prop": "event_key"}]})");
  action["exec_limit"] = exec_limit;
  return action;
}

Json ProgramAction(const std::string& command) {
  return Json{{"name", "run"}, {"kind", "program"}, {"command", command}};
}

Json TaskAction() { return Json{{"name", "ticket"}, {"kind", "task"}, {"text1", "t"}}; }

Json DiskFull(const std::string& event_id, const std::string& profile) {
  Json properties = Json{{"EventId", event_id}, {"event_key", "key-" + event_id}, {"Drive", "C:"}};
  if (!profile.empty()) properties["ProfileName"] = profile;
  return Json{{"class", "Disk_Full"}, {"properties", properties}};
}

Json BaseConfig(const std::map<std::string, Json>& profiles) {
  Json config = Json::object();
  // Loopback, open to anonymous senders and readers, as the examples are.
  config["listen"] = Json{
      {"address", "127.0.0.1"}, {"port", 0}, {"anonymous_submit", true}, {"anonymous_read", true}};
  config["log_level"] = 7;
  config["stop_seconds"] = 60;
  config["classes"] = Json::parse(R"([
    {"name": "Disk_Full", "superclass": "ZRV_Event",
     "properties": {"Drive": "string", "FreeMB": "uint32"}},
    {"name": "Volume", "properties": {"Drive": {"type": "string", "key": true}},
     "methods": {"Cleanup": {"in": {"Reason": "string"}, "return_value": 0}}},
    {"name": "Pager", "methods": {"Send": {"in": {"Text": "string"}, "return_value": 7}}},
    {"name": "Plain", "properties": {"Name": "string"}}])");
  config["instances"] = Json::parse(R"([{"class": "Volume", "properties": {"Drive": "C:"}}])");
  config["environment"] = Json{{"ZMO_HALBERD_DIR", AM_EXAMPLES_DIR}};
  config["profiles"] = Json::array();
  for (const auto& [name, settings] : profiles) {
    config["profiles"].push_back(Json{{"name", name}, {"settings", settings}});
  }
  return config;
}

DaemonProcess::~DaemonProcess() = default;  // the process handle kills what still runs

void DaemonProcess::WriteConfig(const Json& given) {
  Json config = given;
  if (!config.contains("state_dir")) config["state_dir"] = dir_ / "state";
  if (!config.contains("results_file")) config["results_file"] = dir_ / "results.jsonl";
  if (!config["listen"].contains("port_file")) config["listen"]["port_file"] = dir_ / "port";
  if (config.contains("socket")) socket_ = config["socket"]["path"].get<std::string>();
  dir_.Write("config.json", config.dump(2));
}

bool DaemonProcess::Start(const Json& config, const std::map<std::string, std::string>& env) {
  WriteConfig(config);
  std::error_code ignored;
  std::filesystem::remove(dir_ / "port", ignored);
  log_name_ = "daemon-" + std::to_string(++starts_) + ".log";
  ProcessOptions options;
  options.log = dir_ / log_name_;
  options.environment.assign(env.begin(), env.end());
  options.unset = {"NOTIFY_SOCKET"};
  process_ =
      std::make_unique<Process>(program_.empty() ? std::string(AMD_PATH) : program_.string(),
                                std::vector<std::string>{"-c", dir_ / "config.json"}, options);
  if (!process_->WaitReady([&] { return std::filesystem::exists(dir_ / "port"); })) return false;
  port_ = std::stoi(dir_.Read("port"));
  // The port file is written once HTTP listens; the socket starts after it,
  // so a test that uses the socket waits for the daemon to say it listens.
  const auto socket = config.find("socket");
  if (socket == config.end() || !socket->contains("path")) return true;
  const std::string said = "listening on " + (*socket)["path"].get<std::string>();
  return process_->WaitReady([&] { return log().find(said) != std::string::npos; });
}

int DaemonProcess::RunToExit(const Json& config) {
  if (!Start(config)) return WaitExit();
  return -2;  // it started: not what the caller expected
}

void DaemonProcess::Signal(int signo) const {
  if (running()) process_->Signal(signo);
}

bool DaemonProcess::Reload(const Json& config, const std::string& logged) {
  WriteConfig(config);
  Signal(SIGHUP);
  return WaitForLog(logged);
}

int DaemonProcess::WaitExit(std::chrono::milliseconds deadline) {
  if (!running()) return last_status_;
  const std::optional<ProcessResult> exit = process_->TryWait(deadline);
  if (!exit) return -1;
  last_status_ = exit->status;
  return last_status_;
}

std::unique_ptr<httplib::Client> DaemonProcess::Client() const {
  auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
  client->set_connection_timeout(10, 0);
  client->set_read_timeout(120, 0);
  client->set_write_timeout(30, 0);
  client->set_keep_alive(true);
  client->set_tcp_nodelay(true);  // as curl does: no 40 ms wait between head and body
  return client;
}

std::string DaemonProcess::log() const { return dir_.Read(log_name_); }

bool DaemonProcess::WaitForLog(const std::string& text, std::chrono::milliseconds deadline) const {
  return WaitFor([&] { return log().find(text) != std::string::npos; }, deadline);
}

std::vector<Json> DaemonProcess::Results() const {
  std::vector<Json> lines;
  std::istringstream in(dir_.Read("results.jsonl"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(Json::parse(line, nullptr, false));
  }
  return lines;
}

std::vector<std::string> DaemonProcess::ResultIds() const {
  std::vector<std::string> ids;
  for (const Json& line : Results())
    ids.push_back(line["event"]["properties"].value("EventId", ""));
  return ids;
}

std::vector<std::uint64_t> DaemonProcess::ResultSeqs() const {
  std::vector<std::uint64_t> seqs;
  for (const Json& line : Results()) seqs.push_back(line.value("seq", std::uint64_t{0}));
  return seqs;
}

Reply DaemonProcess::Get(const std::string& path) const {
  Reply reply;
  if (auto res = Client()->Get(path)) {
    reply.status = res->status;
    reply.body = Json::parse(res->body, nullptr, false);
  }
  return reply;
}

std::optional<double> DaemonProcess::Metric(const std::string& sample) const {
  auto client = Client();
  auto res = client->Get("/metrics");
  if (!res || res->status != 200) return std::nullopt;
  std::istringstream in(res->body);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > sample.size() && line.compare(0, sample.size(), sample) == 0 &&
        line[sample.size()] == ' ') {
      return std::stod(line.substr(sample.size() + 1));
    }
  }
  return std::nullopt;
}

Connection::Connection(int port, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Connect(&address, sizeof address);
}

Connection::Connection(const std::filesystem::path& socket) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
  Connect(&address, sizeof address);
}

void Connection::Connect(const void* address, std::size_t size) {
  timeval timeout{std::chrono::duration_cast<std::chrono::seconds>(kDeadline).count(), 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (::connect(fd_, static_cast<const sockaddr*>(address), static_cast<socklen_t>(size)) != 0) {
    Close();
  }
}

bool Connection::Send(const std::string& bytes) {
  return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                         static_cast<ssize_t>(bytes.size());
}

std::string Connection::Read(const std::string& until) {
  std::string got;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
    if (!until.empty() && got.find(until) != std::string::npos) break;
  }
  return got;
}

bool Connection::Closed() {
  pollfd pfd{fd_, POLLIN, 0};
  if (fd_ < 0 || ::poll(&pfd, 1, 0) <= 0) return fd_ < 0;
  char buffer[4096];
  const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN);
}

void Connection::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Reply Post(httplib::Client& client, const std::string& body, bool wait, const std::string& token,
           const std::string& route) {
  httplib::Headers headers;
  if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
  auto res = client.Post(wait ? route + "?wait=1" : route, headers, body, "application/json");
  Reply reply;
  if (!res) return reply;
  reply.status = res->status;
  reply.body = Json::parse(res->body, nullptr, false);
  reply.retry_after = res->get_header_value("Retry-After");
  return reply;
}

namespace {
Json Kept(const Json& value, const std::vector<std::string>& keys) {
  Json out = value.is_array() ? Json::array() : Json::object();
  if (value.is_array()) {
    for (const Json& element : value) out.push_back(Kept(element, keys));
    return out;
  }
  for (const std::string& key : keys) {
    if (value.is_object() && value.contains(key)) out[key] = value[key];
  }
  return out;
}
}  // namespace

std::string Only(const Json& value, const std::vector<std::string>& keys) {
  return Kept(value, keys).dump();
}

}  // namespace amtest
