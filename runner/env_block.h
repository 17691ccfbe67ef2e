// CEnvBlock: a child's environment as one growable block of NAME=value texts.
//
// Layout: entries, each closed by a NUL byte, followed by an empty entry (one
// more NUL). An empty block is two NUL bytes. `Length` counts every byte in use,
// all NULs included, which is what in-process modules receive with the data.
// Entries added through SetEntry stay sorted by name (bytes compared as signed
// 8-bit values, "=" ending a name), and an entry of the same name is replaced.
//
// Owns its data (C heap). Move-only. Not thread-safe.
// Failures never throw: a failed allocation leaves the block as it was and the
// operation reports 0 or false.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace runner {

class CEnvBlock {
 public:
  CEnvBlock() = default;
  ~CEnvBlock();
  CEnvBlock(CEnvBlock&& other) noexcept;
  CEnvBlock& operator=(CEnvBlock&& other) noexcept;
  CEnvBlock(const CEnvBlock&) = delete;
  CEnvBlock& operator=(const CEnvBlock&) = delete;

  // Makes room for at least `size` bytes (128 at least). A block without data
  // gets an empty block. True when the block has data afterwards.
  bool Reserve(std::int32_t size);

  // With data: two NUL bytes, length 2. Without: length and capacity 0.
  void Clear();

  // Replaces the contents with a copy of the agent's environment; unchanged
  // when that cannot be read or copied.
  void LoadFromProcess();

  // Adds or replaces NAME=value. Returns the bytes added (text length + 1), or
  // 0 when `entry` is null or empty or memory ran out.
  std::int32_t SetEntry(const char* entry);

  // Removes the first entry whose text *begins* with `name`, ignoring ASCII
  // case: "PATH" removes "PATHEXT=..." when that comes first.
  void RemoveName(const char* name);

  // SetEntry of name=value; a null value is written as "---". A null or empty
  // name does nothing and gives 0.
  std::int32_t SetText(const char* name, const char* value);

  // SetEntry of name=<number in decimal>; a null or empty name gives 0.
  std::int32_t SetNumber(const char* name, std::int32_t number);

  // SetEntry of every entry of `other`, in its order.
  void MergeFrom(const CEnvBlock& other);

  const char* Data() const { return m_pData; }  // null before the first Reserve
  std::int32_t Length() const { return m_nLength; }
  std::int32_t Capacity() const { return m_nCapacity; }

  // The entries before the closing empty entry, in order.
  std::vector<std::string_view> Entries() const;

 private:
  std::int32_t m_nCapacity = 0;
  std::int32_t m_nLength = 0;
  char* m_pData = nullptr;
};

}  // namespace runner
