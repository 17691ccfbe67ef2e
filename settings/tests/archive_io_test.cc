#include "settings/archive_io.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// Stores `object` through the entries after a byte of the caller's, loads it
// back, then loads a cut copy: that fails and leaves the target as it was.
template <typename T, typename... Version>
void ExpectEntriesRoundTrip(const T& object, Version... version) {
  Bytes out = {0x77};
  AmArchiveStatus status;
  ASSERT_EQ(StoreSettingsArchive(object, version..., out, &status), 1);
  EXPECT_EQ(status.offset, out.size());
  const Bytes record(out.begin() + 1, out.end());
  T back;
  ASSERT_EQ(LoadSettingsArchive(record, version..., back, &status), 1);
  EXPECT_EQ(status.offset, record.size());
  EXPECT_EQ(status.reason, "");
  EXPECT_EQ(StoreOf(back, version...), record);
  EXPECT_EQ(LoadSettingsArchive(Bytes(record.begin(), record.end() - 1), version..., back), 0);
  EXPECT_EQ(StoreOf(back, version...), record);
}

TEST(ArchiveIoTest, EveryKindRoundTripsAndAFailedLoadChangesNothing) {
  CActionManagerSettings settings;
  settings.m_mapRules["E"].SetAt("ok", std::make_unique<CProgramActionInfo>());
  ExpectEntriesRoundTrip(settings, 11);
  ExpectEntriesRoundTrip(CEventDef("E", "n", "s", "f", 1, 2, 3, 4, "a", "b", "c", "d", 5), 6);
  const std::int32_t number = 8;
  ExpectEntriesRoundTrip(CStringListParameter(number, "t", "", "x,y", "", "TRUE"));
  ExpectEntriesRoundTrip(CNumericListParameter("1|2.25"));
}

TEST(ArchiveIoTest, LoadReportsWhereTheRecordEndedOrFailed) {
  CActionManagerSettings settings;
  AmArchiveStatus status;
  const Bytes cut = Cat({Long(2), Str("E"), Long(0), Str("F"), {1, 0}});
  EXPECT_EQ(LoadSettingsArchive(cut, 11, settings, &status), 0);
  EXPECT_EQ(status.offset, 12u);
  EXPECT_EQ(status.reason, "a long needs 4 bytes, 2 remain");
  // Bytes after the record belong to the caller.
  status = {99, "stale"};
  EXPECT_EQ(LoadSettingsArchive(Cat({Long(1), Str("E"), Long(0), {0xAA}}), 11, settings, &status),
            1);
  EXPECT_EQ(status.offset, 10u);
  EXPECT_EQ(status.reason, "");
  EXPECT_EQ(Keys(settings.m_mapRules), std::vector<std::string>{"E"});
}

TEST(ArchiveIoTest, StoreOfAnUnstorableActionAppendsNothingAndNamesIt) {
  CActionManagerSettings settings;
  settings.m_mapRules["E"].SetAt("bare", std::make_unique<CBaseActionInfo>());
  Bytes out = {0x77};
  AmArchiveStatus status;
  EXPECT_EQ(StoreSettingsArchive(settings, 11, out, &status), 0);
  EXPECT_EQ(out, Bytes{0x77});
  EXPECT_NE(status.reason.find("bare"), std::string::npos) << status.reason;
}

}  // namespace
}  // namespace settings_test
