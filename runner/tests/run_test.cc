// CCommandRunner::Run end to end: child processes, input modes, the wrapper
// file, and in-process modules built by the tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "runner/command_runner.h"
#include "runner/in_process.h"
#include "runner/tests/in_temp_directory.h"

namespace runner {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const std::string kFormB = RUNNER_TEST_FORM_B;

// One Run as "CODE [OUTPUT] [ERROR]", so that one comparison shows all of it.
std::string RunOnce(CCommandRunner& runner, const std::vector<std::string>& extra = {}) {
  std::string output = "unset", error = "unset";
  const int code = runner.Run(extra, output, error, {});
  return std::to_string(code) + " [" + output + "] [" + error + "]";
}

std::string RunCommand(const std::string& command, const std::vector<std::string>& extra = {},
                       const char* library = "FALSE") {
  CCommandRunner runner("probe", command, "", library, "UseArg");
  return RunOnce(runner, extra);
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

using RunTest = testing::InTempDirectory;

TEST_F(RunTest, ResultCodesAndTexts) {
  // Every run removes a wrapper file left behind, whatever its input mode.
  std::fclose(std::fopen("qxscript.cmd", "w"));
  struct Case {
    std::string command;
    std::vector<std::string> extra;
    std::string want;
    const char* mode = "UseArg";
    const char* input = "";
  };
  const std::string too_long =
      "1 [" + std::string(4096, 'o') + "] [" + std::string(2047, 'e') + "]";
  // clang-format off
  const Case cases[] = {
      {"printf", {"#note\nAB=1\n42\n43\n"}, "0 [42] []"},
      {"printf", {"#only\n#messages\n"}, "1001 [] [<STDOUT EMPTY>]"},
      {"true", {}, "1001 [] [<STDOUT EMPTY>]"},
      {"no-such-program-anywhere", {}, "1001 [] [<STDOUT EMPTY>]"},
      {"sh -c \"echo result; exit 7\"", {}, "7 [result] []"},
      {"sh -c \"printf oops >&2\"", {}, "1 [] [oop]"},
      {"sh -c \"printf 'first\\nsecond\\n' >&2; exit 3\"", {}, "3 [] [first]"},
      {"sh -c \"echo out; echo err >&2\"", {}, "1 [out] [err]"},
      {"sh -c \"echo $0:$1:$2\"", {"a b", "c\"d"}, "0 [a b:cd:] []"},
      // One line of each, longer than the runner keeps: the first line is
      // what was captured of it (of the error, less its last byte, which the
      // runner always drops as the line's end).
      {"perl -e \"print 'o' x 10000, qq(\\n); print STDERR 'e' x 10000, qq(\\n)\"", {}, too_long},
      {"od -An -c", {}, "0 [   h   i  \\0] []", "UseStdin", "hi"},
      // The script's own text comes back on the error stream.
      {"sh _-COMMAND-_", {}, "1 [from-file] [echo from-file]", "UseFile",
       "echo from-file\ncat qxscript.cmd >&2\n"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    CCommandRunner runner("probe", c.command, c.input, "FALSE", c.mode);
    EXPECT_EQ(RunOnce(runner, c.extra), c.want);
    EXPECT_FALSE(fs::exists(directory_ / "qxscript.cmd"));
  }
  // A wrapper file that cannot be written.
  fs::create_directory(directory_ / "qxscript.cmd");
  CCommandRunner runner("probe", "sh _-COMMAND-_", "echo never", "FALSE", "UseFile");
  EXPECT_EQ(RunOnce(runner), "1003 [] [FILE?]");
}

TEST_F(RunTest, FormAGoesToTheVobrikModuleLoadedOnce) {
  const std::string first = RunCommand("vobrik count");
  ASSERT_TRUE(first.starts_with("0 [call ")) << first;
  const std::size_t libraries = LoadedLibraryCount();
  const int call = std::stoi(first.substr(8));
  EXPECT_EQ(RunCommand("vobrik count"), "0 [call " + std::to_string(call + 1) + "] []");
  EXPECT_EQ(RunCommand("vobrikx other words"), "0 [vobrikx other words ] []");
  EXPECT_EQ(LoadedLibraryCount(), libraries);
  EXPECT_EQ(RunCommand("vobrik fail"), "1002 [] [bad thing]");
  EXPECT_EQ(RunCommand("vobrik quiet"), "0 [] []");
}

TEST_F(RunTest, FormBModulesAndTheirEntryPoints) {
  auto run = [](const std::string& command, const std::vector<std::string>& extra = {}) {
    return RunCommand(command, extra, "TRUE");
  };
  EXPECT_EQ(run(kFormB + " Hello"), "0 [ok] []");
  const std::size_t libraries = LoadedLibraryCount();
  // The file system knows no such path: only the list's case-blind match finds it.
  EXPECT_EQ(run(Upper(kFormB) + " hello"), "0 [ok] []");
  EXPECT_EQ(LoadedLibraryCount(), libraries);

  EXPECT_EQ(run(kFormB + " Args", {"a b", "c\"d"}), "0 [2|a b|c\"d] []");
  EXPECT_EQ(run(kFormB + " Fail"), "1002 [] [oops]");
  EXPECT_EQ(run(kFormB + " Quiet"), "0 [] []");
  EXPECT_EQ(run(kFormB + " Overflow"), "0 [" + std::string(1024, 'x') + "] []");
  EXPECT_EQ(run(kFormB + " NoSuchEntry"), "1001 [] [<STDOUT EMPTY>]");
  EXPECT_EQ(run(kFormB), "1001 [] [<STDOUT EMPTY>]");
  EXPECT_EQ(LoadedLibraryCount(), libraries);
  // A library missing at its first use is remembered as missing.
  const fs::path late = directory_ / "late_module.so";
  EXPECT_EQ(run(late.string() + " Hello"), "1001 [] [<STDOUT EMPTY>]");
  fs::copy_file(kFormB, late);
  EXPECT_EQ(run(late.string() + " Hello"), "1001 [] [<STDOUT EMPTY>]");
}

TEST_F(RunTest, EntryPointReceivesTheEnvironmentBlockIntact) {
  CEnvBlock block;
  for (const char* entry : {"PROBE=disk", "B=2", "A=1"}) block.SetEntry(entry);
  ChildProcess record;
  record.environment = &block;
  const std::string line = kFormB + " Block ";
  const char* no_arguments[] = {nullptr};
  ASSERT_EQ(RunInProcess(line, 0, no_arguments, record, InProcessForm::kB), kInProcessCalled);
  std::uint32_t hash = 2166136261u;
  for (int i = 0; i < block.Length(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(block.Data()[i])) * 16777619u;
  }
  char expected[64];
  std::snprintf(expected, sizeof expected, "%d %08x disk", block.Length(), hash);
  ASSERT_NE(record.output.data, nullptr);
  EXPECT_STREQ(record.output.data.get(), expected);
  EXPECT_EQ(record.error.data, nullptr);
  EXPECT_EQ(block.Length(), 21);  // both closing NULs are counted
}

TEST_F(RunTest, ModulesFromSeveralThreadsAtOnce) {
  // The first use decides the file that is loaded, so it names it exactly.
  ChildProcess warm_up;
  const char* none[] = {nullptr};
  ASSERT_EQ(RunInProcess(kFormB + " Hello", 0, none, warm_up, InProcessForm::kB), kInProcessCalled);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failed = failures[static_cast<std::size_t>(t)]] {
      for (int i = 0; i < 50; ++i) {
        const std::string module = (t + i) % 2 == 1 ? Upper(kFormB) : kFormB;
        const char* no_arguments[] = {nullptr};
        ChildProcess record;
        const int result =
            RunInProcess(module + " Hello", 0, no_arguments, record, InProcessForm::kB);
        if (result != kInProcessCalled || !record.output.data ||
            std::string(record.output.data.get()) != "ok") {
          ++failed;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace runner
