// Store and load of a profile's settings: N rules of 5 actions each (built-in,
// program and task actions mixed). Loading 100,000 rules should cost about
// ten times loading 10,000: look-ups go through the map's index, never along
// its 17 chains.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "settings/action_manager_settings.h"

namespace {

constexpr std::int32_t kVersion = 11;

void FillSettings(CActionManagerSettings& settings, int rules) {
  for (int r = 0; r < rules; ++r) {
    CActionRule& rule = settings.m_mapRules["ZRV_Event_" + std::to_string(r)];
    for (int a = 0; a < 5; ++a) {
      const std::string name = "action" + std::to_string(a);
      if (a % 3 == 0) {
        auto b = std::make_unique<CBuiltInActionInfo>();
        b->m_strNamespace = "root\\zrv";
        b->m_strClassName = "ZRV_Service";
        b->m_strMethodName = "Restart";
        b->m_KeyParams.AddTail(CParams("Name", "event_key"));
        b->m_InParams.AddTail(CParams("Reason", "severity"));
        b->m_strDescriptiveName = "restart the service";
        rule.SetAt(name, std::move(b));
      } else if (a % 3 == 1) {
        auto p = std::make_unique<CProgramActionInfo>();
        p->m_wExecLimit = 3;
        p->m_strCommand = "notify.pl --event $EventId";
        p->m_strProbe = "probe";
        p->m_strDescriptiveName = "notify";
        rule.SetAt(name, std::move(p));
      } else {
        rule.SetAt(name, std::make_unique<CTaskActionInfo>(1, "task", "args", "a;b;c"));
      }
    }
  }
}

std::vector<std::uint8_t> Stored(int rules) {
  CActionManagerSettings settings;
  FillSettings(settings, rules);
  std::vector<std::uint8_t> out;
  CArchive ar(out, CArchive::store);
  settings.Serialize(ar, kVersion);
  return out;
}

void BM_StoreSettings(benchmark::State& state) {
  CActionManagerSettings settings;
  FillSettings(settings, static_cast<int>(state.range(0)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> out;
    CArchive ar(out, CArchive::store);
    settings.Serialize(ar, kVersion);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes) * state.iterations());
  state.counters["rules"] = static_cast<double>(state.range(0));
}

void BM_LoadSettings(benchmark::State& state) {
  const std::vector<std::uint8_t> data = Stored(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto settings = std::make_unique<CActionManagerSettings>();
    CArchive ar(data);
    settings->Serialize(ar, kVersion);
    benchmark::DoNotOptimize(settings->m_mapRules.GetCount());
    // Destroying the settings is not loading them.
    state.PauseTiming();
    settings.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(data.size()) * state.iterations());
  state.counters["rules"] = static_cast<double>(state.range(0));
}

void BM_LookupRule(benchmark::State& state) {
  CActionManagerSettings settings;
  const int rules = static_cast<int>(state.range(0));
  FillSettings(settings, rules);
  std::vector<std::string> keys;
  for (int r = 0; r < rules; r += rules / 1000) keys.push_back("ZRV_Event_" + std::to_string(r));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(settings.m_mapRules.Lookup(keys[i++ % keys.size()]));
  }
}

// The same store into a buffer that already has the capacity: what remains
// is the encoding itself, without the page faults of a fresh 4 MB buffer.
void BM_StoreSettingsReusedBuffer(benchmark::State& state) {
  CActionManagerSettings settings;
  FillSettings(settings, static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    out.clear();
    CArchive ar(out, CArchive::store);
    settings.Serialize(ar, kVersion);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(out.size()) * state.iterations());
}

BENCHMARK(BM_StoreSettings)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StoreSettingsReusedBuffer)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadSettings)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupRule)->Arg(10000)->Arg(100000);

}  // namespace
