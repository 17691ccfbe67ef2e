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
    int code;
    const char* output;
    const char* error;
  };
  const Case cases[] = {
      // Watching only: the child really runs and prints its own line.
      {"watch", std::nullopt, false, kRunOk, "real", ""},
      // An empty answer is a child that printed nothing, as the runner
      // reports any such child.
      {"empty", std::string(), false, kRunNoOutput, "", "<STDOUT EMPTY>"},
      // A replaced start runs nothing and answers as a successful child.
      {"text", std::string("fake\nsecond line"), false, kRunOk, "fake", ""},
      {"removed hook", std::string("x"), true, kRunOk, "real", ""},
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
    std::string output;
    std::string error;
    EXPECT_EQ(runner.Run({"extra arg"}, output, error, {{"EVENT_X", "42"}}), c.code);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(fs::exists(directory_ / "made_by_child"), c.removed || !c.answer);
    EXPECT_EQ(testing::CountOpenDescriptors(), descriptors);
    ASSERT_EQ(seen.size(), c.removed ? 0u : 1u);
    if (seen.empty()) continue;
    // The runner's own line is what the hook sees: it sits below every
    // transformation of the command.
    std::string line;
    runner.BuildCommandLine(line, {"extra arg"});
    EXPECT_EQ(seen[0].command_line, line);
    EXPECT_FALSE(seen[0].arguments.empty());
    EXPECT_EQ(seen[0].directory, directory_.path().string());
    const auto& env = seen[0].environment;
    EXPECT_NE(std::find(env.begin(), env.end(), "EVENT_X=42"), env.end());
    EXPECT_NE(std::find_if(env.begin(), env.end(),
                           [](const std::string& entry) { return entry.starts_with("PROBE="); }),
              env.end());
  }
}

}  // namespace
}  // namespace runner
