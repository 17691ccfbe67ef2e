// Event delivery through the repository against the bare cost of handing an
// item from one thread to another. Both benchmarks move kBatch items per
// iteration and wait until the consumer has taken every one, so both pay the
// same thread wake-ups; the difference is the repository's own work
// (matching, copying the event, accounting).
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "repository/repository.h"
#include "repository/sinks.h"

namespace {

constexpr int kBatch = 256;

void BM_QueryObjectSinkToOneSubscriber(benchmark::State& state) {
  repository::Repository repo;
  repository::Namespace ns = repo.OpenNamespace("root\\zrv");
  ns.Define(repository::Class("ZRV_Event")
                .Property("ProfileName", CIM_STRING)
                .Property("EventId", CIM_STRING)
                .Property("event_key", CIM_STRING)
                .Property("ModelName", CIM_STRING)
                .Property("severity", CIM_STRING));
  ns.Define(repository::Class("Disk_Full", "ZRV_Event").Property("Free", CIM_UINT32));
  std::atomic<std::int64_t> delivered{0};
  auto sink = repository::FunctionSink::Create([&](IWbemClassObject*) {
    delivered.fetch_add(1, std::memory_order_relaxed);
    return WBEM_S_NO_ERROR;
  });
  if (FAILED(ns.Subscribe(R"(SELECT * FROM ZRV_Event WHERE ProfileName="Profile")", sink.get()))) {
    state.SkipWithError("subscription failed");
    return;
  }
  auto services = ns.Services();
  wbem::ComPtr<IWbemObjectSink> provider;
  services->QueryObjectSink(0, provider.Out());
  wbem::ComPtr<IWbemClassObject> event;
  ns.NewInstance("Disk_Full",
                 {{"ProfileName", "Profile"},
                  {"EventId", "1234"},
                  {"event_key", "disk:C"},
                  {"ModelName", "Disk"},
                  {"severity", "CRITICAL"},
                  {"Free", 10}},
                 &event);
  IWbemClassObject* objects[] = {event.get()};
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) provider->Indicate(1, objects);
    if (!repo.WaitIdle()) state.SkipWithError("delivery stalled");
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  if (delivered.load() != state.iterations() * kBatch) state.SkipWithError("events lost");
  ns.Unsubscribe(sink.get());
}
BENCHMARK(BM_QueryObjectSinkToOneSubscriber)->UseRealTime();

// The same shape with nothing but a mutex, a condition variable and a deque.
void BM_BareQueueHandOff(benchmark::State& state) {
  std::mutex mu;
  std::condition_variable wake, idle;
  std::deque<int*> queue;
  std::int64_t pending = 0;
  bool stop = false;
  std::int64_t consumed = 0;
  std::thread consumer([&] {
    std::unique_lock lock(mu);
    while (true) {
      wake.wait(lock, [&] { return stop || !queue.empty(); });
      if (stop) return;
      int* item = queue.front();
      queue.pop_front();
      lock.unlock();
      benchmark::DoNotOptimize(*item);
      ++consumed;
      lock.lock();
      if (--pending == 0) idle.notify_all();
    }
  });
  int payload = 7;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      {
        std::lock_guard lock(mu);
        queue.push_back(&payload);
        ++pending;
      }
      wake.notify_one();
    }
    std::unique_lock lock(mu);
    idle.wait(lock, [&] { return pending == 0; });
  }
  {
    std::lock_guard lock(mu);
    stop = true;
  }
  wake.notify_one();
  consumer.join();
  state.SetItemsProcessed(state.iterations() * kBatch);
  if (consumed != state.iterations() * kBatch) state.SkipWithError("items lost");
}
BENCHMARK(BM_BareQueueHandOff)->UseRealTime();

// Indicating with no matching subscriber: the raiser's own cost.
void BM_IndicateWithoutSubscriber(benchmark::State& state) {
  repository::Repository repo;
  repository::Namespace ns = repo.OpenNamespace("root\\zrv");
  ns.Define(repository::Class("ZRV_Event").Property("ProfileName", CIM_STRING));
  wbem::ComPtr<IWbemObjectSink> provider;
  ns.Services()->QueryObjectSink(0, provider.Out());
  wbem::ComPtr<IWbemClassObject> event;
  ns.NewInstance("ZRV_Event", {{"ProfileName", "Profile"}}, &event);
  IWbemClassObject* objects[] = {event.get()};
  for (auto _ : state) benchmark::DoNotOptimize(provider->Indicate(1, objects));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IndicateWithoutSubscriber);

}  // namespace
