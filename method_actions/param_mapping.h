// The value conversions of a built-in action: from an event property to a
// method in-parameter, and the C-runtime style number readers they rely on.
//
// An event property's value becomes a source value by the property's CIM
// type: a text (strings and references) or a number held as a double (every
// numeric and boolean type; 64-bit integers arrive as decimal text and are
// parsed). The source then becomes the variant put into the method parameter,
// by the parameter's CIM type. Texts only feed string and reference
// parameters, numbers only numeric and boolean ones; anything else is a type
// mismatch.
//
// Pure functions, thread-safe, no allocation beyond the texts they return.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wbem/interfaces.h"

namespace method_actions {

struct SourceValue {
  bool is_text = false;
  std::string text;   // when is_text
  double number = 0;  // otherwise
};

// The source value of an event property of CIM type `type` holding `value`.
// False when the type is not supported (objects, datetimes, char16, arrays,
// unknown types); `*out` is then unchanged.
//
// A numeric property whose variant holds no number (VT_NULL, VT_EMPTY, a
// string, an object) reads as 0: that is what a null 64-bit property (no text,
// parsed as 0) and a null string property (the empty text) already give, so
// every null source maps to the zero of its kind.
bool ReadSourceValue(CIMTYPE type, const VARIANT& value, SourceValue* out);

// The variant for a method parameter of CIM type `type` from `source`, into
// `*out` (which must be initialised; it is cleared first). False, with `*out`
// VT_EMPTY, when the type is not supported or the source is of the wrong kind.
bool BuildTargetValue(CIMTYPE type, const SourceValue& source, VARIANT* out);

// The integer part of `number`, rounded toward zero. Numbers beyond the signed
// 64-bit range (infinities included) saturate at its ends, so the sign
// survives and a huge number stays "true"; NaN is no number at all and gives 0.
std::int64_t TruncateTowardZero(double number);

// `number` rounded to single precision as IEEE round-to-nearest does it, with
// finite values beyond the float range going to the infinity of their sign
// instead of being undefined.
float RoundToSingle(double number);

// A signed 64-bit decimal read as _wtoi64 reads it: leading white space
// (blank, \t \n \v \f \r), an optional sign, digits up to the first
// non-digit; no digits gives 0. Values beyond the range saturate, as the C
// runtime's overflow result does.
std::int64_t ParseInt64(std::u16string_view text);

// A signed 32-bit decimal read as atol reads it, with the same rules and the
// same saturation at the 32-bit range.
std::int32_t ParseLong(std::string_view text);

}  // namespace method_actions
