// CStringMap<V>: the string-keyed hash map of the settings (a rule's actions,
// the settings' rules) whose order of enumeration is part of the system's
// behaviour: it decides the order in which rules are stored and copied and in
// which a rule's actions are stored and run.
//
// Order: 17 chains, no rehashing. A key's chain is H mod 17, with H computed
// over the key's bytes from 0 as H := H * 33 + byte in unsigned 32-bit
// arithmetic. Bytes count as unsigned (0..255): the order of keys with bytes
// above 0x7F then does not depend on whether the compiler's char is signed,
// so it is the same on every platform the library is built for. A key added
// for the first time goes to the front of its chain; a new value for an
// existing key keeps its place. Enumeration visits chains 0 to 16, each from
// front to back. Keys compare exactly (bytes, case-sensitive).
//
// Copying enumerates the source and adds each entry to the emptied target, so
// within a chain a copy enumerates in the reverse order of its source while
// the chains keep their order.
//
// The chains only give the order: an index beside them finds a key in O(1),
// so no look-up ever walks a chain.
//
// The map owns its values. References to values stay valid until their entry
// is removed. Not thread-safe.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <iterator>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "settings/export.h"
#include "settings/object.h"

template <typename V>
class AM_EXPORT CStringMap {
 public:
  static constexpr int kChains = 17;
  using value_type = std::pair<const std::string, V>;

  static constexpr std::uint32_t HashKey(std::string_view key) noexcept {
    std::uint32_t h = 0;
    for (const char c : key) h = h * 33u + static_cast<unsigned char>(c);
    return h;
  }
  static constexpr int ChainOf(std::string_view key) noexcept {
    return static_cast<int>(HashKey(key) % kChains);
  }

 private:
  using Chain = std::list<value_type>;
  using Chains = std::array<Chain, kChains>;

  template <bool kConst>
  class Iter {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = CStringMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<kConst, const value_type&, value_type&>;
    using pointer = std::conditional_t<kConst, const value_type*, value_type*>;
    using ChainsPtr = std::conditional_t<kConst, const Chains*, Chains*>;
    using ChainIt =
        std::conditional_t<kConst, typename Chain::const_iterator, typename Chain::iterator>;

    Iter() = default;
    Iter(ChainsPtr chains, int chain, ChainIt it) : m_chains(chains), m_chain(chain), m_it(it) {
      SkipEmpty();
    }
    operator Iter<true>() const { return Iter<true>(m_chains, m_chain, m_it); }  // NOLINT

    reference operator*() const { return *m_it; }
    pointer operator->() const { return &*m_it; }
    Iter& operator++() {
      ++m_it;
      SkipEmpty();
      return *this;
    }
    Iter operator++(int) {
      Iter old = *this;
      ++*this;
      return old;
    }
    bool operator==(const Iter& other) const {
      return m_chain == other.m_chain && (m_chain == kChains || m_it == other.m_it);
    }

   private:
    void SkipEmpty() {
      while (m_chain < kChains && m_it == (*m_chains)[m_chain].end()) {
        if (++m_chain < kChains) m_it = (*m_chains)[m_chain].begin();
      }
    }
    ChainsPtr m_chains = nullptr;
    int m_chain = kChains;
    ChainIt m_it{};
  };

 public:
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  CStringMap() = default;
  ~CStringMap() = default;

  // Copies enumerate the source into the emptied target (see above).
  CStringMap(const CStringMap& other) requires std::copy_constructible<V> {
    for (const auto& [key, value] : other) SetAt(key, value);
  }
  CStringMap& operator=(const CStringMap& other) requires std::copy_constructible<V> {
    if (this != &other) {
      CStringMap copy(other);
      Swap(copy);
    }
    return *this;
  }
  // Moves keep the order exactly.
  CStringMap(CStringMap&& other) noexcept { Swap(other); }
  CStringMap& operator=(CStringMap&& other) noexcept {
    if (this != &other) {
      RemoveAll();
      Swap(other);
    }
    return *this;
  }

  void Swap(CStringMap& other) noexcept {
    m_chains.swap(other.m_chains);
    m_index.swap(other.m_index);
  }

  // The value filed under `key`, created default-constructed at the front of
  // its chain when the key is new.
  V& operator[](const std::string& key) { return FindOrCreate(key)->second; }

  // Files `value` under `key`: replaces the value of an existing key in place,
  // or adds the key at the front of its chain.
  void SetAt(const std::string& key, V value) { FindOrCreate(key)->second = std::move(value); }

  // The value filed under `key`, or null.
  V* Lookup(std::string_view key) {
    const auto it = m_index.find(key);
    return it == m_index.end() ? nullptr : &it->second->second;
  }
  const V* Lookup(std::string_view key) const {
    const auto it = m_index.find(key);
    return it == m_index.end() ? nullptr : &it->second->second;
  }

  // Removes the entry filed under `key`; false when there is none.
  bool RemoveKey(std::string_view key) {
    const auto it = m_index.find(key);
    if (it == m_index.end()) return false;
    const auto node = it->second;
    m_index.erase(it);
    m_chains[ChainOf(node->first)].erase(node);
    return true;
  }

  void RemoveAll() noexcept {
    m_index.clear();
    for (Chain& chain : m_chains) chain.clear();
  }

  // Prepares the index for `count` keys in all, so that filing them does not
  // rehash along the way. Callers pass counts backed by data they hold.
  void Reserve(std::size_t count) { m_index.reserve(count); }

  int GetCount() const noexcept { return static_cast<int>(m_index.size()); }
  bool IsEmpty() const noexcept { return m_index.empty(); }

  // Empties this map, then files each entry of `source`, in the source's
  // enumeration order, by moving its value. The result enumerates exactly as
  // a copy would, without copying a value. `source` ends empty.
  void MoveEntriesFrom(CStringMap& source) {
    if (this == &source) return;
    RemoveAll();
    Swap(source);
    // Filing entries one by one at the front of their chains reverses each
    // chain, so relinking the nodes gives the same order without moving or
    // allocating anything; the index stays valid because no node moves.
    for (Chain& chain : m_chains) chain.reverse();
  }

  // Calls fn(key, value) in the order in which a copy of this map would
  // enumerate: chains 0 to 16, each from back to front.
  template <typename Fn>
  void ForEachInCopyOrder(Fn&& fn) const {
    for (const Chain& chain : m_chains) {
      for (auto it = chain.rbegin(); it != chain.rend(); ++it) fn(it->first, it->second);
    }
  }

  iterator begin() noexcept { return iterator(&m_chains, 0, m_chains[0].begin()); }
  iterator end() noexcept { return iterator(); }
  const_iterator begin() const noexcept {
    return const_iterator(&m_chains, 0, m_chains[0].begin());
  }
  const_iterator end() const noexcept { return const_iterator(); }

 private:
  typename Chain::iterator FindOrCreate(const std::string& key) {
    const auto it = m_index.find(key);
    if (it != m_index.end()) return it->second;
    Chain& chain = m_chains[ChainOf(key)];
    chain.emplace_front(std::piecewise_construct, std::forward_as_tuple(key),
                        std::forward_as_tuple());
    try {
      m_index.emplace(std::string_view(chain.front().first), chain.begin());
    } catch (...) {
      chain.pop_front();
      throw;
    }
    return chain.begin();
  }

  Chains m_chains;
  // Keys are views of the keys held in the chains' nodes, which never move.
  std::unordered_map<std::string_view, typename Chain::iterator> m_index;
};

// The run-time identity of the string-keyed object maps, the registered base
// of CActionRule. It holds nothing itself: the derived class keeps a typed
// CStringMap so that its values are what it says they are.
class AM_EXPORT CMapStringToOb : public CObject {
  AM_DECLARE_DYNAMIC(CMapStringToOb)

 public:
  CMapStringToOb() = default;
  ~CMapStringToOb() override = default;

 protected:
  CMapStringToOb(const CMapStringToOb&) = default;
  CMapStringToOb& operator=(const CMapStringToOb&) = default;
};
