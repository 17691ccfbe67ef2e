// The command runner's word handling: argument splitting, the constructor's
// flags, the command line it builds and the parsing of a child's output.
#include "runner/command_runner.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "runner/command_line.h"

namespace runner {
namespace {

using namespace std::string_literals;

TEST(SplitCommandLineTest, FollowsMicrosoftRuntimeRules) {
  struct Case {
    const char* line;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {R"(perl scustom.pl "a  b")", {"perl", "scustom.pl", "a  b"}},
      {R"(x a\\\\"b c" d)", {"x", R"(a\\b c)", "d"}},
      {R"(x "ab\"c"  "\\"  d)", {"x", R"(ab"c)", R"(\)", "d"}},
      {R"(x "" """)", {"x", "", "\""}},
      {R"(x "this is """all""" in the same argument")",
       {"x", R"(this is "all" in the same argument)"}},
      {R"(x "C:\TEST A\\")", {"x", R"(C:\TEST A\)"}},
      {R"("x \" for \" check)", {R"(x \)", "for", "\"", "check"}},
      // Backslashes not before a quote are literal, also at the very end.
      {R"(x a\b c\\)", {"x", R"(a\b)", R"(c\\)"}},
      {R"(x a\\\)", {"x", R"(a\\\)"}},
      // An unterminated quote runs to the end of the line, blanks included.
      {R"(x "open  to the end )", {"x", "open  to the end "}},
      {R"("unterminated program)", {"unterminated program"}},
      // Tabs separate like blanks; leading and trailing blanks vanish.
      {"  x\ta \t b  ", {"x", "a", "b"}},
      // The program takes quotes as grouping only, even after a backslash.
      {R"(c:\bin\"my prog" arg)", {R"(c:\bin\my prog)", "arg"}},
      {"", {}},
      {" \t ", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(SplitCommandLine(c.line), c.arguments);
  }
}

TEST(CommandRunnerTest, ConstructorSplitsWordsAndReadsFlags) {
  CCommandRunner runner("p", "  perl  scustom.pl \"a\tb  c\"\t ", "", "FALSE", "UseArg");
  EXPECT_EQ(runner.Tokens(), (std::vector<std::string>{"perl", "scustom.pl", "\"a\tb", "c\""}));
  // Library flag and input mode: exact, case-sensitive words only.
  const std::tuple<const char*, const char*, std::pair<int, int>> cases[] = {
      {"TRUE", "UseFile", {1, 2}},
      {"true", "UseStdin", {0, 1}},
      {"FALSE", "UseArg", {0, 0}},
      {"TRUE ", "usefile", {0, 0}},
      {"", "", {0, 0}}};
  for (const auto& [library, mode, flags] : cases) {
    SCOPED_TRACE(std::string(library) + "/" + mode);
    CCommandRunner runner_with("p", "x", "", library, mode);
    EXPECT_EQ(std::pair(runner_with.LibraryFlag(), runner_with.InputMode()), flags);
  }
  // The placeholder is recognised at any position, also where a shell flag would be.
  EXPECT_EQ(runner.ClassifyToken("_-COMMAND-_", 0), CCommandRunner::TokenKind::kPlaceholder);
  EXPECT_EQ(runner.ClassifyToken("_-COMMAND-_", 5), CCommandRunner::TokenKind::kPlaceholder);
}

TEST(CommandRunnerTest, BuildCommandLineTranslatesScriptForms) {
  struct Case {
    std::string command;
    const char* mode;
    std::vector<std::string> extra;
    std::string line;
    int shell;
  };
  const std::string a300(300, 'a'), b300(300, 'b');
  const Case cases[] = {
      {"/bin/sh -c ls", "UseArg", {}, "sh -s ls ", 1},
      {"check.sh a", "UseArg", {}, "sh \"check.sh\" a ", 1},
      {"CHECK.SH", "UseArg", {}, "sh \"CHECK.SH\" ", 1},
      {"probe.pl x", "UseArg", {}, "perl -S probe.pl x ", 0},
      {"probe.PL", "UseArg", {}, "perl -S probe.PL ", 0},
      {".pl x", "UseArg", {}, ".pl x ", 0},  // not longer than 3 characters
      {"x /bin/sh -c", "UseArg", {}, "x /bin/sh -c ", 0},
      {"/bin/sh -c ls", "UseStdin", {}, "/bin/sh -c ls ", 0},
      {"check.sh -c", "UseFile", {}, "check.sh -c ", 0},
      {"check.sh -c", "UseArg", {}, "sh \"check.sh\" -s ", 1},
      {"sh _-COMMAND-_ x", "UseArg", {}, "sh  x ", 0},
      {"sh _-COMMAND-_ x", "UseFile", {}, "sh qxscript.cmd  x ", 0},
      {"perl scustom.pl \"a  b\"", "UseArg", {}, "perl scustom.pl \"a b\" ", 0},
      {"x", "UseArg", {"a\"b\\"}, "x \"ab\\\\\" ", 0},
      // clang-format off
      {"x", "UseArg", {"one two", "", "\"\"", "c:\\dir\\"},
       "x \"one two\" \"\" \"\" \"c:\\dir\\\\\" ", 0},
      // clang-format on
      // The line is cut at 511 characters: no extra argument fits.
      {a300 + " " + b300, "UseArg", {"never seen"}, a300 + " " + b300.substr(0, 210), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " (" + c.mode + ")");
    CCommandRunner runner("p", c.command, "", "FALSE", c.mode);
    std::string line = "stale";
    const int extra_count = runner.BuildCommandLine(line, c.extra);
    EXPECT_EQ(std::tuple(line, runner.ShellFlag(), extra_count),
              std::tuple(c.line, c.shell, static_cast<int>(c.extra.size())));
  }
}

TEST(CommandRunnerTest, ParseStandardOutputSortsLinesOut) {
  struct Case {
    std::string text;
    std::optional<std::string> output;
    std::string messages;
    std::vector<std::string> variables;
  };
  const Case cases[] = {
      {"#note\nAB=1\n42\n43\n", "42", "note\n", {"AB=1"}},
      {"#one\r\n#\r\n#two", std::nullopt, "one\n\ntwo\n", {}},
      {"\r\n\n  first  \r\nsecond", "  first  ", "", {}},
      {"A=1\nABC=2\nAB=\nCD=Y=Z\n", "A=1", "", {"AB=", "CD=Y=Z"}},
      {"", std::nullopt, "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CCommandRunner runner("p", "x", "", "FALSE", "UseArg");
    runner.State().message_text = "stale";
    std::optional<std::string> output;
    runner.ParseStandardOutput(c.text, output);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(runner.State().message_text, c.messages);
    const std::vector<std::string_view> entries = runner.State().variables.Entries();
    EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.end()), c.variables);
  }
}

TEST(CommandRunnerTest, ParseStandardErrorKeepsTheFirstLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"first\nsecond", "first"},  // the final line feed was already dropped by Run
      {"oop", "oop"},
      {"\n\nafter\nmore", "\n\nafter"},
      {"\n\n", "\n\n"},
      {"a\r\nb", "a\r"},
      {"", ""},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text);
    CCommandRunner runner("p", "x", "", "FALSE", "UseArg");
    std::optional<std::string> parsed;
    runner.ParseStandardError(text, parsed);
    EXPECT_EQ(parsed, error);
  }
}

}  // namespace
}  // namespace runner
