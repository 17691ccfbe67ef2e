#include "base/utf8.h"

#include <gtest/gtest.h>

#include <tuple>

namespace base {
namespace {

TEST(Utf8Test, DecodesOneSequenceAndSaysHowManyBytesItTakes) {
  const std::tuple<const char*, std::string, char32_t, std::size_t, bool> cases[] = {
      {"ascii", "az", U'a', 1, true},
      {"nul", std::string("\0z", 2), 0, 1, true},
      {"two bytes", "\xC3\xA9z", 0xE9, 2, true},
      {"three bytes", "\xE2\x82\xAC", 0x20AC, 3, true},
      {"four bytes", "\xF0\x9F\x98\x80", 0x1F600, 4, true},
      {"lone continuation", "\x80z", 0xFFFD, 1, false},
      {"truncated at end", "\xE2\x82", 0xFFFD, 2, false},
      {"cut by ascii", "\xE2\x82z", 0xFFFD, 2, false},
      {"overlong slash", "\xC0\xAF", 0xFFFD, 2, false},
      {"encoded surrogate", "\xED\xA0\x80", 0xFFFD, 3, false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0xFFFD, 4, false},
      {"invalid lead", "\xFF\x80", 0xFFFD, 1, false},
  };
  for (const auto& [name, bytes, code_point, length, valid] : cases) {
    SCOPED_TRACE(name);
    const Utf8Sequence sequence = DecodeUtf8(bytes);
    EXPECT_EQ(sequence.code_point, code_point);
    EXPECT_EQ(sequence.length, length);
    EXPECT_EQ(sequence.valid, valid);
    EXPECT_EQ(IsUtf8(bytes.substr(0, length)), valid);
    // As storable text: a valid sequence stays, anything else (and NUL,
    // which no database text column takes) is one U+FFFD.
    EXPECT_EQ(ToValidUtf8(bytes.substr(0, length)),
              valid && code_point != 0 ? bytes.substr(0, length) : "\xEF\xBF\xBD");
    if (valid) {
      std::string encoded;
      AppendUtf8(&encoded, code_point);
      EXPECT_EQ(encoded, bytes.substr(0, length));
    }
  }
}

}  // namespace
}  // namespace base
