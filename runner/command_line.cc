#include "runner/command_line.h"

#include <cstddef>

namespace runner {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t p = 0;
  const std::size_t end = line.size();
  while (p < end && IsBlank(line[p])) ++p;
  if (p == end) return arguments;

  std::string program;
  bool in_quotes = false;
  for (; p < end; ++p) {
    const char c = line[p];
    if (c == '"') {
      in_quotes = !in_quotes;
    } else if (!in_quotes && IsBlank(c)) {
      break;
    } else {
      program += c;
    }
  }
  arguments.push_back(std::move(program));

  for (;;) {
    while (p < end && IsBlank(line[p])) ++p;
    if (p == end) break;
    std::string argument;
    in_quotes = false;
    while (p < end) {
      std::size_t backslashes = 0;
      while (p < end && line[p] == '\\') {
        ++backslashes;
        ++p;
      }
      if (p < end && line[p] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
        } else if (in_quotes && p + 1 < end && line[p + 1] == '"') {
          argument += '"';
          ++p;  // the second quote of the pair is consumed with the first
        } else {
          in_quotes = !in_quotes;
        }
        ++p;
        continue;
      }
      argument.append(backslashes, '\\');
      if (p == end || (!in_quotes && IsBlank(line[p]))) break;
      argument += line[p++];
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace runner
