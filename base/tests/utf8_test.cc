#include "base/utf8.h"

#include <gtest/gtest.h>

namespace base {
namespace {

TEST(Utf8Test, DecodesOneSequenceAndSaysHowManyBytesItTakes) {
  struct Case {
    const char* name;
    std::string bytes;
    char32_t code_point;
    std::size_t length;
    bool valid;
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Utf8Sequence sequence = DecodeUtf8(c.bytes);
    EXPECT_EQ(sequence.code_point, c.code_point);
    EXPECT_EQ(sequence.length, c.length);
    EXPECT_EQ(sequence.valid, c.valid);
    EXPECT_EQ(IsUtf8(c.bytes.substr(0, c.length)), c.valid);
    // As storable text: a valid sequence stays, anything else (and NUL,
    // which no database text column takes) is one U+FFFD.
    EXPECT_EQ(ToValidUtf8(c.bytes.substr(0, c.length)),
              c.valid && c.code_point != 0 ? c.bytes.substr(0, c.length) : "\xEF\xBF\xBD");
    if (c.valid) {
      std::string encoded;
      AppendUtf8(&encoded, c.code_point);
      EXPECT_EQ(encoded, c.bytes.substr(0, c.length));
    }
  }
}

}  // namespace
}  // namespace base
