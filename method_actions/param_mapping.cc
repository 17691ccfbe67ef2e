#include "method_actions/param_mapping.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "actions/wide_text.h"
#include "wbem/unicode.h"

namespace method_actions {

using actions::NarrowBstr;
using actions::NewBstr;

namespace {

// The value of an integer, boolean or real variant as a 64-bit integer, its
// bits as the variant carries them; 0 for anything that holds no number.
std::int64_t RawInteger(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_I2:
      return v.iVal;
    case VT_I4:
    case VT_INT:
      return v.lVal;
    case VT_I8:
      return v.llVal;
    case VT_UI1:
      return v.bVal;
    case VT_UI2:
      return v.uiVal;
    case VT_UI4:
    case VT_UINT:
      return v.ulVal;
    case VT_UI8:
      return static_cast<std::int64_t>(v.ullVal);
    case VT_BOOL:
      return v.boolVal;
    case VT_R4:
      return TruncateTowardZero(v.fltVal);
    case VT_R8:
      return TruncateTowardZero(v.dblVal);
    default:
      return 0;
  }
}

// A real variant's value, or an integer variant's value as a real.
double RawReal(const VARIANT& v) {
  if (v.vt == VT_R4) return v.fltVal;
  if (v.vt == VT_R8) return v.dblVal;
  return static_cast<double>(RawInteger(v));
}

bool IsWhiteSpace(char32_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// The shared reader of ParseInt64 and ParseLong: white space, sign, digits,
// saturating at [lowest, highest].
template <typename Char>
std::int64_t ParseDecimal(std::basic_string_view<Char> text, std::int64_t lowest,
                          std::int64_t highest) {
  std::size_t i = 0;
  while (i < text.size() && IsWhiteSpace(static_cast<char32_t>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) {
    negative = text[i] == Char('-');
    ++i;
  }
  // Accumulate toward the sign's end of the range so that the most negative
  // value needs no special case.
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= Char('0') && text[i] <= Char('9'); ++i) {
    const int digit = static_cast<int>(text[i] - Char('0'));
    if (negative) {
      if (value < (lowest + digit) / 10) return lowest;
      value = value * 10 - digit;
    } else {
      if (value > (highest - digit) / 10) return highest;
      value = value * 10 + digit;
    }
  }
  return value;
}

// Writes a number into a BSTR variant; VT_NULL when the copy cannot be made.
void SetText(VARIANT* out, std::u16string_view text) {
  BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (copy == nullptr) {
    out->vt = VT_NULL;
    return;
  }
  out->vt = VT_BSTR;
  out->bstrVal = copy;
}

std::u16string Ascii(const char* text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<char16_t>(*text));
  return wide;
}

}  // namespace

std::int64_t TruncateTowardZero(double number) {
  if (std::isnan(number)) return 0;
  // 2^63 is exact as a double; every double below it converts without
  // overflow, and -2^63 itself is representable.
  constexpr double kLimit = 9223372036854775808.0;
  if (number >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (number < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(number);
}

float RoundToSingle(double number) {
  if (std::isfinite(number)) {
    constexpr double kMax = std::numeric_limits<float>::max();
    // Halfway between FLT_MAX and the next power of two: from here on round
    // to nearest gives infinity (the tie goes to the even side, infinity).
    const double overflow = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
    const double magnitude = std::fabs(number);
    if (magnitude >= overflow) return static_cast<float>(std::copysign(HUGE_VAL, number));
    if (magnitude > kMax) return static_cast<float>(std::copysign(kMax, number));
  }
  return static_cast<float>(number);
}

std::int64_t ParseInt64(std::u16string_view text) {
  return ParseDecimal(text, std::numeric_limits<std::int64_t>::min(),
                      std::numeric_limits<std::int64_t>::max());
}

std::int32_t ParseLong(std::string_view text) {
  return static_cast<std::int32_t>(ParseDecimal(text, std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::int32_t>::max()));
}

bool ReadSourceValue(CIMTYPE type, const VARIANT& value, SourceValue* out) {
  SourceValue source;
  switch (type) {
    case CIM_STRING:
    case CIM_REFERENCE:
      source.is_text = true;
      if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        source.text = NarrowBstr(value.bstrVal);
      }
      break;
    case CIM_SINT32:
      source.number = static_cast<double>(static_cast<std::int32_t>(RawInteger(value)));
      break;
    case CIM_UINT32:
      source.number = static_cast<double>(static_cast<std::uint32_t>(RawInteger(value)));
      break;
    case CIM_REAL32:
      source.number = static_cast<double>(RoundToSingle(RawReal(value)));
      break;
    case CIM_REAL64:
      source.number = RawReal(value);
      break;
    case CIM_UINT8:
      source.number = static_cast<double>(static_cast<std::uint8_t>(RawInteger(value)));
      break;
    case CIM_SINT8:
      source.number = static_cast<double>(static_cast<std::int8_t>(RawInteger(value)));
      break;
    case CIM_BOOLEAN:
      // Only all sixteen bits set is true, as the variant's boolean defines it.
      source.number = static_cast<std::uint16_t>(RawInteger(value)) == 0xFFFF ? 1 : 0;
      break;
    case CIM_SINT16:
      source.number = static_cast<double>(static_cast<std::int16_t>(RawInteger(value)));
      break;
    case CIM_UINT16:
      source.number = static_cast<double>(static_cast<std::uint16_t>(RawInteger(value)));
      break;
    case CIM_SINT64:
    case CIM_UINT64:
      if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
        source.number = static_cast<double>(
            ParseInt64(std::u16string_view(value.bstrVal, SysStringLen(value.bstrVal))));
      }
      break;
    default:
      return false;
  }
  *out = std::move(source);
  return true;
}

bool BuildTargetValue(CIMTYPE type, const SourceValue& source, VARIANT* out) {
  VariantClear(out);
  const bool wants_text = type == CIM_STRING || type == CIM_REFERENCE;
  switch (type) {
    case CIM_STRING:
    case CIM_REFERENCE:
    case CIM_SINT32:
    case CIM_UINT32:
    case CIM_REAL32:
    case CIM_REAL64:
    case CIM_UINT8:
    case CIM_SINT8:
    case CIM_BOOLEAN:
    case CIM_SINT16:
    case CIM_UINT16:
    case CIM_UINT64:
    case CIM_SINT64:
      break;
    default:
      return false;
  }
  if (wants_text != source.is_text) return false;
  if (wants_text) {
    if (BSTR copy = NewBstr(source.text)) {
      out->vt = VT_BSTR;
      out->bstrVal = copy;
    } else {
      out->vt = VT_NULL;
    }
    return true;
  }

  const std::int64_t whole = TruncateTowardZero(source.number);
  // The low 32 bits, as the variants of the 32-bit types and the "%lu"/"%ld"
  // texts of the 64-bit types take them.
  const auto low32 = static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole));
  char digits[16];
  switch (type) {
    case CIM_SINT32:
      out->vt = VT_I4;
      out->lVal = static_cast<std::int32_t>(low32);
      break;
    case CIM_UINT32:
      out->vt = VT_UI4;
      out->ulVal = low32;
      break;
    case CIM_REAL32:
      out->vt = VT_R4;
      out->fltVal = RoundToSingle(source.number);
      break;
    case CIM_REAL64:
      out->vt = VT_R8;
      out->dblVal = source.number;
      break;
    case CIM_UINT8:
      out->vt = VT_UI1;
      out->bVal = static_cast<std::uint8_t>(low32);
      break;
    case CIM_SINT8:
      out->vt = VT_I1;
      out->cVal = static_cast<std::int8_t>(static_cast<std::uint8_t>(low32));
      break;
    case CIM_BOOLEAN:
      out->vt = VT_BOOL;
      out->boolVal = whole != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    case CIM_SINT16:
      out->vt = VT_I2;
      out->iVal = static_cast<std::int16_t>(static_cast<std::uint16_t>(low32));
      break;
    case CIM_UINT16:
      out->vt = VT_UI2;
      out->uiVal = static_cast<std::uint16_t>(low32);
      break;
    case CIM_UINT64:
      std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(low32));
      SetText(out, Ascii(digits));
      break;
    case CIM_SINT64:
      std::snprintf(digits, sizeof digits, "%ld",
                    static_cast<long>(static_cast<std::int32_t>(low32)));
      SetText(out, Ascii(digits));
      break;
    default:
      return false;
  }
  return true;
}

}  // namespace method_actions
