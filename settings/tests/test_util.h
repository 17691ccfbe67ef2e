// Helpers shared by the settings tests: byte literals, store and load, and
// keys chosen by the chain of the 17-chain map they fall into.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "settings/action_info.h"
#include "settings/archive.h"
#include "settings/string_map.h"

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
  Bytes out(s.size() + 1, static_cast<std::uint8_t>(s.size()));
  std::copy(s.begin(), s.end(), out.begin() + 1);
  return out;
}

inline Bytes Word(std::uint16_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
}

inline Bytes Long(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return Cat({Word(static_cast<std::uint16_t>(u)), Word(static_cast<std::uint16_t>(u >> 16))});
}

// A built-in action with every member set to a value of its own.
inline CBuiltInActionInfo SampleBuiltIn() {
  CBuiltInActionInfo a;
  a.m_wExecLimit = 0x0102;
  a.m_strNamespace = "root\\zrv";
  a.m_strClassName = "Svc";
  a.m_strMethodName = "Restart";
  a.m_bClassCall = -7;
  a.m_KeyParams.AddTail(CParams("Name", "event_key"));
  a.m_InParams.AddTail(CParams("Why", "severity"));
  a.m_InParams.AddTail(CParams("Id", "EventId"));
  a.m_strDescriptiveName = "restart";
  a.m_strAux = "aux";
  return a;
}

// `version...` is empty for the records whose Serialize takes no version.
template <typename T, typename... Version>
Bytes StoreOf(T& object, Version... version) {
  Bytes out;
  CArchive ar(out, CArchive::store);
  object.Serialize(ar, version...);
  return out;
}

// Loads `bytes` into `object` and tells whether every byte was consumed.
template <typename T, typename... Version>
bool LoadAll(const Bytes& bytes, T& object, Version... version) {
  CArchive ar(bytes);
  object.Serialize(ar, version...);
  return ar.GetRemaining() == 0;
}

// The keys of any of the maps (rule, settings, string map) in enumeration order.
template <typename Map>
std::vector<std::string> Keys(const Map& map) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : map) keys.push_back(key);
  return keys;
}

// The first `how_many` keys "<stem><n>" that fall into `chain`.
inline std::vector<std::string> KeysInChain(int chain, int how_many,
                                            const std::string& stem = "k") {
  std::vector<std::string> keys;
  for (int i = 0; static_cast<int>(keys.size()) < how_many; ++i) {
    std::string key = stem + std::to_string(i);
    if (CStringMap<int>::ChainOf(key) == chain) keys.push_back(std::move(key));
  }
  return keys;
}

}  // namespace settings_test
