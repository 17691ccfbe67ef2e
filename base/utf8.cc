#include "base/utf8.h"

namespace base {

Utf8Sequence DecodeUtf8(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t extra;
  char32_t cp;
  char32_t min;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, min = 0x10000;
  } else {
    return {};
  }
  std::size_t length = 1;
  for (; length <= extra && length < text.size() && (byte(length) & 0xC0) == 0x80; ++length) {
    cp = (cp << 6) | (byte(length) & 0x3F);
  }
  if (length != extra + 1 || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {kReplacementCharacter, length, false};
  }
  return {cp, length, true};
}

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool IsUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const Utf8Sequence sequence = DecodeUtf8(bytes);
    if (!sequence.valid) return false;
    bytes.remove_prefix(sequence.length);
  }
  return true;
}

std::string ToValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Sequence sequence = DecodeUtf8(bytes);
    if (sequence.valid && sequence.code_point != 0) {
      out.append(bytes.substr(0, sequence.length));
    } else {
      AppendUtf8(&out, kReplacementCharacter);
    }
    bytes.remove_prefix(sequence.length);
  }
  return out;
}

}  // namespace base
