#include "base/ascii.h"

namespace base {
namespace {

template <typename Char>
std::basic_string<Char> Lowered(std::basic_string_view<Char> text) {
  std::basic_string<Char> out(text);
  for (Char& c : out) c = AsciiLower(c);
  return out;
}

template <typename Char>
bool Equal(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::string AsciiLowered(std::string_view text) { return Lowered(text); }
std::u16string AsciiLowered(std::u16string_view text) { return Lowered(text); }
bool EqualsIgnoreCase(std::string_view a, std::string_view b) { return Equal(a, b); }
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) { return Equal(a, b); }

}  // namespace base
