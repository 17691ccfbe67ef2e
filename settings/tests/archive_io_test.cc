#include "settings/archive_io.h"

#include <gtest/gtest.h>

#include "settings/tests/test_util.h"

namespace settings_test {
namespace {

// "<offset> <reason>" and each skipped entry as " [<offset> <rule>/<action>
// <class>]": a whole status in one text.
std::string StatusOf(const AmArchiveStatus& status) {
  std::string text = std::to_string(status.offset) + " " + status.reason;
  for (const auto& s : status.skipped) {
    text +=
        " [" + std::to_string(s.offset) + " " + s.rule + "/" + s.action + " " + s.class_name + "]";
  }
  return text;
}

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
  EXPECT_EQ(StatusOf(status), std::to_string(record.size()) + " ");
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
  EXPECT_EQ(StatusOf(status), "12 a long needs 4 bytes, 2 remain");
  // Bytes after the record belong to the caller.
  status = {99, "stale"};
  EXPECT_EQ(LoadSettingsArchive(Cat({Long(1), Str("E"), Long(0), {0xAA}}), 11, settings, &status),
            1);
  EXPECT_EQ(StatusOf(status), "10 ");
  EXPECT_EQ(Keys(settings.m_mapRules), std::vector<std::string>{"E"});
}

TEST(ArchiveIoTest, LoadNamesTheActionEntriesItPassesOver) {
  // An unknown class name reads no action record: loading goes on with the
  // next entry from the following byte.
  const Bytes archive = Cat({Long(2), Str("E"), Long(2), Str("x"), Str("CFooInfo"), Str("p"),
                             Str("CProgramActionInfo"), Bytes(6, 0), Str("F"), Long(1), Str("y"),
                             Str("cbuiltinactioninf")});
  CActionManagerSettings settings;
  AmArchiveStatus status;
  ASSERT_EQ(LoadSettingsArchive(archive, 11, settings, &status), 1) << status.reason;
  const std::size_t second = archive.size() - Str("cbuiltinactioninf").size();
  EXPECT_EQ(StatusOf(status), std::to_string(archive.size()) + "  [12 E/x CFooInfo] [" +
                                  std::to_string(second) + " F/y cbuiltinactioninf]");
  EXPECT_EQ(Keys(settings.m_mapRules), (std::vector<std::string>{"E", "F"}));
  EXPECT_EQ(settings.m_mapRules["E"].GetCount(), 1);
  EXPECT_EQ(settings.m_mapRules["F"].GetCount(), 0);

  // A failed load still names what it passed over before failing; a clean
  // one names nothing.
  const Bytes cut(archive.begin(), archive.begin() + 30);
  EXPECT_EQ(LoadSettingsArchive(cut, 11, settings, &status), 0);
  EXPECT_TRUE(StatusOf(status).ends_with("remain [12 E/x CFooInfo]")) << StatusOf(status);
  ASSERT_EQ(LoadSettingsArchive(Long(0), 11, settings, &status), 1);
  EXPECT_EQ(StatusOf(status), "4 ");
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
