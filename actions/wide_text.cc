#include "actions/wide_text.h"

#include <cstdint>

#include "wbem/unicode.h"

namespace actions {
namespace {

template <typename Char>
bool IsAscii(std::basic_string_view<Char> text) {
  for (Char c : text) {
    if (static_cast<std::uint32_t>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

BSTR NewBstr(std::string_view utf8) {
  if (!IsAscii(utf8)) {
    const std::u16string wide = wbem::Utf8ToUtf16(utf8);
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  }
  BSTR copy = SysAllocStringLen(nullptr, static_cast<UINT>(utf8.size()));
  if (copy == nullptr) return nullptr;
  for (std::size_t i = 0; i < utf8.size(); ++i) copy[i] = static_cast<char16_t>(utf8[i]);
  return copy;
}

std::size_t WidenInto(std::string_view utf8, char16_t* out) {
  if (!IsAscii(utf8)) {
    const std::u16string wide = wbem::Utf8ToUtf16(utf8);
    return wide.copy(out, wide.size());
  }
  for (std::size_t i = 0; i < utf8.size(); ++i) out[i] = static_cast<char16_t>(utf8[i]);
  return utf8.size();
}

std::string Narrow(std::u16string_view utf16) {
  if (!IsAscii(utf16)) return wbem::Utf16ToUtf8(utf16);
  std::string narrow(utf16.size(), '\0');
  for (std::size_t i = 0; i < utf16.size(); ++i) narrow[i] = static_cast<char>(utf16[i]);
  return narrow;
}

}  // namespace actions
