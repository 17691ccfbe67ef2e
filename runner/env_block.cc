#include "runner/env_block.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "runner/platform/environment.h"
#include "base/ascii.h"

namespace runner {
namespace {

constexpr std::int32_t kMinimumReserve = 128;
// Keeps every size computation (twice the capacity, length + twice the need)
// inside 32 bits.
constexpr std::int64_t kMaximumSize = std::numeric_limits<std::int32_t>::max() / 4;

enum class Place { kInsertHere, kSameName, kLater };

// Where `entry` goes relative to `current`: names end at "=", bytes compare
// as signed 8-bit values.
Place Compare(const char* entry, const char* current) {
  for (std::size_t i = 0;; ++i) {
    const char a = entry[i];
    const char b = current[i];
    const bool a_ends = a == '=';
    const bool b_ends = b == '=';
    if (a_ends && b_ends) return Place::kSameName;
    if (a_ends) return Place::kInsertHere;
    if (b_ends) return Place::kLater;
    if (a != b) {
      return static_cast<signed char>(a) < static_cast<signed char>(b) ? Place::kInsertHere
                                                                       : Place::kLater;
    }
    // Two identical texts without "=" (only the agent's own environment can
    // hold such an entry) are the same entry.
    if (a == '\0') return Place::kSameName;
  }
}

}  // namespace

CEnvBlock::~CEnvBlock() { std::free(m_pData); }

CEnvBlock::CEnvBlock(CEnvBlock&& other) noexcept
    : m_nCapacity(std::exchange(other.m_nCapacity, 0)),
      m_nLength(std::exchange(other.m_nLength, 0)),
      m_pData(std::exchange(other.m_pData, nullptr)) {}

CEnvBlock& CEnvBlock::operator=(CEnvBlock&& other) noexcept {
  if (this != &other) {
    std::free(m_pData);
    m_nCapacity = std::exchange(other.m_nCapacity, 0);
    m_nLength = std::exchange(other.m_nLength, 0);
    m_pData = std::exchange(other.m_pData, nullptr);
  }
  return *this;
}

bool CEnvBlock::Reserve(std::int32_t size) {
  size = std::max(size, kMinimumReserve);
  if (m_nCapacity < size) {
    if (m_pData != nullptr) {
      char* grown = static_cast<char*>(std::realloc(m_pData, static_cast<std::size_t>(size)));
      if (grown == nullptr) return false;
      m_pData = grown;
      m_nCapacity = size;
    } else {
      m_pData = static_cast<char*>(std::malloc(static_cast<std::size_t>(size)));
      if (m_pData == nullptr) return false;
      m_nCapacity = size;
      Clear();
    }
  }
  return m_pData != nullptr;
}

void CEnvBlock::Clear() {
  if (m_pData != nullptr) {
    m_pData[0] = '\0';
    m_pData[1] = '\0';
    m_nLength = 2;
  } else {
    m_nLength = 0;
    m_nCapacity = 0;
  }
}

void CEnvBlock::LoadFromProcess() {
  char* const* environment = platform::ProcessEnvironment();
  if (environment == nullptr) return;
  std::int64_t size = 1;
  for (char* const* entry = environment; *entry != nullptr; ++entry) {
    size += static_cast<std::int64_t>(std::strlen(*entry)) + 1;
    if (size > kMaximumSize) return;
  }
  if (!Reserve(static_cast<std::int32_t>(size))) return;
  char* out = m_pData;
  for (char* const* entry = environment; *entry != nullptr; ++entry) {
    const std::size_t bytes = std::strlen(*entry) + 1;
    std::memcpy(out, *entry, bytes);
    out += bytes;
  }
  *out = '\0';
  m_nLength = static_cast<std::int32_t>(size);
}

std::int32_t CEnvBlock::SetEntry(const char* entry) {
  if (entry == nullptr || *entry == '\0') return 0;
  const std::size_t text_length = std::strlen(entry);
  if (static_cast<std::int64_t>(text_length) >= kMaximumSize / 2) return 0;
  const std::int32_t need = static_cast<std::int32_t>(text_length) + 1;
  if (m_nCapacity <= m_nLength + need) {
    const std::int64_t wanted = std::max<std::int64_t>(2 * static_cast<std::int64_t>(m_nCapacity),
                                                       m_nLength + 2 * std::int64_t{need});
    if (wanted > kMaximumSize || !Reserve(static_cast<std::int32_t>(wanted))) return 0;
  }

  std::int32_t position = 0;
  while (position < m_nLength && m_pData[position] != '\0') {
    char* current = m_pData + position;
    const Place place = Compare(entry, current);
    if (place == Place::kInsertHere) break;
    const std::int32_t current_size = static_cast<std::int32_t>(std::strlen(current)) + 1;
    if (place == Place::kSameName) {
      if (current_size == need) {
        std::memcpy(current, entry, static_cast<std::size_t>(need));
        return need;
      }
      std::memmove(current, current + current_size,
                   static_cast<std::size_t>(m_nLength - position - current_size));
      m_nLength -= current_size;
      break;
    }
    position += current_size;
  }

  char* at = m_pData + position;
  std::memmove(at + need, at, static_cast<std::size_t>(m_nLength - position));
  std::memcpy(at, entry, static_cast<std::size_t>(need));
  m_nLength += need;
  return need;
}

void CEnvBlock::RemoveName(const char* name) {
  if (m_pData == nullptr || name == nullptr || *name == '\0') return;
  const std::string_view wanted(name);
  std::int32_t position = 0;
  for (;;) {
    const char* current = m_pData + position;
    const std::int32_t size = static_cast<std::int32_t>(strnlen(
                                  current, static_cast<std::size_t>(m_nLength - position))) +
                              1;
    if (position + size >= m_nLength) return;
    // An entry shorter than the name fails on its NUL byte, which no name holds.
    bool match = true;
    for (std::size_t i = 0; i < wanted.size() && match; ++i) {
      match = base::AsciiLower(current[i]) == base::AsciiLower(wanted[i]);
    }
    if (match) {
      std::memmove(m_pData + position, m_pData + position + size,
                   static_cast<std::size_t>(m_nLength - position - size));
      m_nLength -= size;
      return;
    }
    position += size;
  }
}

std::int32_t CEnvBlock::SetText(const char* name, const char* value) {
  if (name == nullptr || *name == '\0') return 0;
  std::string entry(name);
  entry += '=';
  entry += value != nullptr ? value : "---";
  return SetEntry(entry.c_str());
}

std::int32_t CEnvBlock::SetNumber(const char* name, std::int32_t number) {
  if (name == nullptr || *name == '\0') return 0;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", static_cast<int>(number));
  return SetText(name, digits);
}

void CEnvBlock::MergeFrom(const CEnvBlock& other) {
  // Every entry of a block is already in itself: merging it in changes nothing,
  // and skipping it keeps SetEntry from reading bytes that it moves.
  if (&other == this || other.m_pData == nullptr) return;
  for (std::string_view entry : other.Entries()) SetEntry(entry.data());
}

std::vector<std::string_view> CEnvBlock::Entries() const {
  std::vector<std::string_view> entries;
  std::int32_t position = 0;
  while (m_pData != nullptr && position < m_nLength && m_pData[position] != '\0') {
    std::string_view entry(m_pData + position);
    entries.push_back(entry);
    position += static_cast<std::int32_t>(entry.size()) + 1;
  }
  return entries;
}

}  // namespace runner
