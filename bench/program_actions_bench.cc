// The cost of a program action beyond the program itself.
//
// BM_BareSpawnScustomTrue is the floor: posix_spawnp + waitpid of the command
// line `perl scustom.pl "true"` in the script's directory, no pipes, the
// agent's environment as it is. BM_ExecuteTrue is the full
// CImplProgramInfo::Execute of an action whose command is `true`: event
// properties read and exported, the environment block built, the directory
// changed and restored, the child run with captured streams, the log lines
// formatted and the result event indicated. BM_ExecuteOverBare alternates the
// two in one loop, so that both see the same machine load, and reports the
// median of each and their ratio.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "component/action_manager_sink.h"
#include "host/trace_utils.h"
#include "repository/zrv_classes.h"
#include "program_actions/impl_program_info.h"
#include "settings/action_manager_settings.h"
#include "repository/repository.h"
#include "testing/temp_dir.h"

namespace {

// The script's directory, the repository and a started sink for the whole
// run; built once, on first use.
struct World {
  World() {
    directory = std::filesystem::canonical(folder.path());
    std::filesystem::copy_file(AM_SCUSTOM_PL, directory / "scustom.pl");
    ::setenv("ZMO_HALBERD_DIR", directory.c_str(), 1);
    CTraceUtils::GetInstance()->SetLineSink([](int, const std::string&, const std::string&) {});

    repository::DefineZrvEventClasses(ns);
    ns.Define(repository::Class("Disk_Full", "ZRV_Event")
                  .Property("Drive", CIM_STRING)
                  .Property("Free", CIM_UINT32));
    ns.NewInstance("Disk_Full",
                   {{"ProfileName", "Bench"},
                    {"ModelName", "DiskModel"},
                    {"EventId", "ev-1"},
                    {"event_key", "C:"},
                    {"severity", "Critical"},
                    {"Drive", "C:"},
                    {"Free", 10}},
                   &event);
    services = ns.Services();
    sink = std::make_unique<CActionManagerSink>("Bench", settings);
    ready = event && sink->Start(services.get()) == 1;

    CProgramActionInfo info;
    info.m_strCommand = "true";
    info.m_strProbe = "bench_probe";
    info.m_strDescriptiveName = "bench";
    executor = std::make_unique<CImplProgramInfo>(info);
  }
  ~World() {
    executor.reset();
    if (sink) sink->Stop();
    sink.reset();
    CTraceUtils::GetInstance()->SetLineSink({});
  }

  // posix_spawnp + waitpid of `perl scustom.pl "true"` in the script's
  // directory; the exit status, or -1 when the spawn failed.
  int BareSpawn() const {
    char perl[] = "perl";
    char script[] = "scustom.pl";
    char command[] = "true";
    char* argv[] = {perl, script, command, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, perl, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  int Execute() const { return executor->Execute(sink.get(), event.get()); }

  amtest::TempDir folder;  // removed with everything in it when the world goes
  std::filesystem::path directory;
  repository::Repository repo;
  repository::Namespace ns = repo.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services;
  wbem::ComPtr<IWbemClassObject> event;
  CActionManagerSettings settings;
  std::unique_ptr<CActionManagerSink> sink;
  std::unique_ptr<CImplProgramInfo> executor;
  bool ready = false;
};

World& GetWorld() {
  static World world;
  return world;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

void BM_BareSpawnScustomTrue(benchmark::State& state) {
  World& world = GetWorld();
  if (!world.ready) return state.SkipWithError("setup failed");
  for (auto _ : state) {
    if (world.BareSpawn() != 0) return state.SkipWithError("perl scustom.pl \"true\" failed");
  }
}
BENCHMARK(BM_BareSpawnScustomTrue)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ExecuteTrue(benchmark::State& state) {
  World& world = GetWorld();
  if (!world.ready) return state.SkipWithError("setup failed");
  for (auto _ : state) {
    if (world.Execute() != 1) return state.SkipWithError("Execute failed");
  }
}
BENCHMARK(BM_ExecuteTrue)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ExecuteOverBare(benchmark::State& state) {
  World& world = GetWorld();
  if (!world.ready) return state.SkipWithError("setup failed");
  using Clock = std::chrono::steady_clock;
  std::vector<double> bare, execute;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const int status = world.BareSpawn();
    const auto t1 = Clock::now();
    const int result = world.Execute();
    const auto t2 = Clock::now();
    if (status != 0 || result != 1) return state.SkipWithError("a run failed");
    bare.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    execute.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  const double bare_ms = Median(bare);
  const double execute_ms = Median(execute);
  state.counters["bare_ms"] = bare_ms;
  state.counters["execute_ms"] = execute_ms;
  state.counters["ratio"] = bare_ms > 0 ? execute_ms / bare_ms : 0;
}
BENCHMARK(BM_ExecuteOverBare)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace
