#include "settings/archive.h"

#include <bit>
#include <cstring>
#include <limits>

#include "wbem/unicode.h"

CArchiveException::CArchiveException(Cause cause, std::size_t offset, std::string reason)
    : m_cause(cause),
      m_offset(offset),
      m_reason(std::move(reason)),
      m_what(m_reason + " at offset " + std::to_string(offset)) {}

CArchive::CArchive(std::vector<std::uint8_t>& buffer, Mode mode)
    : m_in(buffer), m_out(mode == store ? &buffer : nullptr), m_mode(mode) {}

CArchive::CArchive(const std::vector<std::uint8_t>& data)
    : m_in(data), m_out(nullptr), m_mode(load) {}

std::size_t CArchive::GetOffset() const noexcept { return IsStoring() ? m_out->size() : m_pos; }

std::size_t CArchive::GetRemaining() const noexcept {
  return IsStoring() ? 0 : m_in.size() - m_pos;
}

std::vector<std::uint8_t>& CArchive::Out() {
  if (m_out == nullptr) {
    throw CArchiveException(CArchiveException::notStorable, m_pos,
                            "the archive is open for loading");
  }
  return *m_out;
}

void CArchive::Need(std::size_t n, const char* what) const {
  if (IsStoring()) {
    throw CArchiveException(CArchiveException::endOfData, GetOffset(),
                            "the archive is open for storing");
  }
  const std::size_t left = m_in.size() - m_pos;
  if (n > left) {
    throw CArchiveException(CArchiveException::endOfData, m_pos,
                            std::string(what) + " needs " + std::to_string(n) + " bytes, " +
                                std::to_string(left) + " remain");
  }
}

// ---- storing ---------------------------------------------------------------

void CArchive::WriteWord(std::uint16_t value) {
  std::vector<std::uint8_t>& out = Out();
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void CArchive::WriteLong(std::int32_t value) {
  std::vector<std::uint8_t>& out = Out();
  const auto u = static_cast<std::uint32_t>(value);
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
                                 static_cast<std::uint8_t>(u >> 16),
                                 static_cast<std::uint8_t>(u >> 24)};
  out.insert(out.end(), bytes, bytes + 4);
}

void CArchive::WriteDouble(double value) {
  std::vector<std::uint8_t>& out = Out();
  const auto u = std::bit_cast<std::uint64_t>(value);
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(u >> (8 * i));
  out.insert(out.end(), bytes, bytes + 8);
}

void CArchive::WriteString(std::string_view text) {
  std::vector<std::uint8_t>& out = Out();
  const std::size_t n = text.size();
  if (n < 0xFF) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n < 0xFFFE) {
    out.push_back(0xFF);
    WriteWord(static_cast<std::uint16_t>(n));
  } else {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
      throw CArchiveException(CArchiveException::notStorable, GetOffset(),
                              "a string of " + std::to_string(n) + " bytes is too long");
    }
    out.push_back(0xFF);
    WriteWord(0xFFFF);
    WriteLong(static_cast<std::int32_t>(static_cast<std::uint32_t>(n)));
  }
  out.insert(out.end(), text.begin(), text.end());
}

void CArchive::WriteBytes(const std::vector<std::uint8_t>& block) {
  std::vector<std::uint8_t>& out = Out();
  const std::size_t n = block.size();
  if (n < 0xFFFF) {
    WriteWord(static_cast<std::uint16_t>(n));
  } else {
    if (n > std::numeric_limits<std::uint32_t>::max()) {
      throw CArchiveException(CArchiveException::notStorable, GetOffset(),
                              "a byte block of " + std::to_string(n) + " bytes is too long");
    }
    WriteWord(0xFFFF);
    WriteLong(static_cast<std::int32_t>(static_cast<std::uint32_t>(n)));
  }
  out.insert(out.end(), block.begin(), block.end());
}

void CArchive::WriteCount(std::size_t count) {
  if (count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw CArchiveException(CArchiveException::notStorable, GetOffset(),
                            "a count of " + std::to_string(count) + " does not fit a long");
  }
  WriteLong(static_cast<std::int32_t>(count));
}

// ---- loading ---------------------------------------------------------------

std::uint16_t CArchive::ReadWord() {
  Need(2, "a word");
  const std::uint8_t* p = m_in.data() + m_pos;
  m_pos += 2;
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t CArchive::ReadU32() {
  Need(4, "a long");
  const std::uint8_t* p = m_in.data() + m_pos;
  m_pos += 4;
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t CArchive::ReadLong() { return static_cast<std::int32_t>(ReadU32()); }

double CArchive::ReadDouble() {
  Need(8, "a double");
  const std::uint8_t* p = m_in.data() + m_pos;
  m_pos += 8;
  std::uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = (u << 8) | p[i];
  return std::bit_cast<double>(u);
}

std::size_t CArchive::ReadStringLength(bool allow_wide_marker, bool& wide) {
  const std::size_t start = m_pos;
  Need(1, "a string length");
  const std::uint8_t b = m_in[m_pos++];
  if (b < 0xFF) return b;
  const std::uint16_t w = ReadWord();
  if (w == 0xFFFF) return ReadU32();
  if (w == 0xFFFE) {
    // Only one wide marker may precede a length; a second one is no writer's.
    if (!allow_wide_marker) {
      throw CArchiveException(CArchiveException::badString, start,
                              "a wide string marker inside a wide string prefix");
    }
    wide = true;
    return ReadStringLength(false, wide);
  }
  return w;
}

std::string CArchive::ReadString() {
  const std::size_t start = m_pos;
  bool wide = false;
  const std::size_t n = ReadStringLength(true, wide);
  const std::size_t left = GetRemaining();
  if (!wide) {
    if (n > left) {
      throw CArchiveException(
          CArchiveException::badLength, start,
          "a string of " + std::to_string(n) + " bytes, " + std::to_string(left) + " remain");
    }
    std::string text(reinterpret_cast<const char*>(m_in.data() + m_pos), n);
    m_pos += n;
    return text;
  }
  // A string written by a wide-character writer of the same format: UTF-16LE
  // code units. This library never writes it, but reading it into the narrow
  // text the rest of the library uses costs little and loses nothing.
  if (n > left / 2) {
    throw CArchiveException(CArchiveException::badLength, start,
                            "a wide string of " + std::to_string(n) + " units, " +
                                std::to_string(left) + " bytes remain");
  }
  std::u16string units(n, u'\0');
  const std::uint8_t* p = m_in.data() + m_pos;
  for (std::size_t i = 0; i < n; ++i) {
    units[i] = static_cast<char16_t>(p[2 * i] | (p[2 * i + 1] << 8));
  }
  m_pos += 2 * n;
  return wbem::Utf16ToUtf8(units);
}

std::vector<std::uint8_t> CArchive::ReadBytes() {
  const std::size_t start = m_pos;
  std::size_t n = ReadWord();
  if (n == 0xFFFF) n = ReadU32();
  const std::size_t left = GetRemaining();
  if (n > left) {
    throw CArchiveException(
        CArchiveException::badLength, start,
        "a byte block of " + std::to_string(n) + " bytes, " + std::to_string(left) + " remain");
  }
  std::vector<std::uint8_t> block(m_in.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                  m_in.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
  m_pos += n;
  return block;
}

std::int32_t CArchive::ReadCount(std::size_t min_element_bytes) {
  const std::size_t start = m_pos;
  const std::int32_t count = ReadLong();
  const std::size_t left = GetRemaining();
  if (count > 0 && static_cast<std::size_t>(count) > left / min_element_bytes) {
    throw CArchiveException(CArchiveException::badCount, start,
                            "a count of " + std::to_string(count) + " with " +
                                std::to_string(left) + " bytes remaining");
  }
  return count;
}
