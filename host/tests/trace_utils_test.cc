#include "host/trace_utils.h"

#include <gtest/gtest.h>

#include <vector>

#include "host/tests/log_capture.h"

namespace host {
namespace {

using Lines = std::vector<std::string>;

TEST(TraceUtilsTest, FormatsTheSystemsConversions) {
  LogCapture log;
  const std::u16string wide = u"EventId";
  std::int32_t count = 7;
  std::int32_t hres = static_cast<std::int32_t>(0x80041002);
  CTraceUtils::GetInstance()->LogMsg(0, "ActionManager", "The property %S of %s: %d %ld (hres=%lu)",
                                     wide.c_str(), "x", 3, count, hres);
  EXPECT_EQ(log.Take(), Lines{"0 ActionManager: The property EventId of x: 3 7 (hres=2147749890)"});
}

TEST(TraceUtilsTest, MismatchedOrMissingArgumentsNeverReadGarbage) {
  const char* null_text = nullptr;
  const char16_t* null_wide = nullptr;
  const struct {
    const char* name;
    std::string got;
    std::string expected;
  } cases[] = {
      {"number for %s", FormatLogMessage("[%s]", std::vector<LogArg>{5}), "[(?)]"},
      {"text for %d", FormatLogMessage("[%d]", std::vector<LogArg>{"a"}), "[(?)]"},
      {"missing", FormatLogMessage("[%s][%d]", std::vector<LogArg>{"a"}), "[a][(missing)]"},
      {"null text", FormatLogMessage("[%s]", std::vector<LogArg>{null_text}), "[(null)]"},
      {"null wide", FormatLogMessage("[%S]", std::vector<LogArg>{null_wide}), "[(null)]"},
      {"percent", FormatLogMessage("100%% %", {}), "100% %"},
      {"width", FormatLogMessage("[%5d|%-3s|%.2f]", std::vector<LogArg>{42, "a", 2.5}),
       "[   42|a  |2.50]"},
      {"64-bit", FormatLogMessage("%lld %llu", std::vector<LogArg>{-5000000000LL, 5000000000ULL}),
       "-5000000000 5000000000"},
      {"32-bit long", FormatLogMessage("%ld %lu", std::vector<LogArg>{-1, -1}), "-1 4294967295"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got, c.expected);
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
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[3] ActionManager: Initializing ActionManager.dll\n"), std::string::npos)
      << err;
}

}  // namespace
}  // namespace host
