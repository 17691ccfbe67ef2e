#include "repository/cim.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <tuple>

#include "repository/repository.h"
#include "wbem/testing/leak_check.h"

namespace repository {
namespace {

using ::testing::StartsWith;

struct TypedProperty {
  const char* name;
  CIMTYPE type;
  VARTYPE vt;
  Variant sample;  // a value that Put accepts; CIM_OBJECT gets an instance in the test
};

// Every scalar CIM type with the variant type the repository carries it in.
const TypedProperty kTypes[] = {
    {"S8", CIM_SINT8, VT_I2, 1},
    {"U8", CIM_UINT8, VT_UI1, 1},
    {"S16", CIM_SINT16, VT_I2, 1},
    {"U16", CIM_UINT16, VT_I4, 1},
    {"S32", CIM_SINT32, VT_I4, 1},
    {"U32", CIM_UINT32, VT_I4, 1},
    {"S64", CIM_SINT64, VT_BSTR, 1},
    {"U64", CIM_UINT64, VT_BSTR, 1},
    {"R32", CIM_REAL32, VT_R4, 1.5f},
    {"R64", CIM_REAL64, VT_R8, 1.5},
    {"Bool", CIM_BOOLEAN, VT_BOOL, true},
    {"Str", CIM_STRING, VT_BSTR, "s"},
    {"Date", CIM_DATETIME, VT_BSTR, "20240101000000.000000+000"},
    {"Ref", CIM_REFERENCE, VT_BSTR, "X.K=1"},
    {"Char", CIM_CHAR16, VT_I2, 65},
    {"Obj", CIM_OBJECT, VT_UNKNOWN, nullptr},
};

class CimTest : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override {
    Class all("AllTypes");
    for (const TypedProperty& p : kTypes) all.Property(p.name, p.type);
    ASSERT_EQ(ns_.Define(all), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(Class("Inner").Property("X", CIM_SINT32)), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.NewInstance("AllTypes", {}, &object_), WBEM_S_NO_ERROR);
  }

  HRESULT Put(const char* name, Variant value, CIMTYPE type = 0) {
    return object_->Put(Bstr(name).get(), 0, value.ptr(), type);
  }
  Variant Get(const char* name) {
    Variant v;
    EXPECT_EQ(object_->Get(Bstr(name).get(), 0, v.Out(), nullptr, nullptr), WBEM_S_NO_ERROR);
    return v;
  }
  // The variant type and CIM type that Get reports, and the value's text:
  // "<vt> <cim type> <text>".
  std::string Typed(const char* name) {
    Variant v;
    CIMTYPE type = 0;
    EXPECT_EQ(object_->Get(Bstr(name).get(), 0, v.Out(), &type, nullptr), WBEM_S_NO_ERROR);
    std::string text = "?";
    FormatVariant(v.get(), &text);
    return std::to_string(v.vt()) + " " + CimTypeName(type) + " " + text;
  }

  Repository repo_;
  Namespace ns_ = repo_.OpenNamespace("root\\test");
  ComPtr<IWbemClassObject> object_;
};

TEST_F(CimTest, EachCimTypeTravelsInItsVariantTypeAndTakesNull) {
  ComPtr<IWbemClassObject> inner;
  ASSERT_EQ(ns_.NewInstance("Inner", {{"X", 1}}, &inner), WBEM_S_NO_ERROR);
  for (const TypedProperty& p : kTypes) {
    SCOPED_TRACE(p.name);
    EXPECT_EQ(VarTypeForCim(p.type), p.vt);
    const Variant sample = p.type == CIM_OBJECT ? Variant(inner.get()) : p.sample;
    const std::string null = std::to_string(VT_NULL) + " " + CimTypeName(p.type) + " ";
    EXPECT_EQ(Typed(p.name), null) << "a new instance holds NULL everywhere";
    EXPECT_EQ(Put(p.name, sample), WBEM_S_NO_ERROR);
    EXPECT_THAT(Typed(p.name), StartsWith(std::to_string(p.vt) + " " + CimTypeName(p.type) + " "));
    EXPECT_EQ(Put(p.name, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(Typed(p.name), null);
    EXPECT_EQ(Put(p.name, sample), WBEM_S_NO_ERROR);
    EXPECT_EQ(object_->Put(Bstr(p.name).get(), 0, nullptr, 0), WBEM_S_NO_ERROR);
    EXPECT_EQ(Typed(p.name), null);
  }
  EXPECT_EQ(Put("S16", 1), WBEM_S_NO_ERROR);
  EXPECT_EQ(Get("S16").get().iVal, 1);
  // Any non-zero VT_BOOL is TRUE.
  VARIANT odd = wbem::testing::RawVariant(VT_BOOL, 1);
  ASSERT_EQ(object_->Put(u"Bool", 0, &odd, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(Get("Bool").get().boolVal, VARIANT_TRUE);
}

// Integers are truncated to the declared width; 64-bit ones are decimal text.
// What does not convert is refused and the old value kept.
TEST_F(CimTest, ValuesConvertToTheDeclaredTypeOrAreRefused) {
  // Property, value put, text read back (null: refused).
  const std::tuple<const char*, Variant, const char*> cases[] = {
      {"S8", 200, "-56"},
      {"S8", -1, "-1"},
      {"U8", 300, "44"},
      {"U8", -1, "255"},
      {"S16", 70000, "4464"},
      {"U16", -1, "65535"},
      {"U16", 70000, "4464"},
      {"S32", std::int64_t{5000000000}, "705032704"},
      {"U32", 4000000000u, "-294967296"},
      {"Char", 65601, "65"},
      {"R64", 7, "7"},
      {"R32", std::int64_t{-3}, "-3"},
      {"S64", std::int64_t{-5000000000}, "-5000000000"},
      {"U64", -1, "18446744073709551615"},
      {"U64", std::uint64_t{42}, "42"},
      {"S64", "+007", "7"},
      {"S64", "-9223372036854775808", "-9223372036854775808"},
      {"U64", "18446744073709551615", "18446744073709551615"},
      // No number becomes a string, no string a number; reals do not
      // truncate into integers; booleans only from VT_BOOL; VT_R8 is not
      // real32's own type; char16 travels as a number.
      {"Str", 12, nullptr},
      {"Str", 1.5, nullptr},
      {"Str", true, nullptr},
      {"S32", "12", nullptr},
      {"S32", 1.5, nullptr},
      {"S32", true, nullptr},
      {"Bool", 1, nullptr},
      {"R32", 1.5, nullptr},
      {"R64", 1.5f, nullptr},
      {"U64", "-1", nullptr},
      {"U64", "12x", nullptr},
      {"S64", "9223372036854775808", nullptr},
      {"S64", "", nullptr},
      {"Char", "A", nullptr},
  };
  for (const auto& [property, value, text] : cases) {
    SCOPED_TRACE(std::string(property) + " <- " + (text ? text : "refused"));
    const std::string_view name = property;
    const TypedProperty& p = *std::find_if(std::begin(kTypes), std::end(kTypes),
                                           [&](const TypedProperty& t) { return name == t.name; });
    ASSERT_EQ(Put(property, p.sample), WBEM_S_NO_ERROR);
    const std::string before = Typed(property);
    EXPECT_EQ(Put(property, value), text ? WBEM_S_NO_ERROR : WBEM_E_TYPE_MISMATCH);
    EXPECT_EQ(Typed(property),
              text ? std::to_string(p.vt) + " " + CimTypeName(p.type) + " " + text : before);
  }

  EXPECT_EQ(Put("S32", 5, CIM_UINT32), WBEM_E_TYPE_MISMATCH) << "an explicit type must match";
  EXPECT_EQ(Put("S32", 9, CIM_SINT32), WBEM_S_NO_ERROR);
  EXPECT_EQ(Get("S32").get().lVal, 9);
}

TEST_F(CimTest, EmbeddedObjectIsCopiedAtPutAndAtGet) {
  ComPtr<IWbemClassObject> inner, copy;
  ASSERT_EQ(ns_.NewInstance("Inner", {{"X", 1}}, &inner), WBEM_S_NO_ERROR);
  ASSERT_EQ(Put("Obj", inner.get()), WBEM_S_NO_ERROR);
  ASSERT_EQ(inner->Put(u"X", 0, Variant(2).ptr(), 0), WBEM_S_NO_ERROR);
  const Variant stored = Get("Obj");
  EXPECT_EQ(FormatCimValue(CIM_OBJECT, stored.get()), "Inner{X=1}");
  // What Get hands out is a copy too: changing it leaves the stored object.
  ASSERT_EQ(ComPtr<IUnknown>(stored.get().punkVal).As(&copy), S_OK);
  ASSERT_EQ(copy->Put(u"X", 0, Variant(3).ptr(), 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(FormatCimValue(CIM_OBJECT, Get("Obj").get()), "Inner{X=1}");
  EXPECT_EQ(Put("Str", inner.get()), WBEM_E_TYPE_MISMATCH);
}

}  // namespace
}  // namespace repository
