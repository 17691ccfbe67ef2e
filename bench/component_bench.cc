// The cost of dispatching one event: ProcessEvent for an event whose class has
// no rule and for a rule holding one task action, against a baseline that
// only reads __CLASS, lower-cases it and looks it up in a hash map. Log lines
// are dropped before they are formatted (threshold -1), so the figures are
// the dispatch's own.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>

#include "component/action_manager_sink.h"
#include "host/trace_utils.h"
#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "wbem/holders.h"
#include "repository/repository.h"
#include "wbem/unicode.h"

namespace {

constexpr int kRules = 20;

struct World {
  World() {
    CTraceUtils::GetInstance()->SetThreshold(-1);
    ns.Define(repository::Class("ZRV_Event").Property("ProfileName", CIM_STRING));
    ns.Define(repository::Class("Disk_Full", "ZRV_Event").Property("EventId", CIM_STRING));
    ns.Define(repository::Class("Unwatched_Event", "ZRV_Event").Property("EventId", CIM_STRING));
    for (int i = 0; i < kRules; ++i) {
      CActionRule rule;
      rule.SetAt("task", std::make_unique<CTaskActionInfo>(0, "a", "b", "c"));
      settings.m_mapRules.SetAt("Rule_Event_" + std::to_string(i), std::move(rule));
    }
    CActionRule rule;
    rule.SetAt("task", std::make_unique<CTaskActionInfo>(0, "a", "b", "c"));
    settings.m_mapRules.SetAt("Disk_Full", std::move(rule));
    ns.NewInstance("Disk_Full", {{"ProfileName", "P"}, {"EventId", "42"}}, &with_rule);
    ns.NewInstance("Unwatched_Event", {{"ProfileName", "P"}, {"EventId", "42"}}, &without_rule);
  }
  ~World() { CTraceUtils::GetInstance()->SetThreshold(3); }

  repository::Repository repo;
  repository::Namespace ns = repo.OpenNamespace("root\\zrv");
  CActionManagerSettings settings;
  wbem::ComPtr<IWbemClassObject> with_rule;
  wbem::ComPtr<IWbemClassObject> without_rule;
};

void BM_ProcessEventNoRule(benchmark::State& state) {
  World world;
  CActionManagerSink sink("P", world.settings);
  for (auto _ : state) benchmark::DoNotOptimize(sink.ProcessEvent(world.without_rule.get()));
}
BENCHMARK(BM_ProcessEventNoRule);

void BM_ProcessEventOneTaskAction(benchmark::State& state) {
  World world;
  CActionManagerSink sink("P", world.settings);
  for (auto _ : state) benchmark::DoNotOptimize(sink.ProcessEvent(world.with_rule.get()));
}
BENCHMARK(BM_ProcessEventOneTaskAction);

// What any dispatch must do at least: read the class name, fold its case and
// look it up.
void BM_BaselineReadLowerLookUp(benchmark::State& state) {
  World world;
  std::unordered_map<std::string, int> map;
  for (const auto& [name, rule] : world.settings.m_mapRules) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    map.emplace(lower, 1);
  }
  for (auto _ : state) {
    wbem::Variant value;
    world.without_rule->Get(u"__CLASS", 0, value.Out(), nullptr, nullptr);
    std::string name = wbem::Utf16ToUtf8(value.get().bstrVal);
    for (char& c : name) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    benchmark::DoNotOptimize(map.find(name) != map.end());
  }
}
BENCHMARK(BM_BaselineReadLowerLookUp);

}  // namespace
