#include "base/crc32.h"

#include <gtest/gtest.h>

#include <string>

namespace base {
namespace {

// Expected values from an independent CRC-32 (zlib's crc32); the last input
// holds every byte value once, so a wrong table entry cannot hide.
TEST(Crc32Test, MatchesKnownValues) {
  std::string every_byte(256, '\0');
  for (int i = 0; i < 256; ++i) every_byte[i] = static_cast<char>(i);
  EXPECT_EQ(Crc32("abc"), 0x352441c2u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32(every_byte), 0x29058c73u);
}

}  // namespace
}  // namespace base
