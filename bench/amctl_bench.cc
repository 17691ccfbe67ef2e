// amctl's peak memory for 1 MB inputs of the costliest shapes, as counters:
// "peak_kb" (the process's peak resident memory), "grown_kb" (above the same
// command on a tiny input) and "bytes_per_input_byte" (grown memory over the
// input's size; the tool keeps this under about 48). Each iteration starts
// the built amctl once.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace {

// Runs amctl with `args` in `dir` and gives its peak resident memory in KB.
long PeakKb(const std::vector<std::string>& args, const amtest::TempDir& dir) {
  amtest::ProcessOptions options;
  options.cwd = dir.path();
  const amtest::ProcessResult run = amtest::Run(AMCTL_PATH, args, options);
  return run.status < 0 ? -1 : run.peak_kb;
}

std::string Fill(const std::string& prefix, const std::string& item, const std::string& suffix,
                 std::size_t size) {
  std::string text = prefix;
  while (text.size() + item.size() + suffix.size() < size) {
    if (text.size() > prefix.size()) text += ',';
    text += item;
  }
  return text + suffix;
}

std::string Numbered(const std::string& before, const std::string& after, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) {
    if (!text.empty()) text += ',';
    text += before + std::to_string(i) + after;
  }
  return text;
}

constexpr std::size_t kSize = 1 << 20;

void Measure(benchmark::State& state, const std::string& input, bool scenario) {
  amtest::TempDir dir;
  dir.Write("tiny.json", scenario ? R"({"profile": "P", "settings": {"rules": []}})"
                                  : R"({"rules": []})");
  dir.Write("input.json", input);
  const auto args = [&](const char* file) -> std::vector<std::string> {
    if (scenario) return {"run", file, "--jsonl"};
    return {"settings", "encode", file, "-o", "out.bin"};
  };
  const long base = PeakKb(args("tiny.json"), dir);
  long peak = 0;
  for (auto _ : state) peak = PeakKb(args("input.json"), dir);
  state.counters["peak_kb"] = static_cast<double>(peak);
  state.counters["grown_kb"] = static_cast<double>(peak - base);
  state.counters["bytes_per_input_byte"] =
      static_cast<double>(peak - base) * 1024.0 / static_cast<double>(input.size());
}

void BM_EmptyArrays(benchmark::State& state) {
  Measure(state, Fill(R"({"rules": [)", "[]", "]}", kSize), false);
}
void BM_DistinctKeys(benchmark::State& state) {
  Measure(state, "{" + Numbered("\"k", "\": 0", kSize) + "}", false);
}
void BM_RulesWithoutActions(benchmark::State& state) {
  Measure(state, R"({"rules": [)" + Numbered(R"({"event": "E)", "\"}", kSize) + "]}", false);
}
void BM_BuiltInActions(benchmark::State& state) {
  Measure(state,
          R"({"rules": [{"event": "E", "actions": [)" +
              Numbered(R"({"name": "a)", R"(", "kind": "builtin", "key_params": [{}]})", kSize) +
              "]}]}",
          false);
}
void BM_ScenarioClasses(benchmark::State& state) {
  Measure(state,
          R"({"profile": "P", "settings": {"rules": []}, "classes": [)" +
              Numbered(R"({"name": "C)", "\"}", kSize) + "]}",
          true);
}
void BM_ScenarioEvents(benchmark::State& state) {
  Measure(state,
          Fill(R"({"profile": "P", "settings": {"rules": []}, "events": [)",
               R"({"class": "ZRV_Event"})", "]}", kSize),
          true);
}
void BM_DeepNesting(benchmark::State& state) {
  Measure(state, std::string(10 << 20, '['), false);
}

BENCHMARK(BM_EmptyArrays)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistinctKeys)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RulesWithoutActions)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BuiltInActions)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScenarioClasses)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScenarioEvents)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeepNesting)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
