#include "host/trace_utils.h"

#include <gtest/gtest.h>

#include <vector>

namespace host {
namespace {

struct Line {
  int level;
  std::string component;
  std::string message;
  bool operator==(const Line&) const = default;
};

class TraceUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTraceUtils::GetInstance()->SetLineSink(
        [this](int level, const std::string& c, const std::string& m) {
          lines_.push_back({level, c, m});
        });
  }
  void TearDown() override {
    CTraceUtils::GetInstance()->SetLineSink({});
    CTraceUtils::GetInstance()->SetThreshold(3);
  }
  std::vector<Line> lines_;
};

TEST_F(TraceUtilsTest, FormatsTheSystemsConversions) {
  const std::u16string wide = u"EventId";
  std::int32_t count = 7;
  std::int32_t hres = static_cast<std::int32_t>(0x80041002);
  CTraceUtils::GetInstance()->LogMsg(0, "ActionManager", "The property %S of %s: %d %ld (hres=%lu)",
                                     wide.c_str(), "x", 3, count, hres);
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0],
            (Line{0, "ActionManager", "The property EventId of x: 3 7 (hres=2147749890)"}));
}

TEST_F(TraceUtilsTest, MismatchedOrMissingArgumentsNeverReadGarbage) {
  struct Case {
    const char* name;
    std::string got;
    std::string expected;
  };
  const char* null_text = nullptr;
  const char16_t* null_wide = nullptr;
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got, c.expected);
  }
}

TEST_F(TraceUtilsTest, ThresholdDropsHigherLevels) {
  auto* log = CTraceUtils::GetInstance();
  log->SetThreshold(1);
  for (int level = 0; level <= 3; ++level) log->LogMsg(level, "c", "level %d", level);
  EXPECT_EQ(lines_, (std::vector<Line>{{0, "c", "level 0"}, {1, "c", "level 1"}}));
}

TEST_F(TraceUtilsTest, EmptySinkRestoresStandardError) {
  auto* log = CTraceUtils::GetInstance();
  log->SetLineSink({});
  testing::internal::CaptureStderr();
  log->LogMsg(3, "ActionManager", "Initializing %s", "ActionManager.dll");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[3] ActionManager: Initializing ActionManager.dll\n"), std::string::npos)
      << err;
  EXPECT_TRUE(lines_.empty());
}

}  // namespace
}  // namespace host
