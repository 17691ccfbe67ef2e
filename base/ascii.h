// ASCII text helpers: case folding and white space, the one place that turns
// 'A'..'Z' into 'a'..'z'.
//
// Names in this system (event classes, rule events, WQL keywords, module and
// entry names, label names) compare without regard to case, and only ASCII
// letters fold: the answer is the same in every locale and never depends on
// <cctype>'s tables. Narrow text is UTF-8, whose multi-byte sequences use
// bytes >= 0x80 only, so folding never alters one; UTF-16 text folds the same
// way, unit by unit.
//
// Pure and thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// `text` with every ASCII capital lower-cased.
std::string AsciiLowered(std::string_view text);
std::u16string AsciiLowered(std::u16string_view text);

// Equal after folding both sides.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);

constexpr bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace base
