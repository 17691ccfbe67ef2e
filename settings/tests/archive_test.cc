#include "settings/archive.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <tuple>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// Strings and byte blocks of every length band: the prefix written, then the
// bytes, and the same text read back with nothing left over.
TEST(ArchiveTest, StringsAndBlocksUseThePrefixOfTheirLengthBand) {
  const std::tuple<bool, std::size_t, Bytes> cases[] = {
      {false, 0, {0x00}},
      {false, 3, {0x03}},
      {false, 254, {0xFE}},
      {false, 255, {0xFF, 0xFF, 0x00}},
      {false, 65533, {0xFF, 0xFD, 0xFF}},
      {false, 65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
      {false, 70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
      {true, 0, {0x00, 0x00}},
      {true, 3, {0x03, 0x00}},
      {true, 65534, {0xFE, 0xFF}},
      {true, 65535, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}},
  };
  for (const auto& [block, length, prefix] : cases) {
    SCOPED_TRACE(testing::Message() << (block ? "block " : "string ") << length);
    Bytes payload(length);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
    const std::string text(payload.begin(), payload.end());
    Bytes out;
    CArchive store(out, CArchive::store);
    block ? store.WriteBytes(payload) : store.WriteString(text);
    EXPECT_EQ(out, Cat({prefix, payload}));
    CArchive load(out, CArchive::load);
    if (block) {
      EXPECT_EQ(load.ReadBytes(), payload);
    } else {
      EXPECT_EQ(load.ReadString(), text);
    }
    EXPECT_EQ(load.GetRemaining(), 0u);
  }
}

// Forms that no writer of this library produces but the reader must accept.
TEST(ArchiveTest, ReaderAcceptsLongerPrefixesAndWideStrings) {
  const std::tuple<const char*, Bytes, std::string, std::size_t> cases[] = {
      {"word prefix", {0xFF, 0x02, 0x00, 'h', 'i'}, "hi", 5},
      {"long prefix", {0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 'h', 'i'}, "hi", 9},
      // FF FE FF marks UTF-16; its length in units follows in the same scheme.
      {"wide", {0xFF, 0xFE, 0xFF, 0x02, 'A', 0x00, 0xE9, 0x00, 0x01}, "A\xC3\xA9", 8},
  };
  for (const auto& [name, data, text, consumed] : cases) {
    SCOPED_TRACE(name);
    CArchive ar(data);
    EXPECT_EQ(ar.ReadString(), text);
    EXPECT_EQ(ar.GetOffset(), consumed);
  }
  const Bytes block_long_form = {0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x7A};
  EXPECT_EQ(CArchive(block_long_form).ReadBytes(), Bytes{0x7A});
}

TEST(ArchiveTest, NumbersAreLittleEndianAndDoublesKeepTheirBits) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  ar.WriteWord(0x1234);
  ar.WriteLong(-2);
  ar.WriteDouble(2.5);
  EXPECT_EQ(out, (Bytes{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(ar.GetOffset(), out.size());
  // Reading these back is the golden archives' (corruption_test.cc).

  for (double v : {-0.0, std::numeric_limits<double>::infinity(), std::nan("0x5"),
                   std::numeric_limits<double>::denorm_min()}) {
    SCOPED_TRACE(v);
    Bytes bits;
    CArchive(bits, CArchive::store).WriteDouble(v);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(CArchive(bits).ReadDouble()),
              std::bit_cast<std::uint64_t>(v));
  }
}

TEST(ArchiveTest, BadDataThrowsWithItsOffsetAndCause) {
  using E = CArchiveException;
  // Name, data, reads, cause and offset of the failure. Reads run in order,
  // all but the last succeed: s string, b block, w word, l long, d double,
  // c count of 2-byte items.
  const std::tuple<const char*, Bytes, const char*, E::Cause, std::size_t> cases[] = {
      {"empty word", {}, "w", E::endOfData, 0},
      {"half a long", {1, 0, 0, 0, 9, 9}, "ll", E::endOfData, 4},
      {"seven bytes of a double", Bytes(7), "d", E::endOfData, 0},
      {"string length without bytes", {0x05, 'a'}, "s", E::badLength, 0},
      {"string word prefix cut", {0xFF, 0x01}, "s", E::endOfData, 1},
      {"string 4 GiB", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "s", E::badLength, 0},
      {"wide string twice marked", {0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF}, "s", E::badString, 3},
      {"wide string odd bytes", {0xFF, 0xFE, 0xFF, 0x02, 'A', 0, 'B'}, "s", E::badLength, 0},
      {"block longer than data", {0x04, 0x00, 1, 2, 3}, "b", E::badLength, 0},
      {"count beyond data", {0, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3, 4, 5}, "lc", E::badCount, 4},
  };
  for (const auto& [name, data, reads, cause, offset] : cases) {
    SCOPED_TRACE(name);
    CArchive ar(data);
    try {
      for (const char* r = reads; *r != '\0'; ++r) {
        if (*r == 's') ar.ReadString();
        if (*r == 'b') ar.ReadBytes();
        if (*r == 'w') ar.ReadWord();
        if (*r == 'l') ar.ReadLong();
        if (*r == 'd') ar.ReadDouble();
        if (*r == 'c') ar.ReadCount(2);
      }
      ADD_FAILURE() << "no exception";
    } catch (const CArchiveException& e) {
      EXPECT_EQ(e.GetCause(), cause) << e.what();
      EXPECT_EQ(e.GetOffset(), offset) << e.what();
      EXPECT_EQ(std::string(e.what()), e.GetReason() + " at offset " + std::to_string(offset));
    }
  }
}

}  // namespace
}  // namespace settings_test
