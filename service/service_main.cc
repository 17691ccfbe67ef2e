#include "service/service_main.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/file_io.h"
#include "service/children.h"
#include "service_config/config.h"
#include "service/daemon.h"
#include "service/http_api.h"
#include "service/log.h"
#include "service/socket_api.h"

namespace service {
namespace {

// Closes a descriptor on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::uint64_t MonotonicMicroseconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// SIGTERM, SIGINT and SIGHUP as a descriptor (blocked by the program
// before any thread started, see BlockSignals in main.cc); invalid when it
// cannot be made.
Fd SignalFd() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  return Fd(::signalfd(-1, &signals, SFD_CLOEXEC));
}

// Takes signals until a stop has run its course: SIGHUP reloads; the first
// SIGTERM or SIGINT stops, on a thread of its own, so that this one can
// still take a second, which kills the children's process groups.
void ServeSignals(Daemon& daemon, HttpApi& http, int signal_fd) {
  Fd stopped(::eventfd(0, EFD_CLOEXEC));
  std::thread stopper;
  bool stopping = false;
  for (;;) {
    pollfd fds[2] = {{signal_fd, POLLIN, 0}, {stopped.get(), POLLIN, 0}};
    if (::poll(fds, stopping ? 2 : 1, -1) < 0) continue;
    if (stopping && (fds[1].revents & POLLIN)) break;
    if (!(fds[0].revents & POLLIN)) continue;
    signalfd_siginfo info{};
    if (::read(signal_fd, &info, sizeof info) != sizeof info) continue;
    if (info.ssi_signo == SIGHUP && !stopping) {
      (void)sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu\nSTATUS=reloading",
                       static_cast<unsigned long long>(MonotonicMicroseconds()));
      Log(kPriorityNotice, "reloading " + daemon.config().file.string());
      std::string status = "READY=1\nSTATUS=accepting events";
      if (Status reloaded = daemon.Reload(); !reloaded.ok()) {
        Log(kPriorityErr, "reload refused, the running configuration stays: " + reloaded.text());
        // One line: a STATUS= value ends at the first newline.
        std::string why = reloaded.text();
        std::replace(why.begin(), why.end(), '\n', ' ');
        status += "; last reload refused: " + why;
      }
      // The token files and the TLS identity: read again whatever became of
      // the rest, so that a rotated certificate never waits for a restart.
      if (Status reloaded = http.Reload(); !reloaded.ok()) {
        Log(kPriorityErr, "HTTP access not reloaded: " + reloaded.text());
      }
      (void)sd_notify(0, status.c_str());
      continue;
    }
    if (info.ssi_signo == SIGHUP) continue;
    if (stopping) {
      const int killed = KillChildGroups();
      Log(kPriorityWarning, "second stop signal: killed " + std::to_string(killed) +
                                " child process groups");
      continue;
    }
    stopping = true;
    (void)sd_notify(0, "STOPPING=1\nSTATUS=stopping");
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(daemon.config().stop_seconds);
    Log(kPriorityNotice, "stopping: no more events accepted, finishing the queues");
    daemon.BeginStop();
    stopper = std::thread([&daemon, deadline, fd = stopped.get()] {
      if (!daemon.Drain(deadline)) {
        Log(kPriorityWarning, "stop deadline reached with events queued");
      }
      daemon.Shutdown();
      const std::uint64_t one = 1;
      (void)!::write(fd, &one, sizeof one);
    });
  }
  stopper.join();
}

// The configuration at `config_path`, or false once its first problem is
// logged.
bool ReadConfigOrSay(const char* config_path, Config* config) {
  scenario::InputError input;
  if (ReadConfig(config_path, config, &input)) return true;
  std::string where = input.file.empty() ? std::string(config_path) : input.file;
  if (!input.place.empty()) where += ": " + input.place;
  Log(kPriorityErr, "invalid configuration: " + where + ": " + input.message);
  return false;
}

// What systemctl status shows follows the state database's health: `failure`
// is why it cannot be written, empty once it can again.
void NotifyHealth(const std::string& failure) {
  std::string why = failure;
  std::replace(why.begin(), why.end(), '\n', ' ');
  const std::string status =
      failure.empty() ? "STATUS=accepting events"
                      : "STATUS=not ready: the state database cannot be written: " + why;
  (void)sd_notify(0, status.c_str());
}

int Run(const char* config_path, CActionManagerManager* manager) {
  Fd signal_fd = SignalFd();
  if (signal_fd.get() < 0) {
    Log(kPriorityErr, "cannot take signals through a signalfd");
    return 1;
  }
  if (manager == nullptr) {
    Log(kPriorityErr, "libActionManager.so gave no component manager (see its log above)");
    return 1;
  }
  Config config;
  if (!ReadConfigOrSay(config_path, &config)) return 3;
  const ListenConfig listen = config.listen;
  const std::filesystem::path socket_path = config.socket_path;
  const unsigned socket_mode = config.socket_mode;

  Daemon daemon(manager);
  daemon.SetHealthListener(NotifyHealth);
  if (Status started = daemon.Start(std::move(config)); !started.ok()) {
    Log(kPriorityErr, "cannot start: " + started.text());
    return 1;
  }
  HttpApi http(daemon);
  int port = 0;
  if (Status started = http.Start(listen, &port); !started.ok()) {
    Log(kPriorityErr, "cannot start: " + started.text());
    return 1;
  }
  std::string error;
  Log(kPriorityNotice, "listening on http://" + listen.address + ":" + std::to_string(port));
  if (!listen.port_file.empty() &&
      !base::WriteOutputFile(listen.port_file.string(), std::to_string(port) + "\n", &error)) {
    Log(kPriorityErr, "cannot write " + listen.port_file.string() + ": " + error);
    return 1;
  }
  SocketApi socket(daemon);
  if (!socket_path.empty()) {
    if (Status started = socket.Start(socket_path, socket_mode, listen); !started.ok()) {
      Log(kPriorityErr, "cannot start: " + started.text());
      return 1;
    }
    Log(kPriorityNotice, "listening on " + socket_path.string());
  }
  (void)sd_notify(0, "READY=1\nSTATUS=accepting events");
  Log(kPriorityNotice, "ready");

  ServeSignals(daemon, http, signal_fd.get());
  socket.Stop();
  http.Stop();
  Log(kPriorityNotice, "stopped");
  return 0;
}

}  // namespace
}  // namespace service

int ActionManagerdRun(const char* config_path, CActionManagerManager* manager) {
  return service::Run(config_path, manager);
}
