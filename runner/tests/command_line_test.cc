#include "runner/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace runner {
namespace {

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

}  // namespace
}  // namespace runner
