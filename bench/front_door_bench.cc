// actionmanagerd's HTTP server under connections that cost it nothing but
// memory, the daemon a real process:
//
//   BM_PostsOverKeepAlive/idle   single-event POSTs over 8 keep-alive
//                                connections at once, with `idle` further
//                                connections open and silent (0 or 1000);
//                                items_per_second and p99 (microseconds) -
//                                read /1000 against /0 of the same run
//   BM_HealthzWhileTrickling     GET /healthz p99 while 16 connections
//                                trickle a head, a byte every 100 ms
//   BM_PeerPostsOverKeepAlive    the first row against the daemon that
//                                AM_PEER_DAEMON names (the server this one
//                                replaced: bench/front_door_peer.sh builds it
//                                and runs both interleaved); skipped without it
//
// The machine is shared and noisy: read ratios within one run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "testing/daemon.h"

namespace {

using amtest::Json;
using Clock = std::chrono::steady_clock;

struct Fixture {
  // `peer`: another actionmanagerd, given only the fields every version
  // reads (the listen limits below came with the event-driven server).
  explicit Fixture(const char* peer = nullptr) : daemon(dir, peer != nullptr ? peer : "") {
    // The daemon inherits the limit: 1,000 silent connections need it.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
      files.rlim_cur = files.rlim_max;
      (void)::setrlimit(RLIMIT_NOFILE, &files);
    }
    Json config = amtest::BaseConfig({{"Task", amtest::Rules(Json::array({amtest::TaskAction()}))}});
    config["log_level"] = 0;
    config["queue_limit"] = 100000;
    if (peer != nullptr) {
      config["listen"] = Json{{"address", "127.0.0.1"}, {"port", 0}};
    } else {
      // Silent connections stay for the whole run.
      config["listen"]["max_connections"] = 4096;
      config["listen"]["max_connections_per_peer"] = 4096;
      config["listen"]["head_seconds"] = 3600;
      config["listen"]["idle_seconds"] = 3600;
    }
    started = daemon.Start(config);
  }
  ~Fixture() {
    daemon.Signal(SIGTERM);
    (void)daemon.WaitExit();
  }
  amtest::TempDir dir;
  amtest::DaemonProcess daemon;
  bool started = false;
};

Fixture& Daemon() {
  static Fixture fixture;
  return fixture;
}

Fixture& Peer() {
  static Fixture fixture(std::getenv("AM_PEER_DAEMON"));
  return fixture;
}

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

double P99(std::vector<double>& micros) {
  if (micros.empty()) return 0;
  std::sort(micros.begin(), micros.end());
  return micros[micros.size() * 99 / 100];
}

// 8 clients, 50 single-event POSTs each per iteration, with `idle` silent
// connections open beside them.
void PostOverKeepAlive(benchmark::State& state, Fixture& fixture, int idle_connections) {
  if (!fixture.started) return state.SkipWithError("the daemon did not start");
  const int port = fixture.daemon.port();
  std::vector<int> idle;
  for (int i = 0; i < idle_connections; ++i) idle.push_back(Connect(port));
  constexpr int kClients = 8;
  constexpr int kPerClient = 50;
  const std::string body = amtest::DiskFull("b", "Task").dump();
  std::vector<double> micros;
  std::mutex mu;
  std::atomic<bool> failed{false};
  for (auto _ : state) {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&] {
        auto client = fixture.daemon.Client();
        std::vector<double> mine;
        for (int i = 0; i < kPerClient; ++i) {
          const auto start = Clock::now();
          auto res = client->Post("/v1/events", body, "application/json");
          if (!res || res->status != 202) failed = true;
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::lock_guard<std::mutex> lock(mu);
        micros.insert(micros.end(), mine.begin(), mine.end());
      });
    }
    for (std::thread& client : clients) client.join();
  }
  for (int fd : idle) {
    if (fd >= 0) ::close(fd);
  }
  if (failed) return state.SkipWithError("a POST failed");
  state.SetItemsProcessed(state.iterations() * kClients * kPerClient);
  state.counters["p99_us"] = P99(micros);
}

void BM_PostsOverKeepAlive(benchmark::State& state) {
  PostOverKeepAlive(state, Daemon(), static_cast<int>(state.range(0)));
}
BENCHMARK(BM_PostsOverKeepAlive)->Arg(0)->Arg(1000)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_PeerPostsOverKeepAlive(benchmark::State& state) {
  if (std::getenv("AM_PEER_DAEMON") == nullptr) return state.SkipWithError("AM_PEER_DAEMON is not set");
  PostOverKeepAlive(state, Peer(), 0);
}
BENCHMARK(BM_PeerPostsOverKeepAlive)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_HealthzWhileTrickling(benchmark::State& state) {
  if (!Daemon().started) return state.SkipWithError("the daemon did not start");
  const int port = Daemon().daemon.port();
  std::vector<int> slow;
  for (int i = 0; i < 16; ++i) {
    slow.push_back(Connect(port));
    (void)!::send(slow.back(), "POST /v1/events HTTP/1.1\r\n", 26, MSG_NOSIGNAL);
  }
  std::atomic<bool> stop{false};
  std::thread trickler([&] {
    while (!stop) {
      for (int fd : slow) (void)!::send(fd, "x", 1, MSG_NOSIGNAL);
      ::poll(nullptr, 0, 100);
    }
  });
  auto client = Daemon().daemon.Client();
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = Clock::now();
    auto res = client->Get("/healthz");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (!res || res->status != 200) {
      state.SkipWithError("/healthz failed");
      break;
    }
  }
  stop = true;
  trickler.join();
  for (int fd : slow) ::close(fd);
  state.counters["p99_us"] = P99(micros);
}
BENCHMARK(BM_HealthzWhileTrickling)->UseRealTime();

}  // namespace
