// The state database without HTTP in front of it.
//
//   BM_BareFdatasync        the baseline: append a 1 KiB record to a file and
//                           fdatasync it, one thread
//   BM_Acknowledge/threads  Submit one 1 KiB event and wait until it is
//                           committed, from 1 or 16 threads at once; with
//                           group commit 16 threads share commits
//   BM_MillionEventIds      1,000,000 distinct EventIds counted through one
//                           profile: the file's size and the process's
//                           resident memory with every counter loaded
//
// The baseline runs before and after the store, so a run that drifted shows.
// Read the rates as ratios to the baseline of the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "service/sqlite_state.h"
#include "testing/temp_dir.h"

namespace {

const std::string kRecord(1024, 'r');

void BM_BareFdatasync(benchmark::State& state) {
  amtest::TempDir dir;
  const int fd = ::open((dir / "records").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  for (auto _ : state) {
    if (::write(fd, kRecord.data(), kRecord.size()) != static_cast<ssize_t>(kRecord.size()) ||
        ::fdatasync(fd) != 0) {
      state.SkipWithError("write or fdatasync failed");
      break;
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}

// One store for every thread of a run; thread 0 opens and closes it.
std::unique_ptr<amtest::TempDir> g_dir;
std::unique_ptr<service::SqliteState> g_store;

void BM_Acknowledge(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_dir = std::make_unique<amtest::TempDir>();
    g_store = std::make_unique<service::SqliteState>(*g_dir / "state.db", nullptr);
    service::StateOptions options;
    options.max_queued_bytes = std::uint64_t{1} << 40;
    std::vector<service::StateStore::Unfinished> unfinished;
    std::vector<service::CounterRow> counters;
    std::string error;
    if (!g_store->Open(options, &unfinished, &counters, &error)) state.SkipWithError(error.c_str());
  }
  for (auto _ : state) {
    std::uint64_t seq = 0;
    if (g_store->Submit({kRecord}, &seq) != service::StateStore::SubmitResult::kOk ||
        !g_store->WaitDurable(seq)) {
      state.SkipWithError("not committed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    g_store->Close();
    g_store.reset();
    g_dir.reset();
  }
}

double ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

void BM_MillionEventIds(benchmark::State& state) {
  constexpr int kIds = 1000000;
  constexpr int kPerCommit = 10000;
  for (auto _ : state) {
    amtest::TempDir dir;
    service::CounterTable table;
    const double before = ResidentBytes();
    {
      service::SqliteState store(dir / "state.db", &table);
      std::vector<service::StateStore::Unfinished> unfinished;
      std::vector<service::CounterRow> counters;
      std::string error;
      if (!store.Open({}, &unfinished, &counters, &error)) {
        state.SkipWithError(error.c_str());
        break;
      }
      const std::int64_t now = service::NowMs();
      for (int first = 0; first < kIds; first += kPerCommit) {
        std::uint64_t seq = 0;
        (void)store.Submit({"{}"}, &seq);
        for (int i = first; i < first + kPerCommit; ++i) {
          table.Set("P", "disk_full", "event-" + std::to_string(i), 1, now);
        }
        if (!store.Finish({seq, "processed", "{}", table.TakeChanges("P"), {}, "P"})) {
          state.SkipWithError("finish failed");
          break;
        }
      }
      store.Close();
    }
    state.counters["db_bytes"] = static_cast<double>(std::filesystem::file_size(dir / "state.db"));
    state.counters["counters"] = static_cast<double>(table.size());
    state.counters["rss_growth_bytes"] = ResidentBytes() - before;
  }
}

BENCHMARK(BM_BareFdatasync)->UseRealTime();
BENCHMARK(BM_Acknowledge)->Threads(1)->Threads(16)->UseRealTime();
BENCHMARK(BM_BareFdatasync)->UseRealTime();
BENCHMARK(BM_MillionEventIds)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
