// UTF-8 byte rules: decoding one sequence and encoding one code point.
//
// Both the kit's UTF-16 conversions (wbem/unicode.h) and code that never sees
// UTF-16 (the JSON output's plain-or-hex choice, the escaping of a program's
// output lines) need them, and base/ cannot see the kit, so the rules live
// here once and wbem/unicode.cc builds its conversions on them.
//
// Valid means: shortest form, no surrogate (U+D800..U+DFFF), nothing above
// U+10FFFF. Pure and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The sequence at the start of a text.
struct Utf8Sequence {
  char32_t code_point = kReplacementCharacter;  // U+FFFD when not valid
  // Bytes it takes, at least 1. An invalid sequence takes its lead and the
  // continuation bytes that follow it, up to the count the lead announces, so
  // that a sequence cut short ends at the byte that cut it.
  std::size_t length = 1;
  bool valid = false;
};

// Decodes the sequence at the start of `text`, which must not be empty.
Utf8Sequence DecodeUtf8(std::string_view text);

// Appends `code_point` (at most U+10FFFF) as UTF-8.
void AppendUtf8(std::string* out, char32_t code_point);

// True when every sequence of `bytes` is valid.
bool IsUtf8(std::string_view bytes);

// `bytes` as text any store or JSON takes: each invalid sequence, and each
// NUL, becomes U+FFFD.
std::string ToValidUtf8(std::string_view bytes);

}  // namespace base
