// The service's log: an outcome's priority and fields, the threshold over the
// library's and the service's lines, journald detection. (The daemon's
// per-action lines: HttpApiTest.OutcomesAddUpInTheMetricsTheLogAndTheHistory.)
#include "service/action_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/trace_utils.h"
#include "wbem/types.h"

namespace service {
namespace {

using ::testing::HasSubstr;
using D = AmActionDecision;
using K = AmActionKind;

const std::string kProfile = "P", kRule = "disk_full", kEventId = "E-17";

AmActionOutcome Outcome(D decision, K kind, bool indicated = false, int code = 0, int value = 0) {
  return {kProfile, kRule, kEventId, 2, kind, decision, indicated, code, value, 0.25, {}, {}};
}

TEST(ActionLog, PriorityAndResultFollowTheOutcome) {
  const std::tuple<AmActionOutcome, int, std::string> rows[] = {
      {Outcome(D::kRuns, K::kProgram, true, 900, 0), kPriorityInfo, "executed, result 900"},
      {Outcome(D::kRuns, K::kBuiltIn, true, 901, WBEM_E_NOT_FOUND), 4, "code 0x80041002"},
      {Outcome(D::kRuns, K::kBuiltIn, true, 901, WBEM_E_INVALID_METHOD), 3, "does not exist"},
      {Outcome(D::kRuns, K::kProgram, true, 901, WBEM_E_INVALID_CLASS), 4, "code -2147217392"},
      {Outcome(D::kRuns, K::kBuiltIn), kPriorityWarning, "not indicated"},
      {Outcome(D::kHeldBack, K::kBuiltIn), kPriorityInfo, "held back"},
      {Outcome(D::kTaskNotRun, K::kTask), kPriorityDebug, "(task)"}};
  for (const auto& [outcome, priority, text] : rows) {
    const ActionLogEntry entry = DescribeOutcome(outcome);
    EXPECT_EQ(entry.priority, priority) << text;
    EXPECT_THAT(entry.message, HasSubstr(text));
  }
  const ActionLogEntry entry = DescribeOutcome(Outcome(D::kRuns, K::kProgram, true, 901, 2));
  EXPECT_THAT(JournalFields(entry.priority, "actionmanagerd", entry.message, entry.fields),
              ::testing::ElementsAre(
                  "PRIORITY=4", "SYSLOG_IDENTIFIER=actionmanagerd",
                  "MESSAGE=actionmanagerd: action 2 (program) of rule \"disk_full\" for event "
                  "\"E-17\" in profile \"P\": failed, result 901, return code 2 (0.250 s)",
                  "PROFILE=P", "RULE=disk_full", "EVENT_ID=E-17", "ACTION=2", "ACTION_KIND=program",
                  "RESULT=failed", "RESULT_CODE=901", "RETURN_CODE=2"));
  EXPECT_EQ(DescribeOutcome(Outcome(D::kHeldBack, K::kBuiltIn)).fields.back().value, "held_back");
}

TEST(ActionLog, JournaldIsStandardErrorOnlyWhenDeviceAndInodeMatch) {
  struct stat st {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &st), 0);
  const std::string dev = std::to_string(st.st_dev), ino = std::to_string(st.st_ino);
  EXPECT_TRUE(IsJournalStream((dev + ":" + ino).c_str(), STDERR_FILENO));
  for (const std::string& wrong :
       {dev + ":" + std::to_string(st.st_ino + 1), std::to_string(st.st_dev + 1) + ":" + ino,
        dev + ino, dev + ":" + ino + "x", ":" + ino}) {
    EXPECT_FALSE(IsJournalStream(wrong.c_str(), STDERR_FILENO)) << wrong;
  }
}

TEST(ActionLog, LogLevelIsAPriorityThresholdOverEveryLine) {
  std::vector<std::string> seen;
  InstallJournalLog();
  SetLogTee([&](int priority, const std::string&, const std::string& message) {
    seen.push_back(std::to_string(priority) + message.substr(0, 8));
  });
  const std::pair<int, std::vector<std::string>> rows[] = {
      {7,
       {"6lib 0", "7lib 1", "7lib 3", "4warning", "6info", "6action 2", "4action 2", "7action 2"}},
      {6, {"6lib 0", "4warning", "6info", "6action 2", "4action 2"}},
      {5, {"4warning", "4action 2"}},
      {3, {}}};
  for (const auto& [log_level, expected] : rows) {
    seen.clear();
    SetLogThreshold(log_level);
    for (int level : {0, 1, 3}) CTraceUtils::GetInstance()->LogMsg(level, "AM", "lib %d", level);
    Log(kPriorityWarning, "warning");
    Log(kPriorityInfo, "info");
    for (D decision : {D::kHeldBack, D::kRuns, D::kTaskNotRun}) {
      LogActionOutcome(Outcome(decision, decision == D::kRuns ? K::kProgram : K::kTask, true, 901));
    }
    EXPECT_EQ(seen, expected) << "log_level " << log_level;
  }
  SetLogTee({});
  SetLogThreshold(kPriorityDebug);
  CTraceUtils::GetInstance()->SetLineSink({});
}

}  // namespace
}  // namespace service
