// The process start hook: what a host that replaces or watches starts sees,
// and that a replaced start leaves nothing running or open.
#include "runner/process_start_hook.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "runner/command_runner.h"
#include "runner/tests/in_temp_directory.h"
#include "runner/tests/test_util.h"

namespace runner {
namespace {

namespace fs = std::filesystem;

// A child that leaves a file behind and prints "real".
constexpr const char* kMakeFileAndPrint =
    "perl -e \"open(my $f, '>', 'made_by_child') or die; print qq(real\\n)\"";

// Installs a hook for one test and removes it on every path.
class HookGuard {
 public:
  explicit HookGuard(AmProcessStartHook hook) { AmSetProcessStartHook(std::move(hook)); }
  ~HookGuard() { AmSetProcessStartHook({}); }
  HookGuard(const HookGuard&) = delete;
  HookGuard& operator=(const HookGuard&) = delete;
};

using ProcessStartHookTest = testing::InTempDirectory;

TEST_F(ProcessStartHookTest, AnswersOfTheHookAndWhatTheRunMakesOfThem) {
  struct Case {
    const char* name;
    std::optional<std::string> answer;
    bool removed;
    std::string outcome;  // "CODE [OUTPUT] [ERROR]"
  };
  const std::string ok = std::to_string(kRunOk) + " [";
  const Case cases[] = {
      // Watching only: the child really runs and prints its own line.
      {"watch", std::nullopt, false, ok + "real] []"},
      // An empty answer is a child that printed nothing, as the runner
      // reports any such child.
      {"empty", std::string(), false, std::to_string(kRunNoOutput) + " [] [<STDOUT EMPTY>]"},
      // A replaced start runs nothing and answers as a successful child.
      {"text", std::string("fake\nsecond line"), false, ok + "fake] []"},
      {"removed hook", std::string("x"), true, ok + "real] []"},
      // An answer is cut where a child's output would be.
      {"long", std::string(kOutputCaptureMaximum + 1, 'a'), false,
       ok + std::string(kOutputCaptureMaximum, 'a') + "] []"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(directory_ / "made_by_child");
    std::vector<AmProcessStart> seen;
    std::optional<HookGuard> guard;
    guard.emplace([&](const AmProcessStart& start) {
      seen.push_back(start);
      return c.answer;
    });
    if (c.removed) guard.reset();
    const int descriptors = testing::CountOpenDescriptors();
    CCommandRunner runner("probe", kMakeFileAndPrint, "", "FALSE", "UseArg");
    std::string output, error;
    const int code = runner.Run({"extra arg"}, output, error, {{"EVENT_X", "42"}});
    EXPECT_EQ(std::to_string(code) + " [" + output + "] [" + error + "]", c.outcome);
    EXPECT_EQ(fs::exists(directory_ / "made_by_child"), c.removed || !c.answer);
    EXPECT_EQ(testing::CountOpenDescriptors(), descriptors);
    ASSERT_EQ(seen.size(), c.removed ? 0u : 1u);
    if (seen.empty()) continue;
    // The runner's own line is what the hook sees: it sits below every
    // transformation of the command.
    std::string line;
    runner.BuildCommandLine(line, {"extra arg"});
    EXPECT_EQ(std::tuple(seen[0].command_line, seen[0].arguments.empty(), seen[0].directory),
              std::tuple(line, false, directory_.path().string()));
    const auto& env = seen[0].environment;
    EXPECT_NE(std::find(env.begin(), env.end(), "EVENT_X=42"), env.end());
    EXPECT_NE(std::find_if(env.begin(), env.end(),
                           [](const std::string& entry) { return entry.starts_with("PROBE="); }),
              env.end());
  }
}

}  // namespace
}  // namespace runner
