#include "wbem/holders.h"

#include "wbem/unicode.h"

namespace wbem {

namespace {
BSTR AllocUtf16(std::u16string_view text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
}  // namespace

Bstr::Bstr(std::string_view utf8) : p_(AllocUtf16(Utf8ToUtf16(utf8))) {}
Bstr::Bstr(std::u16string_view text) : p_(AllocUtf16(text)) {}
Bstr::Bstr(const Bstr& other)
    : p_(other.p_ ? SysAllocStringLen(other.p_, SysStringLen(other.p_)) : nullptr) {}

std::string Bstr::ToUtf8() const { return Utf16ToUtf8(view()); }

namespace {
void SetBstr(VARIANT& v, BSTR b) {
  if (b != nullptr) {
    v.vt = VT_BSTR;
    v.bstrVal = b;
  } else {
    v.vt = VT_NULL;
  }
}
}  // namespace

Variant::Variant(std::string_view utf8) : Variant() { SetBstr(v_, AllocUtf16(Utf8ToUtf16(utf8))); }
Variant::Variant(const char* utf8) : Variant() {
  if (utf8 == nullptr) {
    v_.vt = VT_NULL;
  } else {
    SetBstr(v_, AllocUtf16(Utf8ToUtf16(utf8)));
  }
}
Variant::Variant(std::u16string_view text) : Variant() { SetBstr(v_, AllocUtf16(text)); }
Variant::Variant(const char16_t* text) : Variant() {
  if (text == nullptr) {
    v_.vt = VT_NULL;
  } else {
    SetBstr(v_, SysAllocString(text));
  }
}
Variant::Variant(IWbemClassObject* object) : Variant() {
  if (object == nullptr) {
    v_.vt = VT_NULL;
    return;
  }
  object->AddRef();
  v_.vt = VT_UNKNOWN;
  v_.punkVal = object;
}

Variant::Variant(const VARIANT& value) : Variant() {
  if (FAILED(VariantCopy(&v_, &value))) v_.vt = VT_NULL;
}

Variant& Variant::operator=(const Variant& other) {
  if (this != &other) {
    Variant copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    VariantClear(&v_);
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  return *this;
}

Variant Variant::Adopt(VARIANT& value) {
  Variant v;
  v.v_ = value;
  VariantInit(&value);
  return v;
}

std::string Variant::AsUtf8() const {
  if (v_.vt != VT_BSTR || v_.bstrVal == nullptr) return {};
  return Utf16ToUtf8({v_.bstrVal, SysStringLen(v_.bstrVal)});
}

}  // namespace wbem
