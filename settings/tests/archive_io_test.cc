#include "settings/archive_io.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

TEST(ArchiveIoTest, LoadFailureLeavesTheTargetAndReportsWhere) {
  CActionManagerSettings settings;
  settings.m_mapRules["Keep"].SetAt("a", std::make_unique<CProgramActionInfo>());
  const Bytes cut = Cat({Long(2), Str("E"), Long(0), Str("F"), {1, 0}});
  AmArchiveStatus status;
  EXPECT_EQ(LoadSettingsArchive(cut, 11, settings, &status), 0);
  EXPECT_EQ(status.offset, 12u);
  EXPECT_EQ(status.reason, "a long needs 4 bytes, 2 remain");
  EXPECT_EQ(settings.m_mapRules.GetCount(), 1);
  EXPECT_NE(settings.m_mapRules.Lookup("Keep"), nullptr);
  EXPECT_EQ(LoadSettingsArchive(cut, 11, settings), 0);  // status is optional
}

TEST(ArchiveIoTest, LoadReportsWhereTheRecordEnded) {
  const Bytes data = Cat({Long(1), Str("E"), Long(0), Bytes{0xAA, 0xBB}});
  CActionManagerSettings settings;
  AmArchiveStatus status{99, "stale"};
  EXPECT_EQ(LoadSettingsArchive(data, 11, settings, &status), 1);
  EXPECT_EQ(status.offset, 10u);
  EXPECT_EQ(status.reason, "");
  EXPECT_NE(settings.m_mapRules.Lookup("E"), nullptr);
}

TEST(ArchiveIoTest, StoreAppendsOnlyWholeRecords) {
  CActionManagerSettings settings;
  settings.m_mapRules["E"].SetAt("ok", std::make_unique<CProgramActionInfo>());
  Bytes out = {0x77};
  AmArchiveStatus status;
  ASSERT_EQ(StoreSettingsArchive(settings, 11, out, &status), 1);
  EXPECT_EQ(out.size(), 1u + 4 + 2 + 4 + 3 + 19 + 6);
  EXPECT_EQ(status.offset, out.size());

  settings.m_mapRules["E"].SetAt("bare", std::make_unique<CBaseActionInfo>());
  const Bytes before = out;
  EXPECT_EQ(StoreSettingsArchive(settings, 11, out, &status), 0);
  EXPECT_EQ(out, before);
  EXPECT_NE(status.reason.find("bare"), std::string::npos) << status.reason;
}

TEST(ArchiveIoTest, EveryKindRoundTripsThroughTheEntries) {
  CEventDef def("E", "n", "s", "f", 1, 2, 3, 4, "a", "b", "c", "d", 5);
  const std::int32_t number = 8;
  const CStringListParameter strings(number, "t", "", "x,y", "", "TRUE");
  const CNumericListParameter numbers("1|2.25");
  Bytes def_bytes, string_bytes, number_bytes;
  ASSERT_EQ(StoreSettingsArchive(def, 6, def_bytes), 1);
  ASSERT_EQ(StoreSettingsArchive(strings, string_bytes), 1);
  ASSERT_EQ(StoreSettingsArchive(numbers, number_bytes), 1);

  CEventDef def_back;
  CStringListParameter strings_back;
  CNumericListParameter numbers_back;
  ASSERT_EQ(LoadSettingsArchive(def_bytes, 6, def_back), 1);
  ASSERT_EQ(LoadSettingsArchive(string_bytes, strings_back), 1);
  ASSERT_EQ(LoadSettingsArchive(number_bytes, numbers_back), 1);
  EXPECT_EQ(StoreOf(def_back, 6), def_bytes);
  EXPECT_EQ(StoreOf(strings_back), string_bytes);
  EXPECT_EQ(StoreOf(numbers_back), number_bytes);

  // A failed load leaves each of them as it was.
  AmArchiveStatus status;
  EXPECT_EQ(LoadSettingsArchive(Bytes{1}, 6, def_back, &status), 0);
  EXPECT_EQ(status.offset, 0u);
  EXPECT_EQ(def_back.m_strName, "E");
  EXPECT_EQ(LoadSettingsArchive(Bytes(3), strings_back), 0);
  EXPECT_EQ(strings_back.GetCount(), 2);
  EXPECT_EQ(LoadSettingsArchive(Cat({Long(0), Long(1)}), numbers_back), 0);
  EXPECT_EQ(numbers_back.GetCount(), 2);
}

}  // namespace
}  // namespace settings_test
