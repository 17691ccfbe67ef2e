// Text conversions at the repository boundary on the per-event path of the
// built-in action and the result event. Same results as wbem::Utf8ToUtf16 and
// wbem::Utf16ToUtf8 (U+FFFD for what cannot be converted), with a direct path
// for ASCII, which nearly every name and value is, so that one conversion is
// one allocation.
//
// Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "wbem/oleauto.h"

namespace actions {

// A new BSTR holding `utf8` as UTF-16; null when memory runs out. The caller
// owns it (SysFreeString).
BSTR NewBstr(std::string_view utf8);

// Writes `utf8` as UTF-16 into `out`, which has room for at least
// utf8.size() units (UTF-8 never needs more UTF-16 units than it has bytes);
// returns the number of units written. Nothing is terminated.
std::size_t WidenInto(std::string_view utf8, char16_t* out);

// `utf16` as narrow UTF-8 text.
std::string Narrow(std::u16string_view utf16);

// The text of a BSTR up to its length (embedded NULs included); "" for null.
inline std::string NarrowBstr(BSTR text) {
  return text == nullptr ? std::string() : Narrow({text, SysStringLen(text)});
}

}  // namespace actions
