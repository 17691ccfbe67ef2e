// actionmanagerd's state stores side by side, the daemons real processes with
// one profile whose rule runs one built-in action, so that the store and not
// the action dominates each event's cost:
//
//   sqlite        one daemon on its SQLite file (each commit synced)
//   pg            one daemon on PostgreSQL
//   pg_x2         two daemons (nodes "a" and "b") on one PostgreSQL database,
//                 the clients split between them
//   pg_fsync      as pg, the server with fsync on
//   pg_fsync_x2   as pg_x2, the server with fsync on
//
// The PostgreSQL test server runs with fsync=off by default, while SQLite
// syncs every commit: pg and pg_x2 measure the store's protocol without disk
// flushes and flatter it against sqlite. pg_fsync and pg_fsync_x2 run a second
// server with fsync on, the like-for-like comparison. Each configuration has a
// database of its own, so every one starts from empty tables.
//
// BM_Rounds measures every configuration in turn, round after round (the
// order rotates each round), because the machine is shared and noisy: a burst
// of load from elsewhere lands on all of them instead of on one. Each round
// and configuration:
//   loaded   8 clients on keep-alive connections, each posting 40 single
//            events with ?wait=1 one after the other (the answer comes once
//            the event was processed): events per second from the first post
//            to the last answer, and each post's latency
//   alone    one client posting 30 single events with ?wait=1: the latency
//            from acceptance to result without queueing behind other events
// Every event has an EventId of its own.
//
// BM_Summary/<configuration> then reports what the rounds gathered:
// items_per_second is the loaded rate; p50_us, p99_us (loaded) and
// alone_p50_us, alone_p99_us the latencies in microseconds; eps_vs_sqlite,
// p50_vs_sqlite and p99_vs_sqlite the ratios to sqlite of the same run.
//
// Without PostgreSQL's server programs (Debian: postgresql; or AM_PG_BIN)
// every benchmark skips and says so.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/daemon.h"
#include "testing/postgres.h"

namespace {

using amtest::Json;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 8;
constexpr int kPerClient = 40;
constexpr int kAlone = 30;
constexpr int kRounds = 8;
constexpr char kProfile[] = "Page";

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// One daemon in a folder of its own; stopped (SIGTERM) when it goes.
struct Node {
  Node() : daemon(dir) {}
  ~Node() {
    daemon.Signal(SIGTERM);
    (void)daemon.WaitExit();
  }
  amtest::TempDir dir;
  amtest::DaemonProcess daemon;
};

// A configuration: its daemons, and the samples of every round so far.
struct Setup {
  std::string name;
  std::vector<std::unique_ptr<Node>> nodes;
  double loaded_seconds = 0;
  long loaded_events = 0;
  std::vector<double> loaded_us;
  std::vector<double> alone_us;
};

double Percentile(std::vector<double> samples, int percent) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, samples.size() * percent / 100)];
}

// Posts one event with ?wait=1; its latency in *micros. False with the
// reason in *error unless the daemon answered that the event was processed.
bool PostProcessed(httplib::Client& client, const std::string& event_id, double* micros,
                   std::string* error) {
  const std::string body = amtest::DiskFull(event_id, kProfile).dump();
  const auto start = Clock::now();
  const amtest::Reply reply = amtest::Post(client, body, /*wait=*/true);
  *micros = Micros(Clock::now() - start);
  if (reply.status != 200) {
    *error = "POST ?wait=1 answered " + std::to_string(reply.status) + ": " + reply.body.dump();
    return false;
  }
  const Json& events = reply.body["events"];
  if (!events.is_array() || events.size() != 1 || events[0].contains("dropped")) {
    *error = "the event was not processed: " + reply.body.dump();
    return false;
  }
  return true;
}

// The loaded pass: kClients clients at once, client c on node c % nodes;
// `events` per client. Adds to the setup's samples when `record`.
bool Loaded(Setup& setup, const std::string& tag, int events, bool record, std::string* error) {
  std::vector<std::vector<double>> micros(kClients);
  std::mutex mu;
  std::atomic<bool> failed{false};
  std::vector<std::thread> clients;
  const auto start = Clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto client = setup.nodes[c % setup.nodes.size()]->daemon.Client();
      for (int i = 0; i < events && !failed; ++i) {
        const std::string id =
            setup.name + "-" + tag + "-c" + std::to_string(c) + "-" + std::to_string(i);
        double us = 0;
        std::string why;
        if (!PostProcessed(*client, id, &us, &why)) {
          std::lock_guard<std::mutex> lock(mu);
          if (!failed.exchange(true)) *error = setup.name + ": " + why;
          return;
        }
        micros[c].push_back(us);
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (failed) return false;
  if (record) {
    setup.loaded_seconds += seconds;
    setup.loaded_events += static_cast<long>(kClients) * events;
    for (const auto& mine : micros) {
      setup.loaded_us.insert(setup.loaded_us.end(), mine.begin(), mine.end());
    }
  }
  return true;
}

// One client alone, alternating between the setup's nodes.
bool Alone(Setup& setup, const std::string& tag, std::string* error) {
  std::vector<std::unique_ptr<httplib::Client>> clients;
  for (const auto& node : setup.nodes) clients.push_back(node->daemon.Client());
  for (int i = 0; i < kAlone; ++i) {
    double us = 0;
    std::string why;
    if (!PostProcessed(*clients[i % clients.size()],
                       setup.name + "-" + tag + "-alone-" + std::to_string(i), &us, &why)) {
      *error = setup.name + ": " + why;
      return false;
    }
    setup.alone_us.push_back(us);
  }
  return true;
}

// The servers, the daemons and their samples, made on first use and kept for
// the whole run. The servers are declared first so that they go last.
class Environment {
 public:
  Environment() {
    const std::string bin = amtest::FindPostgresBin();
    if (bin.empty()) {
      error_ =
          "PostgreSQL is not installed (Debian: postgresql; or set AM_PG_BIN to the folder of "
          "its server programs): nothing compared";
      return;
    }
    pg_ = std::make_unique<amtest::Postgres>(bin, amtest::Postgres::Sync::kOff);
    pg_fsync_ = std::make_unique<amtest::Postgres>(bin, amtest::Postgres::Sync::kOn);
    for (amtest::Postgres* server : {pg_.get(), pg_fsync_.get()}) {
      std::string why;
      if (!server->Start(&why)) {
        error_ = "PostgreSQL did not start: " + why;
        return;
      }
    }
    if (!Add("sqlite", Json(nullptr), 1) || !Add("pg", Database(*pg_, "single"), 1) ||
        !Add("pg_x2", Database(*pg_, "pair"), 2) ||
        !Add("pg_fsync", Database(*pg_fsync_, "single"), 1) ||
        !Add("pg_fsync_x2", Database(*pg_fsync_, "pair"), 2)) {
      return;
    }
    // Connections, caches and the servers' first pages, before any sample.
    for (auto& setup : setups_) {
      if (!Loaded(*setup, "warm", 5, /*record=*/false, &error_)) return;
    }
  }

  const std::string& error() const { return error_; }
  std::vector<std::unique_ptr<Setup>>& setups() { return setups_; }
  Setup* Find(const std::string& name) {
    for (auto& setup : setups_) {
      if (setup->name == name) return setup.get();
    }
    return nullptr;
  }

 private:
  // The "state" section for a database of its own on `server`; null (and
  // error_ set) when it cannot be made.
  Json Database(const amtest::Postgres& server, const std::string& name) {
    if (!error_.empty()) return nullptr;
    std::string out;
    if (!server.Sql("CREATE DATABASE " + name, &out, &error_)) return nullptr;
    std::string conninfo = server.conninfo();
    const std::string dbname = "dbname=actionmanager";
    conninfo.replace(conninfo.find(dbname), dbname.size(), "dbname=" + name);
    return Json{{"kind", "postgresql"}, {"connection", conninfo}};
  }

  // Starts `count` daemons on `state` (SQLite when null), nodes "a", "b".
  bool Add(const std::string& name, const Json& state, int count) {
    if (!error_.empty()) return false;
    auto setup = std::make_unique<Setup>();
    setup->name = name;
    for (int n = 0; n < count; ++n) {
      Json config =
          amtest::BaseConfig({{kProfile, amtest::Rules(Json::array({amtest::PageAction()}))}});
      config["log_level"] = 0;
      config["queue_limit"] = 100000;
      config["listen"]["max_connections"] = 64;
      if (!state.is_null()) {
        config["state"] = state;
        config["state"]["node"] = std::string(1, static_cast<char>('a' + n));
      }
      setup->nodes.push_back(std::make_unique<Node>());
      if (!setup->nodes.back()->daemon.Start(config)) {
        error_ =
            name + ": the daemon did not start; its log:\n" + setup->nodes.back()->daemon.log();
        return false;
      }
    }
    setups_.push_back(std::move(setup));
    return true;
  }

  std::string error_;
  std::unique_ptr<amtest::Postgres> pg_;
  std::unique_ptr<amtest::Postgres> pg_fsync_;
  std::vector<std::unique_ptr<Setup>> setups_;
};

Environment& Env() {
  static Environment environment;
  return environment;
}

void BM_Rounds(benchmark::State& state) {
  Environment& env = Env();
  if (!env.error().empty()) return state.SkipWithError(env.error().c_str());
  auto& setups = env.setups();
  std::size_t round = 0;
  std::string error;
  for (auto _ : state) {
    const std::string tag = "r" + std::to_string(round);
    for (std::size_t k = 0; k < setups.size(); ++k) {
      Setup& setup = *setups[(round + k) % setups.size()];
      if (!Loaded(setup, tag, kPerClient, /*record=*/true, &error) || !Alone(setup, tag, &error)) {
        return state.SkipWithError(error.c_str());
      }
    }
    ++round;
  }
}
BENCHMARK(BM_Rounds)->Iterations(kRounds)->UseRealTime()->Unit(benchmark::kSecond);

// The iteration's time is the configuration's loaded time over all rounds,
// so items_per_second is its loaded rate.
void BM_Summary(benchmark::State& state, const char* name) {
  Environment& env = Env();
  if (!env.error().empty()) return state.SkipWithError(env.error().c_str());
  const Setup* setup = env.Find(name);
  const Setup* base = env.Find("sqlite");
  if (setup == nullptr || base == nullptr || setup->loaded_events == 0 ||
      base->loaded_events == 0) {
    return state.SkipWithError("no samples: BM_Rounds did not run or failed");
  }
  for (auto _ : state) state.SetIterationTime(setup->loaded_seconds);
  state.SetItemsProcessed(setup->loaded_events);
  const double eps = static_cast<double>(setup->loaded_events) / setup->loaded_seconds;
  const double base_eps = static_cast<double>(base->loaded_events) / base->loaded_seconds;
  const double p50 = Percentile(setup->loaded_us, 50);
  const double p99 = Percentile(setup->loaded_us, 99);
  state.counters["p50_us"] = p50;
  state.counters["p99_us"] = p99;
  state.counters["alone_p50_us"] = Percentile(setup->alone_us, 50);
  state.counters["alone_p99_us"] = Percentile(setup->alone_us, 99);
  state.counters["eps_vs_sqlite"] = eps / base_eps;
  state.counters["p50_vs_sqlite"] = p50 / Percentile(base->loaded_us, 50);
  state.counters["p99_vs_sqlite"] = p99 / Percentile(base->loaded_us, 99);
}
BENCHMARK_CAPTURE(BM_Summary, sqlite, "sqlite")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Summary, pg, "pg")->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Summary, pg_x2, "pg_x2")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Summary, pg_fsync, "pg_fsync")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Summary, pg_fsync_x2, "pg_fsync_x2")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
