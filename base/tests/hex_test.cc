#include "base/hex.h"

#include <gtest/gtest.h>

namespace base {
namespace {

TEST(HexTest, EncodesEveryByteAndDecodesEitherCase) {
  const std::string bytes("\x00\x7f\x80\xff\x0a", 5);
  EXPECT_EQ(ToHex(bytes), "007f80ff0a");
  EXPECT_EQ(ToHex(bytes, HexCase::kUpper), "007F80FF0A");
  EXPECT_EQ(FromHex("007F80ff0A"), bytes);
  EXPECT_EQ(FromHex(""), "");
  for (const char* bad : {"0", "0g", "g0", "abc", " 0"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(FromHex(bad), std::nullopt);
  }
}

}  // namespace
}  // namespace base
