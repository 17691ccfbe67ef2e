// CList<T>: the ordered list that the settings classes are built on (pairs of
// a parameter list, texts of a string list, numbers of a numeric list, flags).
// Elements are owned by value, kept in insertion order (appended at the tail,
// walked from the head), and duplicates are allowed. Position access is O(1).
//
// Not thread-safe; a list is used by one thread at a time.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "settings/export.h"

template <typename T>
class AM_EXPORT CList {
 public:
  using value_type = T;
  using iterator = typename std::vector<T>::iterator;
  using const_iterator = typename std::vector<T>::const_iterator;

  CList() = default;
  CList(std::initializer_list<T> items) : m_items(items) {}

  void AddTail(const T& item) { m_items.push_back(item); }
  void AddTail(T&& item) { m_items.push_back(std::move(item)); }

  int GetCount() const noexcept { return static_cast<int>(m_items.size()); }
  bool IsEmpty() const noexcept { return m_items.empty(); }
  void RemoveAll() noexcept { m_items.clear(); }

  // Position access; `index` must lie in 0 .. GetCount() - 1.
  const T& GetAt(int index) const { return m_items[static_cast<std::size_t>(index)]; }
  T& GetAt(int index) { return m_items[static_cast<std::size_t>(index)]; }
  void RemoveAt(int index) { m_items.erase(m_items.begin() + index); }
  bool IsValidIndex(int index) const noexcept { return index >= 0 && index < GetCount(); }

  iterator begin() noexcept { return m_items.begin(); }
  iterator end() noexcept { return m_items.end(); }
  const_iterator begin() const noexcept { return m_items.begin(); }
  const_iterator end() const noexcept { return m_items.end(); }

  bool operator==(const CList& other) const = default;

 private:
  std::vector<T> m_items;
};

using CStringList = CList<std::string>;
