#include "wbem/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace wbem {
namespace {

TEST(UnicodeTest, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  // Each encoded length at both of its ends: U+007F, U+0080, U+07FF, U+0800,
  // U+FFFF, U+10000 and U+10FFFF.
  const std::string bounds =
      "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
  const std::u16string bounds_wide{0x7F,   0x80,   0x7FF,  0x800, 0xFFFF,
                                   0xD800, 0xDC00, 0xDBFF, 0xDFFF};
  EXPECT_EQ(Utf8ToUtf16(bounds), bounds_wide);
  EXPECT_EQ(Utf16ToUtf8(bounds_wide), bounds);
  // Unpaired surrogates, alone or followed by text, become U+FFFD.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}), "a\uFFFDb");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Which bytes are invalid, and how many each replacement takes, is base's
// (base/tests/utf8_test.cc); here only that the kit passes U+FFFD on.
TEST(UnicodeTest, InvalidInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82z\xFF"), u"a\uFFFDz\uFFFD");
}

}  // namespace
}  // namespace wbem
