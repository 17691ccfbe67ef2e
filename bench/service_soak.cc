// A long run (`make soak`, never part of the test run): 100,000 events over
// keep-alive HTTP across three profiles with built-in and task actions, some
// requests refused on purpose. Afterwards every event received must be
// either processed or rejected, exactly, and the process must hold no more
// descriptors or threads, and hardly more memory, than after the warm-up.
// Prints its figures; exits 1 when one of those does not hold.
#include <httplib.h>
#include <signal.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <thread>

#include "testing/daemon.h"

namespace {

using namespace amtest;

int failures = 0;

// A soak condition; prints what failed.
void Check(bool holds, const char* what) {
  if (!holds) {
    std::cout << "soak: FAILED " << what << "\n";
    ++failures;
  }
}

struct Usage {
  std::size_t descriptors = 0;
  long threads = 0;
  long rss_kib = 0;
};

Usage Measure(pid_t pid) {
  Usage usage;
  const std::filesystem::path proc = "/proc/" + std::to_string(pid);
  for (const auto& entry : std::filesystem::directory_iterator(proc / "fd")) {
    (void)entry;
    ++usage.descriptors;
  }
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("Threads:")) usage.threads = std::stol(line.substr(8));
    if (line.starts_with("VmRSS:")) usage.rss_kib = std::stol(line.substr(6));
  }
  return usage;
}

int Soak() {
  constexpr int kEvents = 100000;
  constexpr int kBatch = 50;
  constexpr int kClients = 4;
  TempDir dir;
  DaemonProcess daemon(dir);
  Json config = BaseConfig({{"A", Rules(Json::array({PageAction(), TaskAction()}))},
                            {"B", Rules(Json::array({PageAction(2)}))},
                            {"C", Rules(Json::array({TaskAction()}))}});
  config["log_level"] = 0;
  config["queue_limit"] = 2000;
  // One malloc arena: with one per thread, resident memory drifts upwards as
  // peaks land in different arenas, which would hide a leak or fake one.
  if (!daemon.Start(config, {{"MALLOC_ARENA_MAX", "1"}})) {
    std::cout << daemon.log();
    return 1;
  }

  std::atomic<int> next{0};
  std::atomic<long> sent{0};
  std::atomic<long> refused{0};
  const auto send_until = [&](int until) {
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        auto client = daemon.Client();
        for (;;) {
          const int first = next.fetch_add(kBatch);
          if (first >= until) return;
          Json batch = Json::array();
          for (int i = first; i < first + kBatch && i < until; ++i) {
            const char* profile = i % 3 == 0 ? "A" : i % 3 == 1 ? "B" : "C";
            batch.push_back(DiskFull("id-" + std::to_string(i % 5000), profile));
          }
          // Every hundredth batch carries a bad event, so the whole batch is
          // refused (400).
          if ((first / kBatch) % 100 == c) batch.back()["properties"]["Nope"] = 1;
          const Reply reply = Post(*client, batch.dump());
          sent += static_cast<long>(batch.size());
          if (reply.status != 202) refused += static_cast<long>(batch.size());
        }
      });
    }
    for (std::thread& t : clients) t.join();
  };
  const auto settled = [&] {
    return WaitFor(
        [&] {
          const double received = daemon.Metric("actionmanagerd_events_received_total").value_or(-1);
          double done = 0;
          for (const char* p : {"A", "B", "C"}) {
            for (const char* r : {"0", "1"}) {
              done += daemon.Metric(std::string("actionmanagerd_events_processed_total{profile=\"") +
                                    p + "\",result=\"" + r + "\"}")
                          .value_or(0);
            }
          }
          for (const char* reason : {"invalid", "queue_full", "journal_full"}) {
            done += daemon.Metric(std::string("actionmanagerd_events_rejected_total{reason=\"") +
                                  reason + "\"}")
                        .value_or(0);
          }
          return received == static_cast<double>(sent.load()) && done == received;
        },
        std::chrono::minutes(10));
  };

  // The warm-up fills the queues to their limit as the rest will.
  send_until(kEvents / 5);
  // Each client took one batch past the end before it stopped.
  next = kEvents / 5;
  if (!settled()) {
    std::cout << "soak: the counts never added up\n" << daemon.log();
    return 1;
  }
  const Usage warm = Measure(daemon.pid());
  send_until(kEvents * 3 / 5);
  next = kEvents * 3 / 5;
  if (!settled()) {
    std::cout << "soak: the counts never added up\n" << daemon.log();
    return 1;
  }
  const Usage middle = Measure(daemon.pid());
  send_until(kEvents);
  if (!settled()) {
    std::cout << "soak: the counts never added up\n" << daemon.log();
    return 1;
  }
  // The clients' connections close on the daemon's side a moment after
  // theirs.
  Check(WaitFor([&] { return Measure(daemon.pid()).descriptors <= warm.descriptors; }),
        "descriptors back to the warm-up's count");
  const Usage end = Measure(daemon.pid());

  const double received = *daemon.Metric("actionmanagerd_events_received_total");
  Check(received == kEvents, "every event counted as received");
  Check(refused.load() > 0, "some batches refused");
  double processed = 0;
  for (const char* p : {"A", "B", "C"}) {
    processed += daemon.Metric(std::string("actionmanagerd_events_processed_total{profile=\"") + p +
                               "\",result=\"1\"}")
                     .value_or(0);
  }
  std::cout << "soak: received " << received << ", processed " << processed << ", rejected "
            << received - processed << " (invalid "
            << daemon.Metric("actionmanagerd_events_rejected_total{reason=\"invalid\"}").value_or(0)
            << ", queue full "
            << daemon.Metric("actionmanagerd_events_rejected_total{reason=\"queue_full\"}").value_or(0)
            << "), refused by the clients' count " << refused.load() << ", descriptors " << warm.descriptors << " -> "
            << end.descriptors << ", threads " << warm.threads << " -> " << end.threads
            << ", RSS " << warm.rss_kib << " KiB -> " << middle.rss_kib << " KiB -> "
            << end.rss_kib << " KiB\n";
  Check(end.threads <= warm.threads, "no more threads than after the warm-up");
  // A leak of fifty bytes per event would add 4 MiB over the last 80,000.
  Check(end.rss_kib <= warm.rss_kib + 4 * 1024, "RSS within 4 MiB of the warm-up's");
  Check(end.rss_kib <= middle.rss_kib + 2 * 1024, "RSS within 2 MiB of the middle's");
  Check(daemon.Metric("actionmanagerd_state_unfinished_events") == 0, "store drained");
  daemon.Signal(SIGTERM);
  Check(daemon.WaitExit() == 0, "a clean exit on SIGTERM");
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main() { return Soak(); }
