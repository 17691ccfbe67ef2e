#include "wbem/unicode.h"

#include <gtest/gtest.h>

#include <random>

namespace wbem {
namespace {

TEST(UnicodeTest, RoundTripsEveryPlane) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // a é € 😀 z
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, (std::u16string{u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, u'z'}));
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  // Unpaired surrogates, alone or followed by text, become U+FFFD.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', 0xD800, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDC00, 0xD800}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Which bytes are invalid, and how many each replacement takes, is base's
// (base/tests/utf8_test.cc); here only that the kit passes U+FFFD on.
TEST(UnicodeTest, InvalidInputBecomesReplacementCharacter) {
  EXPECT_EQ(Utf8ToUtf16("a\xE2\x82z\xFF"), u"a\uFFFDz\uFFFD");
}

TEST(UnicodeTest, RandomValidTextRoundTrips) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> dist(1, 0x10FFFF);
  for (int round = 0; round < 200; ++round) {
    std::u16string wide;
    for (int i = 0; i < 20; ++i) {
      std::uint32_t cp = dist(rng);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0x41;
      if (cp < 0x10000) {
        wide.push_back(static_cast<char16_t>(cp));
      } else {
        cp -= 0x10000;
        wide.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        wide.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
      }
    }
    ASSERT_EQ(Utf8ToUtf16(Utf16ToUtf8(wide)), wide);
  }
}

}  // namespace
}  // namespace wbem
