#include "settings/archive.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

Bytes Prefix(const Bytes& record, std::size_t n) {
  return Bytes(record.begin(), record.begin() + n);
}

TEST(ArchiveTest, StringPrefixesFollowTheLengthBands) {
  struct Case {
    std::size_t length;
    Bytes prefix;
  };
  const Case cases[] = {
      {0, {0x00}},
      {3, {0x03}},
      {254, {0xFE}},
      {255, {0xFF, 0xFF, 0x00}},
      {65533, {0xFF, 0xFD, 0xFF}},
      {65534, {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00}},
      {70000, {0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::string text(c.length, 'x');
    if (!text.empty()) text.back() = 'y';
    Bytes out;
    CArchive store(out, CArchive::store);
    store.WriteString(text);
    ASSERT_EQ(out.size(), c.prefix.size() + c.length);
    EXPECT_EQ(Prefix(out, c.prefix.size()), c.prefix);
    CArchive load(out, CArchive::load);
    EXPECT_EQ(load.ReadString(), text);
    EXPECT_EQ(load.GetRemaining(), 0u);
  }
}

TEST(ArchiveTest, ByteBlockCountSwitchesToLongAt65535) {
  struct Case {
    std::size_t length;
    Bytes prefix;
  };
  const Case cases[] = {
      {0, {0x00, 0x00}},
      {3, {0x03, 0x00}},
      {65534, {0xFE, 0xFF}},
      {65535, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes block(c.length);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    Bytes out;
    CArchive store(out, CArchive::store);
    store.WriteBytes(block);
    ASSERT_EQ(out.size(), c.prefix.size() + c.length);
    EXPECT_EQ(Prefix(out, c.prefix.size()), c.prefix);
    CArchive load(out, CArchive::load);
    EXPECT_EQ(load.ReadBytes(), block);
    EXPECT_EQ(load.GetRemaining(), 0u);
  }
}

TEST(ArchiveTest, NumbersAreLittleEndian) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  ar.WriteWord(0x1234);
  ar.WriteLong(-2);
  ar.WriteDouble(2.5);
  EXPECT_EQ(out, (Bytes{0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(ar.GetOffset(), out.size());

  CArchive in(out, CArchive::load);
  EXPECT_EQ(in.ReadWord(), 0x1234);
  EXPECT_EQ(in.ReadLong(), -2);
  EXPECT_EQ(in.ReadDouble(), 2.5);
}

TEST(ArchiveTest, SpecialDoublesRoundTripBitForBit) {
  const double values[] = {-0.0, std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::denorm_min(), 1e308};
  for (double v : values) {
    SCOPED_TRACE(v);
    Bytes out;
    CArchive(out, CArchive::store).WriteDouble(v);
    CArchive in(out, CArchive::load);
    const double back = in.ReadDouble();
    EXPECT_EQ(std::signbit(back), std::signbit(v));
    EXPECT_EQ(back, v);
  }
  Bytes out;
  CArchive(out, CArchive::store).WriteDouble(std::nan(""));
  EXPECT_TRUE(std::isnan(CArchive(out, CArchive::load).ReadDouble()));
}

TEST(ArchiveTest, ReaderAcceptsLongerPrefixesThanTheWriterUses) {
  Bytes word_form = {0xFF, 0x02, 0x00, 'h', 'i'};
  EXPECT_EQ(CArchive(word_form, CArchive::load).ReadString(), "hi");
  Bytes long_form = {0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 'h', 'i'};
  EXPECT_EQ(CArchive(long_form, CArchive::load).ReadString(), "hi");
  Bytes block_long_form = {0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x7A};
  EXPECT_EQ(CArchive(block_long_form, CArchive::load).ReadBytes(), Bytes{0x7A});
}

TEST(ArchiveTest, WideStringIsReadAsUtf8) {
  // FF FE FF marks a wide string; its length (2 units) follows in the same scheme.
  Bytes wide = {0xFF, 0xFE, 0xFF, 0x02, 'A', 0x00, 0xE9, 0x00, 0x01};
  CArchive ar(wide, CArchive::load);
  EXPECT_EQ(ar.ReadString(), "A\xC3\xA9");
  EXPECT_EQ(ar.GetOffset(), 8u);
}

TEST(ArchiveTest, BadDataThrowsWithItsOffsetAndCause) {
  struct Case {
    const char* name;
    Bytes data;
    int reads_before;  // longs read successfully first
    char what;         // s string, b block, w word, l long, d double, c count of 2-byte items
    CArchiveException::Cause cause;
    std::size_t offset;
  };
  const Case cases[] = {
      {"empty word", {}, 0, 'w', CArchiveException::endOfData, 0},
      {"half a long", {1, 0, 0, 0, 9, 9}, 1, 'l', CArchiveException::endOfData, 4},
      {"seven bytes of a double", Bytes(7), 0, 'd', CArchiveException::endOfData, 0},
      {"string length without bytes", {0x05, 'a'}, 0, 's', CArchiveException::badLength, 0},
      {"string word prefix cut", {0xFF, 0x01}, 0, 's', CArchiveException::endOfData, 1},
      {"string 4 GiB",
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       0,
       's',
       CArchiveException::badLength,
       0},
      {"wide string twice marked",
       {0xFF, 0xFE, 0xFF, 0xFF, 0xFE, 0xFF},
       0,
       's',
       CArchiveException::badString,
       3},
      {"wide string odd bytes",
       {0xFF, 0xFE, 0xFF, 0x02, 'A', 0, 'B'},
       0,
       's',
       CArchiveException::badLength,
       0},
      {"block longer than data", {0x04, 0x00, 1, 2, 3}, 0, 'b', CArchiveException::badLength, 0},
      {"count beyond data",
       {0, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3, 4, 5},
       1,
       'c',
       CArchiveException::badCount,
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes data = c.data;
    CArchive ar(data, CArchive::load);
    for (int i = 0; i < c.reads_before; ++i) ar.ReadLong();
    try {
      switch (c.what) {
        case 's':
          ar.ReadString();
          break;
        case 'b':
          ar.ReadBytes();
          break;
        case 'w':
          ar.ReadWord();
          break;
        case 'l':
          ar.ReadLong();
          break;
        case 'd':
          ar.ReadDouble();
          break;
        case 'c':
          ar.ReadCount(2);
          break;
      }
      ADD_FAILURE() << "no exception";
    } catch (const CArchiveException& e) {
      EXPECT_EQ(e.GetCause(), c.cause) << e.what();
      EXPECT_EQ(e.GetOffset(), c.offset) << e.what();
      EXPECT_EQ(std::string(e.what()), e.GetReason() + " at offset " + std::to_string(c.offset));
    }
  }
}

TEST(ArchiveTest, CountsThatFitOrReadNothingPass) {
  Bytes data = Cat({Long(2), Bytes{0, 0, 0, 0}, Long(-1), Long(0)});
  CArchive ar(data, CArchive::load);
  EXPECT_EQ(ar.ReadCount(2), 2);
  ar.ReadLong();
  EXPECT_EQ(ar.ReadCount(1000), -1);
  EXPECT_EQ(ar.ReadCount(1000), 0);
}

}  // namespace
}  // namespace settings_test
