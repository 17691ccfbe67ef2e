// Benchmarks of the process runner.
//
// BM_BareSpawnTrue is the floor: posix_spawn + waitpid of /bin/true with no
// pipes. BM_RunnerTrue does the same through StartChildProcess +
// WaitChildProcess with both output channels captured (pipes, two reader
// threads, pidfd wait). BM_BuildEnvironment200 assembles a child environment
// from an agent environment of 200 variables and a small map.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

void BM_BareSpawnTrue(benchmark::State& state) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(status);
  }
}
BENCHMARK(BM_BareSpawnTrue)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Fastest);

void BM_RunnerTrue(benchmark::State& state) {
  const std::string command = "/bin/true";
  for (auto _ : state) {
    runner::ChildProcess record;
    record.output.enabled = 1;
    record.output.initial_size = 512;
    record.output.maximum_size = 4096;
    record.error.enabled = 1;
    record.error.initial_size = 256;
    record.error.maximum_size = 2048;
    if (runner::StartChildProcess(command, record) != runner::kStartOk) {
      state.SkipWithError("StartChildProcess failed");
      break;
    }
    benchmark::DoNotOptimize(runner::WaitChildProcess(record));
  }
}
BENCHMARK(BM_RunnerTrue)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", Fastest);

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
