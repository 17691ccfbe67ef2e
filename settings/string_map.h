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
// The chains only give the order: an open-addressing index beside them finds
// a key in O(1), so no look-up ever walks a chain. Each entry is one node,
// linked into its chain and pointed at by the index.
//
// The map owns its values. References to values stay valid until their entry
// is removed. Not thread-safe.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

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
  // One allocation per entry: the pair, its links within its chain, and the
  // index hash (a stronger hash than HashKey, which only orders).
  struct Node {
    template <typename... Args>
    explicit Node(const std::string& key, Args&&... args)
        : kv(std::piecewise_construct, std::forward_as_tuple(key),
             std::forward_as_tuple(std::forward<Args>(args)...)) {}
    value_type kv;
    Node* next = nullptr;
    Node* prev = nullptr;
    std::size_t hash = 0;
    int chain = 0;
  };
  using Heads = std::array<Node*, kChains>;

  template <bool kConst>
  class Iter {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = CStringMap::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = std::conditional_t<kConst, const value_type&, value_type&>;
    using pointer = std::conditional_t<kConst, const value_type*, value_type*>;

    Iter() = default;
    Iter(const Heads* heads, int chain, Node* node) : m_heads(heads), m_chain(chain), m_node(node) {
      SkipEmpty();
    }
    operator Iter<true>() const { return Iter<true>(m_heads, m_chain, m_node); }  // NOLINT

    reference operator*() const { return m_node->kv; }
    pointer operator->() const { return &m_node->kv; }
    Iter& operator++() {
      m_node = m_node->next;
      SkipEmpty();
      return *this;
    }
    Iter operator++(int) {
      Iter old = *this;
      ++*this;
      return old;
    }
    bool operator==(const Iter& other) const { return m_node == other.m_node; }

   private:
    void SkipEmpty() {
      while (m_node == nullptr && m_heads != nullptr && ++m_chain < kChains) {
        m_node = (*m_heads)[m_chain];
      }
    }
    const Heads* m_heads = nullptr;
    int m_chain = kChains;
    Node* m_node = nullptr;
  };

 public:
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  CStringMap() = default;
  ~CStringMap() { RemoveAll(); }

  // Copies enumerate the source into the emptied target (see above).
  CStringMap(const CStringMap& other) requires std::copy_constructible<V> {
    Reserve(other.m_count);
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
    m_heads.swap(other.m_heads);
    m_slots.swap(other.m_slots);
    std::swap(m_count, other.m_count);
  }

  // The value filed under `key`, created default-constructed at the front of
  // its chain when the key is new.
  V& operator[](const std::string& key) { return FindOrCreate(key)->kv.second; }

  // Files `value` under `key`: replaces the value of an existing key in place,
  // or adds the key at the front of its chain.
  void SetAt(const std::string& key, V value) { FindOrCreate(key)->kv.second = std::move(value); }

  // The value filed under `key`, or null.
  V* Lookup(std::string_view key) {
    Node* node = Find(key, IndexHash(key));
    return node ? &node->kv.second : nullptr;
  }
  const V* Lookup(std::string_view key) const {
    const Node* node = Find(key, IndexHash(key));
    return node ? &node->kv.second : nullptr;
  }

  // Removes the entry filed under `key`; false when there is none.
  bool RemoveKey(std::string_view key) {
    const std::size_t hash = IndexHash(key);
    if (m_slots.empty()) return false;
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hash & mask;
    while (m_slots[i] != nullptr && !Matches(m_slots[i], key, hash)) i = (i + 1) & mask;
    Node* node = m_slots[i];
    if (node == nullptr) return false;
    // Backward-shift deletion keeps every later key of the probe run
    // reachable without tombstones.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; m_slots[j] != nullptr; j = (j + 1) & mask) {
      const std::size_t home = m_slots[j]->hash & mask;
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        m_slots[hole] = m_slots[j];
        hole = j;
      }
    }
    m_slots[hole] = nullptr;
    --m_count;
    Unlink(node);
    delete node;
    return true;
  }

  void RemoveAll() noexcept {
    for (Node*& head : m_heads) {
      for (Node* node = head; node != nullptr;) {
        Node* next = node->next;
        delete node;
        node = next;
      }
      head = nullptr;
    }
    std::fill(m_slots.begin(), m_slots.end(), nullptr);
    m_count = 0;
  }

  // Prepares the index for `count` keys in all, so that filing them does not
  // grow it along the way. Callers pass counts backed by data they hold.
  void Reserve(std::size_t count) {
    std::size_t capacity = 8;
    while (capacity * 3 < count * 4) capacity *= 2;
    if (capacity > m_slots.size()) Rehash(capacity);
  }

  int GetCount() const noexcept { return static_cast<int>(m_count); }
  bool IsEmpty() const noexcept { return m_count == 0; }

  // Empties this map, then files each entry of `source`, in the source's
  // enumeration order, by moving its value. The result enumerates exactly as
  // a copy would, without copying a value. `source` ends empty.
  void MoveEntriesFrom(CStringMap& source) {
    if (this == &source) return;
    RemoveAll();
    Swap(source);
    // Filing entries one by one at the front of their chains reverses each
    // chain, so relinking the nodes gives that order without moving or
    // allocating anything.
    for (Node*& head : m_heads) {
      Node* node = head;
      while (node != nullptr) {
        Node* next = node->next;
        std::swap(node->next, node->prev);
        head = node;
        node = next;
      }
    }
  }

  // Calls fn(key, value) in the order in which a copy of this map would
  // enumerate: chains 0 to 16, each from back to front.
  template <typename Fn>
  void ForEachInCopyOrder(Fn&& fn) const {
    for (const Node* head : m_heads) {
      const Node* tail = head;
      while (tail != nullptr && tail->next != nullptr) tail = tail->next;
      for (const Node* node = tail; node != nullptr; node = node->prev) {
        fn(node->kv.first, node->kv.second);
      }
    }
  }

  iterator begin() noexcept { return iterator(&m_heads, 0, m_heads[0]); }
  iterator end() noexcept { return iterator(); }
  const_iterator begin() const noexcept { return const_iterator(&m_heads, 0, m_heads[0]); }
  const_iterator end() const noexcept { return const_iterator(); }

 private:
  static std::size_t IndexHash(std::string_view key) noexcept {
    return std::hash<std::string_view>{}(key);
  }
  static bool Matches(const Node* node, std::string_view key, std::size_t hash) noexcept {
    return node->hash == hash && node->kv.first == key;
  }

  Node* Find(std::string_view key, std::size_t hash) const noexcept {
    if (m_slots.empty()) return nullptr;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t i = hash & mask; m_slots[i] != nullptr; i = (i + 1) & mask) {
      if (Matches(m_slots[i], key, hash)) return m_slots[i];
    }
    return nullptr;
  }

  void Rehash(std::size_t capacity) {
    std::vector<Node*> slots(capacity, nullptr);
    const std::size_t mask = capacity - 1;
    for (Node* head : m_heads) {
      for (Node* node = head; node != nullptr; node = node->next) {
        std::size_t i = node->hash & mask;
        while (slots[i] != nullptr) i = (i + 1) & mask;
        slots[i] = node;
      }
    }
    m_slots.swap(slots);
  }

  Node* FindOrCreate(const std::string& key) {
    const std::size_t hash = IndexHash(key);
    if (Node* found = Find(key, hash)) return found;
    // Grow first and build the node second: if either throws, the map is
    // unchanged.
    if ((m_count + 1) * 4 > m_slots.size() * 3) Rehash(m_slots.empty() ? 8 : m_slots.size() * 2);
    auto node = std::make_unique<Node>(key);
    node->hash = hash;
    node->chain = ChainOf(key);
    const std::size_t mask = m_slots.size() - 1;
    std::size_t i = hash & mask;
    while (m_slots[i] != nullptr) i = (i + 1) & mask;
    m_slots[i] = node.get();
    ++m_count;
    Node*& head = m_heads[node->chain];
    node->next = head;
    if (head != nullptr) head->prev = node.get();
    head = node.release();
    return head;
  }

  void Unlink(Node* node) noexcept {
    if (node->prev != nullptr) {
      node->prev->next = node->next;
    } else {
      m_heads[node->chain] = node->next;
    }
    if (node->next != nullptr) node->next->prev = node->prev;
  }

  Heads m_heads{};
  // Open addressing with linear probing over the nodes; size a power of two,
  // at most three quarters full.
  std::vector<Node*> m_slots;
  std::size_t m_count = 0;
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
