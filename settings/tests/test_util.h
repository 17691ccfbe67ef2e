// Helpers shared by the settings tests: byte literals, store and load.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "settings/archive.h"

namespace settings_test {

using Bytes = std::vector<std::uint8_t>;

// Concatenates byte groups, so that a test reads like the record it pins.
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The string record of a short text: its length byte, then its bytes.
inline Bytes Str(const std::string& s) {
  Bytes out(s.size() + 1);
  out[0] = static_cast<std::uint8_t>(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) out[i + 1] = static_cast<std::uint8_t>(s[i]);
  return out;
}

inline Bytes Long(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
          static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
}

template <typename T>
Bytes StoreOf(T& object) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  object.Serialize(ar);
  return out;
}

template <typename T>
Bytes StoreOf(T& object, std::int32_t version) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  object.Serialize(ar, version);
  return out;
}

// Loads `bytes` into `object` and checks that every byte was consumed.
template <typename T>
bool LoadAll(Bytes bytes, T& object) {
  CArchive ar(bytes, CArchive::load);
  object.Serialize(ar);
  return ar.GetRemaining() == 0;
}

template <typename T>
bool LoadAll(Bytes bytes, T& object, std::int32_t version) {
  CArchive ar(bytes, CArchive::load);
  object.Serialize(ar, version);
  return ar.GetRemaining() == 0;
}

}  // namespace settings_test
