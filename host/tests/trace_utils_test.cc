#include "host/trace_utils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include "host/testing/log_capture.h"

namespace host {
namespace {

using Lines = std::vector<std::string>;

// What printf makes of the same format and arguments.
template <typename... Args>
std::string Printf(const char* format, Args... args) {
  char buf[512];
  const int n = std::snprintf(buf, sizeof buf, format, args...);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Plain conversions are written without printf and padded ones with it: both
// must give exactly printf's bytes. Mismatched or missing arguments never
// read garbage.
TEST(TraceUtilsTest, ConversionsWritePrintfsBytesAndNeverReadGarbage) {
  const std::string with_nul("ab\0cd", 5);
  const char* null_text = nullptr;
  const char16_t* null_wide = nullptr;
  const struct {
    const char* format;
    std::vector<LogArg> args;
    std::string expected;
  } cases[] = {
      // clang-format off
      {"%d %i %d", {0, -7, INT32_MIN}, Printf("%d %i %d", 0, -7, INT32_MIN)},
      {"%u %x %o %X", {4000000000U, 0xbeefU, 8, 0xbeefU},
       Printf("%u %x %o %X", 4000000000U, 0xbeefU, 8U, 0xbeefU)},
      {"%lld %llx", {INT64_MIN, UINT64_MAX}, Printf("%lld %llx", static_cast<long long>(INT64_MIN),
                                                     static_cast<unsigned long long>(UINT64_MAX))},
      {"%c%c", {'a', 'Z'}, "aZ"},
      {"[%.2f|%g]", {2.5, 0.1}, Printf("[%.2f|%g]", 2.5, 0.1)},
      {"%05d|%-4x|%+d|%#o", {42, 10, 3, 8}, Printf("%05d|%-4x|%+d|%#o", 42, 10U, 3, 8U)},
      {"[%8s|%-8s|%.2s|%5.1s]", {"abc", "abc", "abc", "abc"},
       Printf("[%8s|%-8s|%.2s|%5.1s]", "abc", "abc", "abc", "abc")},
      {"[%300s]", {"wide"}, Printf("[%300s]", "wide")},
      // A padded text ends at its first NUL, as printf's does; a plain one is kept whole.
      {"[%6s]", {with_nul}, "[    ab]"},
      {"[%s]", {with_nul}, "[" + with_nul + "]"},
      {"[%-9S]", {u"h\u00e9"}, Printf("[%-9s]", "h\xc3\xa9")},
      {"[%s]", {5}, "[(?)]"},    // a number for %s
      {"[%d]", {"a"}, "[(?)]"},  // a text for %d
      {"[%s][%d]", {"a"}, "[a][(missing)]"},
      {"[%s]", {null_text}, "[(null)]"},
      {"[%S]", {null_wide}, "[(null)]"},
      {"100%% %", {}, "100% %"},
      {"%ld %lu", {-1, -1}, "-1 4294967295"},  // long is 32 bits
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(FormatLogMessage(c.format, c.args), c.expected);
  }
}

TEST(TraceUtilsTest, ThresholdDropsHigherLevelsAndAnEmptySinkRestoresStandardError) {
  auto* log = CTraceUtils::GetInstance();
  {
    LogCapture capture;
    log->SetThreshold(1);
    for (int level = 0; level <= 3; ++level) log->LogMsg(level, "c", "level %d", level);
    log->SetThreshold(3);
    EXPECT_EQ(capture.Take(), (Lines{"0 c: level 0", "1 c: level 1"}));
  }
  testing::internal::CaptureStderr();
  log->LogMsg(3, "ActionManager", "Initializing %s", "ActionManager.dll");
  log->LogMsg(0, "ZRVMethodProv", "cut %s here", std::string("at\0NUL", 6));
  const std::string err = testing::internal::GetCapturedStderr();
  const std::regex lines(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[3\] ActionManager: Initializing ActionManager\.dll\n)"
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[0\] ZRVMethodProv: cut at\n)");
  EXPECT_TRUE(std::regex_match(err, lines)) << err;
}

TEST(TraceUtilsTest, LinesFromSeveralThreadsArriveWhole) {
  // Each thread formats into buffers of its own: no line may take text from
  // another thread's line.
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string name(static_cast<std::size_t>(20 + t * 15), static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        CTraceUtils::GetInstance()->LogMsg(1, name.c_str(), "%d:%s:%d", t, name, i);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : log.Take()) {
    const int t = line[2] - 'a';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    const std::string name(static_cast<std::size_t>(20 + t * 15), static_cast<char>('a' + t));
    EXPECT_EQ(line, "1 " + name + ": " + std::to_string(t) + ":" + name + ":" +
                        std::to_string(next[t]++));
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

// Logs from its destructor, as a library's unload entry logs after a thread's
// own objects are gone.
struct LogsWhenDestroyed {
  ~LogsWhenDestroyed() { CTraceUtils::GetInstance()->LogMsg(1, "late", "after %s", "the buffers"); }
  void Touch() {}
};

TEST(TraceUtilsTest, ALineLoggedAfterTheThreadsBuffersAreGoneArrivesWhole) {
  LogCapture log;
  std::thread([] {
    // Made before the thread's first line, so destroyed after its buffers.
    thread_local LogsWhenDestroyed late;
    late.Touch();
    CTraceUtils::GetInstance()->LogMsg(1, "early", "before %s", "the buffers");
  }).join();
  EXPECT_EQ(log.Take(), (Lines{"1 early: before the buffers", "1 late: after the buffers"}));
}

}  // namespace
}  // namespace host
