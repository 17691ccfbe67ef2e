// SplitCommandLine: a command line cut into program arguments the way the
// Microsoft C runtime does it, so that command lines written for that runtime
// reach a Linux program with the same arguments.
//
// - Arguments are separated by blanks and tabs outside quotes; double quotes group.
// - 2n backslashes before a quote give n backslashes and the quote opens or
//   closes a quoted part; 2n+1 give n backslashes and a literal quote;
//   backslashes not before a quote are literal.
// - Inside a quoted part, two quotes in a row give a literal quote and the part
//   stays open. An unterminated quote runs to the end of the line.
// - The first argument (the program) knows no backslash escapes: quotes only
//   open and close it. Blanks before it are skipped.
// A line of blanks gives no arguments. Pure function, thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace runner {

std::vector<std::string> SplitCommandLine(std::string_view line);

}  // namespace runner
