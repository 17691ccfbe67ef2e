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
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(UnicodeTest, InvalidInputBecomesReplacementCharacter) {
  struct Case {
    const char* name;
    std::string utf8;
    std::u16string expected;
  };
  const Case cases[] = {
      {"lone continuation", "a\x80z", u"a\uFFFDz"},
      {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
      {"cut by ascii", "\xE2\x82z", u"\uFFFDz"},
      {"overlong slash", "\xC0\xAF", u"\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD"},
      {"invalid lead", "\xFF", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.expected);
  }
}

}  // namespace
}  // namespace wbem
