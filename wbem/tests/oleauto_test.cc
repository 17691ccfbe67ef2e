#include "wbem/oleauto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "wbem/com_object.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/testing/leak_check.h"

namespace wbem {
namespace {

class BstrTest : public testing::LeakCheckedTest {};

TEST_F(BstrTest, CarriesByteLengthInPrefixAndTerminatingNul) {
  BSTR b = SysAllocString(u"abc");
  ASSERT_NE(b, nullptr);
  std::uint32_t prefix;
  std::memcpy(&prefix, reinterpret_cast<char*>(b) - 4, 4);
  EXPECT_EQ(prefix, 6u);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[3], 0);
  EXPECT_EQ(GetLiveCounts().bstrs, start_.bstrs + 1);
  SysFreeString(b);
  // Embedded NULs are kept; without a source the string is zero-filled.
  const char16_t text[] = {u'a', 0, u'b'};
  b = SysAllocStringLen(text, 3);
  EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), std::u16string_view(text, 3));
  SysFreeString(b);
  b = SysAllocStringLen(nullptr, 2);
  EXPECT_EQ(std::u16string_view(b, SysStringLen(b)), std::u16string_view(u"\0\0", 2));
  SysFreeString(b);
  // NULL is the empty string.
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  EXPECT_EQ(Bstr().ToUtf8(), "");
}

TEST_F(BstrTest, HolderConvertsUtf8AndFreesOnEveryPath) {
  Bstr b("Zürich");
  EXPECT_EQ(b.size(), 6u);
  EXPECT_EQ(b.ToUtf8(), "Zürich");
  Bstr copy = b;
  EXPECT_NE(copy.get(), b.get());
  Bstr moved = std::move(copy);
  EXPECT_EQ(moved.ToUtf8(), "Zürich");
  BSTR raw = moved.Detach();
  EXPECT_EQ(GetLiveCounts().bstrs, start_.bstrs + 2);
  SysFreeString(raw);
  *b.Out() = SysAllocString(u"x");
  EXPECT_EQ(b.ToUtf8(), "x");
}

// A COM object on the stack, owned by the test, whose references it can count
// (they start at 0 for such an object).
struct Counted final : wbem::ComObject<Counted, IUnknown, wbem::Lifetime::kOwner> {};
ULONG Refs(IUnknown& object) {
  object.AddRef();
  return object.Release();
}

class VariantTest : public testing::LeakCheckedTest {};

using testing::RawVariant;

TEST_F(VariantTest, CopyDuplicatesStringsAndAddsReferences) {
  VARIANT a = RawVariant(VT_BSTR), b = RawVariant(VT_EMPTY);
  a.bstrVal = SysAllocString(u"text");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(std::u16string_view(b.bstrVal), u"text");
  EXPECT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(a.vt, VT_EMPTY);

  Counted unknown;
  a.vt = VT_UNKNOWN;
  a.punkVal = &unknown;
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);  // also frees b's string
  EXPECT_EQ(Refs(unknown), 1u);
  VariantClear(&b);
  EXPECT_EQ(Refs(unknown), 0u);
  EXPECT_EQ(VariantCopy(&a, &a), S_OK);
  EXPECT_EQ(Refs(unknown), 0u);
}

TEST_F(VariantTest, RefusesUnknownTypes) {
  VARIANT v = RawVariant(VT_ARRAY | VT_I4), d = RawVariant(VT_EMPTY);
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantCopy(&d, &v), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST_F(VariantTest, HolderMapsCppValuesToVariantTypes) {
  const std::tuple<const char*, Variant, VARTYPE> cases[] = {
      {"int", Variant(5), VT_I4},
      {"int64", Variant(std::int64_t{5}), VT_I8},
      {"uint8", Variant(std::uint8_t{5}), VT_UI1},
      {"uint32", Variant(5u), VT_UI4},
      {"short", Variant(short{5}), VT_I2},
      {"bool", Variant(true), VT_BOOL},
      {"double", Variant(0.5), VT_R8},
      {"float", Variant(0.5f), VT_R4},
      {"utf8", Variant("a"), VT_BSTR},
      {"std::string", Variant(std::string("a")), VT_BSTR},
      {"utf16", Variant(u"a"), VT_BSTR},
      {"null", Variant(nullptr), VT_NULL},
      {"null text", Variant(static_cast<const char*>(nullptr)), VT_NULL},
      {"default", Variant(), VT_EMPTY},
  };
  for (const auto& [name, value, vt] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(value.vt(), vt);
  }
  EXPECT_EQ(Variant(true).get().boolVal, VARIANT_TRUE);
  EXPECT_EQ(Variant("Zürich").AsUtf8(), "Zürich");
}

TEST_F(VariantTest, HolderCopiesMovesAndAdopts) {
  Variant a("text");
  Variant b = a;
  EXPECT_NE(a.get().bstrVal, b.get().bstrVal);
  Variant c = std::move(b);
  EXPECT_EQ(b.vt(), VT_EMPTY);
  EXPECT_EQ(c.AsUtf8(), "text");
  a = c;
  a = Variant(3);
  EXPECT_EQ(a.get().lVal, 3);
  VARIANT raw = RawVariant(VT_BSTR);
  raw.bstrVal = SysAllocString(u"owned");
  Variant adopted = Variant::Adopt(raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  EXPECT_EQ(adopted.AsUtf8(), "owned");
}

TEST(ComPtrTest, HoldsExactlyOneReference) {
  Counted object;
  {
    ComPtr<IUnknown> a(&object);
    EXPECT_EQ(Refs(object), 1u);
    ComPtr<IUnknown> b = a;
    EXPECT_EQ(Refs(object), 2u);
    ComPtr<IUnknown> c = std::move(b);
    EXPECT_EQ(Refs(object), 2u);
    EXPECT_FALSE(b);
    c.Reset();
    EXPECT_EQ(Refs(object), 1u);
    object.AddRef();
    ComPtr<IUnknown> adopted = ComPtr<IUnknown>::Adopt(&object);
    EXPECT_EQ(Refs(object), 2u);
    ComPtr<IUnknown> queried;
    EXPECT_EQ(a.As(&queried), S_OK);
    EXPECT_EQ(Refs(object), 3u);
    *queried.Out() = nullptr;
    EXPECT_EQ(Refs(object), 2u);
    // Self-assignment, through a reference so that it reads as intended.
    const ComPtr<IUnknown>& self = a;
    a = self;
    EXPECT_EQ(Refs(object), 2u);
  }
  EXPECT_EQ(Refs(object), 0u);
}

}  // namespace
}  // namespace wbem
