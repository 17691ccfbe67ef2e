// Hex digits: the one encoder and decoder of bytes as two digits each.
//
// Encoding writes lower-case digits unless told otherwise; decoding takes
// either case. Pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace base {

enum class HexCase { kLower, kUpper };

// The value of one hex digit; -1 when `c` is none.
int HexDigit(char c);

// Appends the two digits of `byte` to `*out`.
void AppendHexByte(std::string* out, unsigned char byte, HexCase letters = HexCase::kLower);

// Every byte as two digits.
std::string ToHex(std::string_view bytes, HexCase letters = HexCase::kLower);

// The bytes that `hex` (an even number of digits, either case) encodes;
// nullopt when it is not that.
std::optional<std::string> FromHex(std::string_view hex);

}  // namespace base
