#include "method_actions/param_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "wbem/holders.h"
#include "wbem/testing/leak_check.h"
#include "wbem/variant_text.h"

namespace method_actions {
namespace {

using wbem::Variant;

class ParamMappingTest : public wbem::testing::LeakCheckedTest {};

// What BuildTargetValue put, as "VT TEXT"; a boolean that is neither
// VARIANT_TRUE nor 0 reads "?".
std::string Describe(const VARIANT& v) {
  static const std::map<VARTYPE, std::string> kNames = {
      {VT_EMPTY, "EMPTY"}, {VT_I2, "I2"}, {VT_I4, "I4"},     {VT_UI4, "UI4"},
      {VT_R4, "R4"},       {VT_R8, "R8"}, {VT_BOOL, "BOOL"}, {VT_BSTR, "BSTR"}};
  std::string text = "?";
  wbem::FormatVariant(v, &text);
  if (v.vt == VT_BOOL && v.boolVal != VARIANT_TRUE && v.boolVal != 0) text = "?";
  const auto name = kNames.find(v.vt);
  return (name != kNames.end() ? name->second : std::to_string(v.vt)) + " " + text;
}

// Event value as the repository carries it for the type, through both
// conversions, into a parameter of `param_type`.
std::string Map(CIMTYPE event_type, const Variant& value, CIMTYPE param_type) {
  SourceValue source;
  if (!ReadSourceValue(event_type, value.get(), &source)) return "unsupported source";
  Variant target;
  if (!BuildTargetValue(param_type, source, target.ptr())) {
    return "mismatch " + Describe(target.get());
  }
  return Describe(target.get());
}

TEST_F(ParamMappingTest, ConvertsEveryCombinationOfTheTwoTables) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    CIMTYPE event_type;
    Variant value;
    CIMTYPE param_type;
    const char* expected;
  };
  // The rows the repository can deliver are run end to end by the built-in
  // action tests; these are the edges that only a direct call reaches.
  const Case cases[] = {
      // Texts.
      {"reference to string", CIM_REFERENCE, "\\\\.\\root:X", CIM_STRING, "BSTR \\\\.\\root:X"},
      {"string to reference", CIM_STRING, "X.Id=1", CIM_REFERENCE, "BSTR X.Id=1"},
      {"UTF-8 survives", CIM_STRING, "\xC3\xA9t\xC3\xA9", CIM_STRING, "BSTR \xC3\xA9t\xC3\xA9"},
      // 32-bit sources; uint32 travels in VT_I4.
      {"sint32 -1 to uint32", CIM_SINT32, -1, CIM_UINT32, "UI4 4294967295"},
      // Reals truncate toward zero.
      {"-0.9 to boolean", CIM_REAL64, -0.9, CIM_BOOLEAN, "BOOL FALSE"},
      {"real32 to real64", CIM_REAL32, 1.5f, CIM_REAL64, "R8 1.5"},
      // Small integers: their low bits, signed or not.
      {"sint8 reads low 8 bits", CIM_SINT8, static_cast<std::int16_t>(0x1FF), CIM_SINT32, "I4 -1"},
      {"uint16 reads low 16 bits", CIM_UINT16, 0x12345, CIM_UINT32, "UI4 9029"},
      {"sint32 70000 to sint16", CIM_SINT32, 70000, CIM_SINT16, "I2 4464"},
      // Booleans: only VARIANT_TRUE is true.
      {"false to sint32", CIM_BOOLEAN, false, CIM_SINT32, "I4 0"},
      {"true to boolean", CIM_BOOLEAN, true, CIM_BOOLEAN, "BOOL TRUE"},
      {"VT_BOOL 1 is not true", CIM_BOOLEAN, static_cast<std::int16_t>(1), CIM_SINT32, "I4 0"},
      // 64-bit texts, parsed, written back as the low 32 bits.
      {"sint64 -1 to uint64", CIM_SINT64, "-1", CIM_UINT64, "BSTR 4294967295"},
      {"uint64 to sint32", CIM_UINT64, "  -17xyz", CIM_SINT32, "I4 -17"},
      {"sint64 without digits", CIM_SINT64, "abc", CIM_REAL64, "R8 0"},
      {"sint64 null", CIM_SINT64, nullptr, CIM_SINT32, "I4 0"},
      // Null numbers read as 0.
      {"null real64 to boolean", CIM_REAL64, nullptr, CIM_BOOLEAN, "BOOL FALSE"},
      // Beyond the 64-bit range, and NaN.
      {"-1e30 to sint32 saturates", CIM_REAL64, -1e30, CIM_SINT32, "I4 0"},
      {"-1e30 to boolean", CIM_REAL64, -1e30, CIM_BOOLEAN, "BOOL TRUE"},
      {"inf to uint64", CIM_REAL64, inf, CIM_UINT64, "BSTR 4294967295"},
      {"NaN to sint32", CIM_REAL64, nan, CIM_SINT32, "I4 0"},
      {"1e300 to real32", CIM_REAL64, 1e300, CIM_REAL32, "R4 inf"},
      // Kinds that do not meet.
      {"string to uint64", CIM_STRING, "12", CIM_UINT64, "mismatch EMPTY "},
      {"sint64 to string", CIM_SINT64, "12", CIM_STRING, "mismatch EMPTY "},
      {"real64 to reference", CIM_REAL64, 1.0, CIM_REFERENCE, "mismatch EMPTY "},
      {"sint32 to datetime", CIM_SINT32, 1, CIM_DATETIME, "mismatch EMPTY "},
      {"sint32 to char16", CIM_SINT32, 1, CIM_CHAR16, "mismatch EMPTY "},
      {"sint32 to object", CIM_SINT32, 1, CIM_OBJECT, "mismatch EMPTY "},
      {"sint32 to array", CIM_SINT32, 1, CIM_SINT32 | CIM_FLAG_ARRAY, "mismatch EMPTY "},
      {"datetime source", CIM_DATETIME, "20240101000000.000000+000", CIM_STRING,
       "unsupported source"},
      {"char16 source", CIM_CHAR16, static_cast<std::int16_t>(65), CIM_SINT32,
       "unsupported source"},
      {"object source", CIM_OBJECT, nullptr, CIM_SINT32, "unsupported source"},
      {"array source", CIM_STRING | CIM_FLAG_ARRAY, nullptr, CIM_STRING, "unsupported source"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Map(c.event_type, c.value, c.param_type), c.expected);
  }
}

TEST_F(ParamMappingTest, RefusalsLeaveTheSourceAloneAndClearTheTarget) {
  SourceValue source;
  source.text = "kept";
  source.is_text = true;
  EXPECT_FALSE(ReadSourceValue(CIM_DATETIME, Variant("x").get(), &source));
  EXPECT_TRUE(source.is_text);
  EXPECT_EQ(source.text, "kept");
  Variant target("old text");
  source.is_text = false;
  EXPECT_FALSE(BuildTargetValue(CIM_STRING, source, target.ptr()));
  EXPECT_EQ(target.vt(), VT_EMPTY);
}

TEST_F(ParamMappingTest, TruncationRoundsTowardZeroAndSaturates) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    double number;
    std::int64_t expected;
  } cases[] = {
      {2.9, 2},
      {-2.9, -2},
      {-0.0, 0},
      {9007199254740993.0, 9007199254740992},
      {9223372036854774784.0, 9223372036854774784},  // the largest double below 2^63
      {9223372036854775808.0, kMax},
      {-9223372036854775808.0, kMin},
      {-9223372036854777856.0, kMin},
      {std::numeric_limits<double>::infinity(), kMax},
      {-std::numeric_limits<double>::infinity(), kMin},
      {std::numeric_limits<double>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(TruncateTowardZero(c.number), c.expected);
  }
}

TEST_F(ParamMappingTest, SinglePrecisionRoundsLikeIeeeAndNeverOverflowsUndefined) {
  constexpr float kMax = std::numeric_limits<float>::max();
  const double halfway = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
  EXPECT_EQ(RoundToSingle(0.1), 0.1f);
  EXPECT_EQ(RoundToSingle(static_cast<double>(kMax)), kMax);
  EXPECT_EQ(RoundToSingle(std::nextafter(halfway, 0.0)), kMax);
  EXPECT_EQ(RoundToSingle(-std::nextafter(halfway, 0.0)), -kMax);
  EXPECT_TRUE(std::isinf(RoundToSingle(halfway)));
  EXPECT_LT(RoundToSingle(-1e300), 0.0f);
  EXPECT_TRUE(std::isinf(RoundToSingle(-1e300)));
  EXPECT_TRUE(std::isnan(RoundToSingle(std::nan(""))));
}

TEST_F(ParamMappingTest, DecimalReadersFollowTheCRuntime) {
  const struct {
    const char* text;
    std::int64_t as_int64;
    std::int32_t as_long;
  } cases[] = {
      {"42", 42, 42},
      {"  \t\n\v\f\r-17abc", -17, -17},
      {"+8", 8, 8},
      {"x12", 0, 0},
      {"", 0, 0},
      {"-", 0, 0},
      {"- 5", 0, 0},
      {"2147483648", 2147483648LL, 2147483647},
      {"-2147483649", -2147483649LL, -2147483647 - 1},
      {"-2147483648", -2147483648LL, -2147483647 - 1},
      {"9223372036854775807", 9223372036854775807LL, 2147483647},
      {"9223372036854775808", 9223372036854775807LL, 2147483647},
      {"-9223372036854775808", -9223372036854775807LL - 1, -2147483647 - 1},
      {"-99999999999999999999999", -9223372036854775807LL - 1, -2147483647 - 1},
      {"00012", 12, 12},
      {"1.9", 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::u16string wide;
    for (const char* p = c.text; *p != '\0'; ++p) wide.push_back(static_cast<char16_t>(*p));
    EXPECT_EQ(ParseInt64(wide), c.as_int64);
    EXPECT_EQ(ParseLong(c.text), c.as_long);
  }
  // Digits outside ASCII are not digits.
  EXPECT_EQ(ParseInt64(u"\uFF11\uFF12"), 0);
}

}  // namespace
}  // namespace method_actions
