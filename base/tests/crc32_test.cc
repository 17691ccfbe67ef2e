#include "base/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace base {
namespace {

// Bit-at-a-time CRC-32 straight from the polynomial, sharing no code or table
// with the implementation under test.
std::uint32_t BitwiseCrc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (((crc ^ (byte >> bit)) & 1u) * 0xEDB88320u);
  }
  return ~crc;
}

TEST(Crc32Test, MatchesKnownValuesAndABitwiseReference) {
  EXPECT_EQ(Crc32("abc"), 0x352441c2u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
  std::mt19937 random(20240521);
  for (int round = 0; round < 500; ++round) {
    std::string input(random() % 301, '\0');
    for (char& c : input) c = static_cast<char>(random());
    ASSERT_EQ(Crc32(input), BitwiseCrc32(input)) << "round " << round;
  }
}

}  // namespace
}  // namespace base
