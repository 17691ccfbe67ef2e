// The cost of a log line against the least any logger pays for it.
//
// Each benchmark alternates the logger and its baseline in batches of calls
// within one loop, so that both see the same machine load, and reports the
// median time per call of each and their ratio:
// - BM_LogLineOverSnprintf: a kept line written to standard error (sent to
//   /dev/null) against clock_gettime, one snprintf of the whole line with its
//   timestamp and the same fwrite. The baseline's date and time text is made
//   once per second, as the logger's is: the floor, not a naive logger.
// - BM_LogLineToSinkOverSnprintf: a kept line handed to a line sink against
//   one snprintf of the message.
// - BM_QuietLogOverEmptyCall: a line above the threshold (GetInstance and
//   LogMsg, as the component calls them) against a call of an empty function
//   that takes the same arguments.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "host/trace_utils.h"

namespace {

// A line of the kind a built-in action writes for every event.
constexpr char kComponent[] = "ActionManager";
constexpr char kFormat[] = "Executed Method '%s' belonging to the class '%s' (hres=%lu)";
constexpr char kMethod[] = "Clean";
constexpr char kPath[] = R"(\\.\root\zrv:Disk.Drive="C:")";
constexpr unsigned kHres = 0;
constexpr int kLevel = 3;

constexpr int kBatch = 64;

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// Times `batch` calls of `call` in nanoseconds per call.
template <typename Call>
double NanosPerCall(int batch, Call call) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < batch; ++i) call();
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() / batch;
}

// Alternates `logged` and `bare` in batches and reports their medians.
template <typename Logged, typename Bare>
void Alternate(benchmark::State& state, int batch, Logged logged, Bare bare) {
  std::vector<double> logged_ns, bare_ns;
  for (auto _ : state) {
    logged_ns.push_back(NanosPerCall(batch, logged));
    bare_ns.push_back(NanosPerCall(batch, bare));
  }
  const double log_median = Median(logged_ns);
  const double bare_median = Median(bare_ns);
  state.counters["log_ns"] = log_median;
  state.counters["bare_ns"] = bare_median;
  state.counters["ratio"] = bare_median > 0 ? log_median / bare_median : 0;
}

// Standard error goes to /dev/null while a benchmark writes to it.
class StandardErrorToNull {
 public:
  StandardErrorToNull() : saved_(::dup(STDERR_FILENO)) {
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
  ~StandardErrorToNull() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  StandardErrorToNull(const StandardErrorToNull&) = delete;
  StandardErrorToNull& operator=(const StandardErrorToNull&) = delete;

 private:
  int saved_;
};

// The baseline's timestamp: the date and time text made once per second.
class BareStamp {
 public:
  const char* Text(std::time_t second) {
    if (second != second_) {
      tm local{};
      localtime_r(&second, &local);
      std::strftime(text_, sizeof text_, "%Y-%m-%d %H:%M:%S", &local);
      second_ = second;
    }
    return text_;
  }

 private:
  std::time_t second_ = -1;
  char text_[32] = {};
};

void BM_LogLineOverSnprintf(benchmark::State& state) {
  const StandardErrorToNull quiet;
  CTraceUtils* log = CTraceUtils::GetInstance();
  BareStamp stamp;
  Alternate(
      state, kBatch,
      [] {
        CTraceUtils::GetInstance()->LogMsg(kLevel, kComponent, kFormat, kMethod, kPath, kHres);
      },
      [&stamp] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        char line[512];
        const int n = std::snprintf(
            line, sizeof line,
            "%s.%03ld [%d] %s: Executed Method '%s' belonging to the class '%s' (hres=%lu)\n",
            stamp.Text(now.tv_sec), now.tv_nsec / 1000000, kLevel, kComponent, kMethod, kPath,
            static_cast<unsigned long>(kHres));
        std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
      });
  benchmark::DoNotOptimize(log);
}
BENCHMARK(BM_LogLineOverSnprintf)->Iterations(20000);

void BM_LogLineToSinkOverSnprintf(benchmark::State& state) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  log->SetLineSink([](int, const std::string& component, const std::string& message) {
    benchmark::DoNotOptimize(component.data());
    benchmark::DoNotOptimize(message.data());
  });
  Alternate(
      state, kBatch,
      [] {
        CTraceUtils::GetInstance()->LogMsg(kLevel, kComponent, kFormat, kMethod, kPath, kHres);
      },
      [] {
        char message[512];
        std::snprintf(message, sizeof message, kFormat, kMethod, kPath,
                      static_cast<unsigned long>(kHres));
        benchmark::DoNotOptimize(message);
      });
  log->SetLineSink({});
}
BENCHMARK(BM_LogLineToSinkOverSnprintf)->Iterations(20000);

// What a call costs that does nothing with its arguments.
[[gnu::noinline]] void EmptyCall(int level, const char* component, const char* format,
                                 const char* method, const char* path, unsigned hres) {
  benchmark::DoNotOptimize(level);
  benchmark::DoNotOptimize(component);
  benchmark::DoNotOptimize(format);
  benchmark::DoNotOptimize(method);
  benchmark::DoNotOptimize(path);
  benchmark::DoNotOptimize(hres);
}

void BM_QuietLogOverEmptyCall(benchmark::State& state) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  log->SetThreshold(kLevel - 1);
  Alternate(
      state, 1024,
      [] {
        CTraceUtils::GetInstance()->LogMsg(kLevel, kComponent, kFormat, kMethod, kPath, kHres);
      },
      [] { EmptyCall(kLevel, kComponent, kFormat, kMethod, kPath, kHres); });
  log->SetThreshold(3);
}
BENCHMARK(BM_QuietLogOverEmptyCall)->Iterations(5000);

}  // namespace
