// RAII holders for the two owned value kinds, BSTR and VARIANT, with the
// conversions that tests, tools and the component need at the repository
// boundary (UTF-8 narrow text <-> UTF-16 wide text).
//
// wbem::Bstr owns one BSTR (or none). wbem::Variant owns one VARIANT and clears
// it on destruction; it converts implicitly from the C++ values a repository
// user writes, so `{"Free", 100}`, `{"Drive", "C:"}` and `{"Flag", true}` read as
// property lists:
//
//   integral types -> VT_I1/VT_I2/VT_I4/VT_I8 or VT_UI1/.../VT_UI8 by size
//   bool -> VT_BOOL;  float -> VT_R4;  double -> VT_R8
//   const char*, std::string, std::string_view -> VT_BSTR (UTF-8 in)
//   const char16_t*, std::u16string_view -> VT_BSTR
//   nullptr -> VT_NULL;  IWbemClassObject* -> VT_UNKNOWN (one new reference)
//
// A holder whose allocation failed holds VT_NULL (Variant) or null (Bstr).
// Not thread-safe per object.
#pragma once

#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "wbem/interfaces.h"

namespace wbem {

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::string_view utf8);
  explicit Bstr(std::u16string_view text);
  explicit Bstr(const char* utf8) : Bstr(std::string_view(utf8 ? utf8 : "")) {}
  Bstr(const Bstr& other);
  Bstr(Bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Bstr() { SysFreeString(p_); }

  static Bstr Adopt(BSTR p) {
    Bstr b;
    b.p_ = p;
    return b;
  }

  BSTR get() const { return p_; }
  // Frees what is held and returns the slot for an out-parameter.
  BSTR* Out() {
    SysFreeString(std::exchange(p_, nullptr));
    return &p_;
  }
  [[nodiscard]] BSTR Detach() { return std::exchange(p_, nullptr); }
  std::size_t size() const { return SysStringLen(p_); }
  std::u16string_view view() const { return {p_ ? p_ : u"", SysStringLen(p_)}; }
  std::string ToUtf8() const;

 private:
  BSTR p_ = nullptr;
};

class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(std::nullptr_t) : Variant() { v_.vt = VT_NULL; }  // NOLINT
  Variant(bool b) : Variant() {                             // NOLINT
    v_.vt = VT_BOOL;
    v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  }
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char16_t> && !std::same_as<T, char32_t>)
      // NOLINTNEXTLINE(google-explicit-constructor): values convert as VARIANTs do
      Variant(T value)
      : Variant() {
    if constexpr (std::is_signed_v<T>) {
      if constexpr (sizeof(T) == 1) {
        v_.vt = VT_I1, v_.cVal = static_cast<CHAR>(value);
      } else if constexpr (sizeof(T) == 2) {
        v_.vt = VT_I2, v_.iVal = static_cast<SHORT>(value);
      } else if constexpr (sizeof(T) == 4) {
        v_.vt = VT_I4, v_.lVal = static_cast<LONG>(value);
      } else {
        v_.vt = VT_I8, v_.llVal = static_cast<LONGLONG>(value);
      }
    } else {
      if constexpr (sizeof(T) == 1) {
        v_.vt = VT_UI1, v_.bVal = static_cast<BYTE>(value);
      } else if constexpr (sizeof(T) == 2) {
        v_.vt = VT_UI2, v_.uiVal = static_cast<USHORT>(value);
      } else if constexpr (sizeof(T) == 4) {
        v_.vt = VT_UI4, v_.ulVal = static_cast<ULONG>(value);
      } else {
        v_.vt = VT_UI8, v_.ullVal = static_cast<ULONGLONG>(value);
      }
    }
  }
  Variant(float f) : Variant() {  // NOLINT
    v_.vt = VT_R4;
    v_.fltVal = f;
  }
  Variant(double d) : Variant() {  // NOLINT
    v_.vt = VT_R8;
    v_.dblVal = d;
  }
  Variant(std::string_view utf8);                                        // NOLINT
  Variant(const char* utf8);                                             // NOLINT
  Variant(const std::string& utf8) : Variant(std::string_view(utf8)) {}  // NOLINT
  Variant(std::u16string_view text);                                     // NOLINT
  Variant(const char16_t* text);                                         // NOLINT
  Variant(IWbemClassObject* object);                                     // NOLINT
  // Copies `value` (VariantCopy); VT_NULL when the copy fails.
  explicit Variant(const VARIANT& value);
  Variant(const Variant& other) : Variant(other.v_) {}
  Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() { VariantClear(&v_); }

  // Takes over a VARIANT the caller owns; `value` is left VT_EMPTY.
  static Variant Adopt(VARIANT& value);

  const VARIANT& get() const { return v_; }
  VARIANT* ptr() { return &v_; }
  // Clears what is held and returns the VARIANT for an out-parameter.
  VARIANT* Out() {
    VariantClear(&v_);
    return &v_;
  }
  VARTYPE vt() const { return v_.vt; }
  bool IsNull() const { return v_.vt == VT_NULL || v_.vt == VT_EMPTY; }

  // Narrow text of a VT_BSTR (empty for a null BSTR); empty for other types.
  std::string AsUtf8() const;

 private:
  VARIANT v_;
};

}  // namespace wbem
