#include "base/ascii.h"

#include <gtest/gtest.h>

namespace base {
namespace {

TEST(AsciiTest, FoldsAsciiCapitalsOnly) {
  // The bytes of é (C3 89: É is C3 89, é C3 A9) and the letters around the
  // alphabet ('@', '[', '`', '{') stay as they are.
  EXPECT_EQ(AsciiLowered("AZaz@[`{\xC3\x89"), "azaz@[`{\xC3\x89");
  EXPECT_EQ(AsciiLowered(u"WQL_\u00C9"), u"wql_\u00C9");
  EXPECT_TRUE(EqualsIgnoreCase("Disk_Full", "DISK_full"));
  EXPECT_TRUE(EqualsIgnoreCase(u"Select", u"SELECT"));
  EXPECT_FALSE(EqualsIgnoreCase("Disk", "Disks"));
  EXPECT_FALSE(EqualsIgnoreCase("[", "{"));
}

}  // namespace
}  // namespace base
