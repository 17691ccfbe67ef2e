// UTF-8 <-> UTF-16 conversion for the boundary between the component's narrow
// text (UTF-8 bytes in std::string) and the repository's wide text (char16_t).
//
// Conversions never fail: an unpaired surrogate, an invalid or truncated UTF-8
// sequence, an overlong form or a code point above U+10FFFF becomes U+FFFD.
// The UTF-8 byte rules come from base/utf8.h; these add the UTF-16 side.
// Both functions are pure and thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace wbem {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Length of a NUL-terminated UTF-16 text; 0 for nullptr.
std::size_t Utf16Length(const char16_t* text);

}  // namespace wbem
