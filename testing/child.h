// What the helper program amtest_child (child.cc) writes, for the tests that
// start it: byte i of each of its output streams is PatternByte(i), so a test
// can check any prefix of what it captured.
#pragma once

#include <cstddef>
#include <string>

namespace amtest {

inline char PatternByte(std::size_t i) { return static_cast<char>('a' + i % 26); }

// The first `count` bytes the helper writes to a stream.
inline std::string Pattern(std::size_t count) {
  std::string text(count, '\0');
  for (std::size_t i = 0; i < count; ++i) text[i] = PatternByte(i);
  return text;
}

}  // namespace amtest
