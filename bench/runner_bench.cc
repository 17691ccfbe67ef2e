// Benchmarks of the process runner.
//
// BM_BareSpawnTrue is the floor: posix_spawn + waitpid of /bin/true with no
// pipes. BM_RunnerTrue does the same through StartChildProcess +
// WaitChildProcess with both output channels captured (pipes, pidfd, one poll
// loop on the calling thread). BM_RunnerOverBare alternates the two in one
// loop, so that both see the same machine load, and reports the median of
// each and their ratio. BM_BuildEnvironment200 assembles a child environment
// from an agent environment of 200 variables and a small map.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "runner/child_process.h"
#include "runner/command_runner.h"

namespace {

// Process start-up on a shared machine is noisy; the fastest repetition is the
// fairest comparison of two ways to start the same program.
double Fastest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// posix_spawn + waitpid of /bin/true; false when the spawn failed.
bool BareSpawnTrue() {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  benchmark::DoNotOptimize(status);
  return true;
}

// /bin/true through the runner with both outputs captured as the command
// runner captures them; false when the start failed.
bool RunnerTrue() {
  runner::ChildProcess record;
  record.output.enabled = 1;
  record.output.initial_size = 512;
  record.output.maximum_size = 4096;
  record.error.enabled = 1;
  record.error.initial_size = 256;
  record.error.maximum_size = 2048;
  if (runner::StartChildProcess("/bin/true", record) != runner::kStartOk) return false;
  benchmark::DoNotOptimize(runner::WaitChildProcess(record));
  return true;
}

void BM_BareSpawnTrue(benchmark::State& state) {
  for (auto _ : state) {
    if (!BareSpawnTrue()) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
  }
}
BENCHMARK(BM_BareSpawnTrue)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Fastest);

void BM_RunnerTrue(benchmark::State& state) {
  for (auto _ : state) {
    if (!RunnerTrue()) {
      state.SkipWithError("StartChildProcess failed");
      break;
    }
  }
}
BENCHMARK(BM_RunnerTrue)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Fastest);

void BM_RunnerOverBare(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  std::vector<double> bare, runner;
  // Each takes the lead every other time, so that neither always runs just
  // after the other's child has ended.
  auto timed = [](bool (*run)(), std::vector<double>& into) {
    const auto start = Clock::now();
    const bool ok = run();
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return ok;
  };
  bool bare_first = true;
  for (auto _ : state) {
    const bool ok = bare_first ? timed(BareSpawnTrue, bare) && timed(RunnerTrue, runner)
                               : timed(RunnerTrue, runner) && timed(BareSpawnTrue, bare);
    if (!ok) return state.SkipWithError("a run failed");
    bare_first = !bare_first;
  }
  const double bare_us = Median(bare);
  const double runner_us = Median(runner);
  state.counters["bare_us"] = bare_us;
  state.counters["runner_us"] = runner_us;
  state.counters["ratio"] = bare_us > 0 ? runner_us / bare_us : 0;
}
BENCHMARK(BM_RunnerOverBare)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_BuildEnvironment200(benchmark::State& state) {
  // An agent environment of exactly 200 variables of typical length.
  std::vector<std::string> storage;
  for (int i = 0; i < 200; ++i) {
    storage.push_back("AGENT_VARIABLE_" + std::to_string(i) + "=/opt/agent/value/" +
                      std::to_string(i * 7919));
  }
  std::vector<char*> fake;
  for (std::string& entry : storage) fake.push_back(entry.data());
  fake.push_back(nullptr);
  char** saved = environ;
  environ = fake.data();
  // What a program action adds: the event's class, properties and the profile.
  const runner::EnvironmentMap map = {
      {"ZRV_EVENT", "Disk_Full"}, {"EVENT_NAME", "Disk_Full"},      {"Disk_Full_Drive", "/var"},
      {"Disk_Full_Free", "12"},   {"EVENT_SEVERITY", "critical"},   {"ZRV_PROFILE", "servers"},
      {"PROFILE", "servers"},     {"RESOURCE_MODEL", "FileSystem"},
  };
  runner::CCommandRunner command_runner("disk probe", "perl scustom.pl \"x\"", "", "FALSE",
                                        "UseArg");
  for (auto _ : state) {
    runner::CEnvBlock block;
    block.Reserve(1024);
    command_runner.BuildEnvironment(block, "c:\\Winnt\\system32", map);
    benchmark::DoNotOptimize(block.Data());
  }
  environ = saved;
}
BENCHMARK(BM_BuildEnvironment200)->Unit(benchmark::kMicrosecond);

}  // namespace
