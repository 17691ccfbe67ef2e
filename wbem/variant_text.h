// The text form of a variant: what the host framework's DecodeVariant gives,
// what the repository prints, and what tools show. Pure and thread-safe.
#pragma once

#include <string>

#include "wbem/oleauto.h"

namespace wbem {

// The text form of a variant, as the host framework's DecodeVariant gives it:
// integers in decimal (signed for VT_I*, unsigned for VT_UI*), reals in the
// shortest text that reads back to the same value ("nan", "inf" and "-inf" for
// the special values), VT_BOOL as TRUE or FALSE, VT_BSTR as UTF-8, VT_NULL and
// VT_EMPTY as the empty text. Other types (objects, errors, dates, currency)
// are refused: false, `*text` untouched.
bool FormatVariant(const VARIANT& value, std::string* text);

}  // namespace wbem
