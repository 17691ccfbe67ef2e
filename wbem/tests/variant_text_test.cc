// The text form of a variant: the shortest text that reads back as the same
// value, TRUE and FALSE, UTF-8 for strings, "" for null; nothing for what has
// no text form.
#include "wbem/variant_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "wbem/holders.h"
#include "wbem/testing/leak_check.h"

namespace wbem {
namespace {

using testing::RawVariant;

TEST(FormatVariantTest, GivesTheDocumentedTextPerTypeOrRefusesLeavingTextAlone) {
  const std::tuple<const char*, Variant, const char*> cases[] = {
      {"empty", Variant(), ""},
      {"null", Variant(nullptr), ""},
      {"i1", Variant(std::int8_t{-5}), "-5"},
      {"i2", Variant(short{-300}), "-300"},
      {"i4", Variant(-70000), "-70000"},
      {"i8", Variant(std::int64_t{-5000000000}), "-5000000000"},
      {"ui1", Variant(std::uint8_t{200}), "200"},
      {"ui2", Variant(std::uint16_t{60000}), "60000"},
      {"ui4", Variant(4000000000u), "4000000000"},
      {"ui8", Variant(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
      {"r8 tenth", Variant(0.1), "0.1"},
      {"r8 third", Variant(1.0 / 3), "0.3333333333333333"},
      {"r8 integral", Variant(100.0), "100"},
      {"r8 large", Variant(1e21), "1e+21"},
      {"r8 nan", Variant(std::nan("")), "nan"},
      {"r8 -inf", Variant(-std::numeric_limits<double>::infinity()), "-inf"},
      {"r4 tenth", Variant(0.1f), "0.1"},
      {"r4 third", Variant(1.0f / 3), "0.33333334"},
      {"bool true", Variant(true), "TRUE"},
      {"bool false", Variant(false), "FALSE"},
      {"bstr", Variant("Zürich"), "Zürich"},
      {"int", Variant(RawVariant(VT_INT, -2)), "-2"},
      {"uint", Variant(RawVariant(VT_UINT, 2)), "2"},
  };
  for (const auto& [name, value, expected] : cases) {
    SCOPED_TRACE(name);
    std::string text = "unchanged";
    EXPECT_TRUE(FormatVariant(value.get(), &text));
    EXPECT_EQ(text, expected);
  }
  for (VARTYPE vt : std::initializer_list<VARTYPE>{VT_UNKNOWN, VT_DISPATCH, VT_ARRAY | VT_I4,
                                                   VT_DATE, VT_CY, VT_ERROR}) {
    SCOPED_TRACE(vt);
    std::string text = "unchanged";
    EXPECT_FALSE(FormatVariant(RawVariant(vt), &text));
    EXPECT_EQ(text, "unchanged");
  }
}

}  // namespace
}  // namespace wbem
