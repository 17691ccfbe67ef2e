// actionmanagerd over keep-alive HTTP, the daemon a real process with its
// journal on (appended and synced before each 202).
//
//   BM_HttpRoundTrip        the bare baseline: GET /healthz on the same
//                           connection
//   BM_AcceptAndProcess/N   POST N events for a rule with one task action,
//                           with ?wait=1, so each iteration covers acceptance
//                           (journal sync included) and processing;
//                           items_per_second is events per second
//   BM_EventToResult/kind   POST one event, wait for its result event on the
//                           results stream; p50 and p99 in microseconds
//
// Read the rates as ratios to the baseline of the same run: the machine is
// shared and noisy.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "testing/daemon.h"

namespace {

using amtest::DaemonProcess;
using amtest::Json;
using amtest::TempDir;

// One daemon for the whole run, with three profiles.
struct Fixture {
  Fixture() : daemon(dir) {
    Json config = amtest::BaseConfig(
        {{"Task", amtest::Rules(Json::array({amtest::TaskAction()}))},
         {"Builtin", amtest::Rules(Json::array({amtest::PageAction()}))},
         {"Program", amtest::Rules(Json::array({amtest::ProgramAction("true")}))}});
    config["log_level"] = 0;
    config["queue_limit"] = 100000;
    config["listen"]["max_body_bytes"] = 64 << 20;
    config["listen"]["max_connections"] = 8;
    config.erase("results_file");
    config["results_file"] = (dir.path() / "results.jsonl").string();
    started = daemon.Start(config);
  }
  ~Fixture() {
    daemon.Signal(SIGTERM);
    (void)daemon.WaitExit();
  }
  TempDir dir;
  DaemonProcess daemon;
  bool started = false;
};

Fixture& Daemon() {
  static Fixture fixture;
  return fixture;
}

void BM_HttpRoundTrip(benchmark::State& state) {
  if (!Daemon().started) return state.SkipWithError("the daemon did not start");
  auto client = Daemon().daemon.Client();
  for (auto _ : state) {
    auto res = client->Get("/healthz");
    if (!res || res->status != 200) return state.SkipWithError("request failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HttpRoundTrip)->UseRealTime();

void BM_AcceptAndProcess(benchmark::State& state) {
  if (!Daemon().started) return state.SkipWithError("the daemon did not start");
  auto client = Daemon().daemon.Client();
  Json batch = Json::array();
  for (int i = 0; i < state.range(0); ++i) {
    batch.push_back(amtest::DiskFull("e" + std::to_string(i), "Task"));
  }
  const std::string body = batch.dump();
  for (auto _ : state) {
    auto res = client->Post("/v1/events?wait=1", body, "application/json");
    if (!res || res->status != 200) return state.SkipWithError("request failed");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AcceptAndProcess)->Arg(1)->Arg(100)->UseRealTime();

// The results stream, read on a thread of its own; Await returns when the
// result event of `seq` arrived.
class Stream {
 public:
  Stream() : client_(Daemon().daemon.Client()) {
    reader_ = std::thread([this] {
      client_->Get("/v1/results?follow=1", [this](const char* data, std::size_t size) {
        std::lock_guard<std::mutex> lock(mu_);
        text_.append(data, size);
        for (std::size_t at; (at = text_.find("\n\n")) != std::string::npos; text_.erase(0, at + 2)) {
          const std::string message = text_.substr(0, at);
          if (message.starts_with(": subscribed")) subscribed_ = true;
          const std::size_t data_at = message.find("\ndata: ");
          if (message.starts_with("event: result") && data_at != std::string::npos) {
            last_seq_ = Json::parse(message.substr(data_at + 7))["seq"].get<long>();
          }
        }
        cv_.notify_all();
        return !stop_.load();
      });
    });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(30), [&] { return subscribed_; });
  }
  ~Stream() {
    stop_ = true;
    // One more event makes the stream write, which ends the reader.
    auto client = Daemon().daemon.Client();
    client->Post("/v1/events", amtest::DiskFull("bye", "Builtin").dump(), "application/json");
    reader_.join();
  }
  bool Await(long seq) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return last_seq_ >= seq; });
  }

 private:
  std::unique_ptr<httplib::Client> client_;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string text_;
  bool subscribed_ = false;
  long last_seq_ = 0;
  std::atomic<bool> stop_{false};
};

void BM_EventToResult(benchmark::State& state, const char* profile) {
  if (!Daemon().started) return state.SkipWithError("the daemon did not start");
  Stream stream;
  auto client = Daemon().daemon.Client();
  std::vector<double> micros;
  int i = 0;
  for (auto _ : state) {
    const std::string body = amtest::DiskFull("l" + std::to_string(i++), profile).dump();
    const auto start = std::chrono::steady_clock::now();
    auto res = client->Post("/v1/events", body, "application/json");
    if (!res || res->status != 202) return state.SkipWithError("request failed");
    const long seq = Json::parse(res->body)["seq"][0].get<long>();
    if (!stream.Await(seq)) return state.SkipWithError("no result event");
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  }
}
BENCHMARK_CAPTURE(BM_EventToResult, builtin, "Builtin")->UseRealTime()->Iterations(500);
BENCHMARK_CAPTURE(BM_EventToResult, program, "Program")->UseRealTime()->Iterations(200);

}  // namespace
