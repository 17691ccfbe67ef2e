// CActionRule: the actions to run for one event class, each filed under an
// action name, in a CStringMap whose enumeration order is the order in which
// the actions are stored and become executors.
//
// The rule owns its actions: it destroys them when it is destroyed, cleared,
// assigned to or loaded, and when an action is replaced under the same name.
// Rules never share actions: a copy clones every action. A copy enumerates the
// actions of each chain in the reverse order of its source (see
// settings/string_map.h).
//
// Record: long A, then A entries in enumeration order, each the action name,
// the class name ("CBuiltInActionInfo", "CTaskActionInfo" or
// "CProgramActionInfo") and the action's record. Loading matches the class
// name ignoring letter case; an entry naming no known class loads no action
// and no action record, and loading goes on with the next entry. Storing an
// action that is none of the three kinds is refused with CArchiveException
// (cause notStorable): the format has no name for it, and dropping it would
// lose an action without a word.
//
// Loading throws CArchiveException on short or corrupt data; the rule then
// holds the actions loaded so far and is to be discarded. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "settings/action_info.h"
#include "settings/archive.h"
#include "settings/export.h"
#include "settings/object.h"
#include "settings/string_map.h"

class AM_EXPORT CActionRule : public CMapStringToOb {
  AM_DECLARE_SERIAL(CActionRule)

 public:
  using Actions = CStringMap<std::unique_ptr<CBaseActionInfo>>;
  using const_iterator = Actions::const_iterator;

  CActionRule() = default;
  CActionRule(const CActionRule& other);
  // Destroys every own action, then files a Clone of each of the source's
  // actions, in the source's enumeration order.
  CActionRule& operator=(const CActionRule& other);
  // Moves keep the order exactly and clone nothing.
  CActionRule(CActionRule&& other) noexcept;
  CActionRule& operator=(CActionRule&& other) noexcept;
  ~CActionRule() override;

  // Files `action` under `name`, destroying any action already filed there
  // (which keeps its place in the order). A null action is not filed: the
  // rule is left as it was and the result is false.
  bool SetAt(const std::string& name, std::unique_ptr<CBaseActionInfo> action);
  // The action filed under `name`, still owned by the rule, or null.
  CBaseActionInfo* Lookup(std::string_view name) const;
  // Destroys the action filed under `name`; false when there is none.
  bool RemoveKey(std::string_view name);
  int GetCount() const noexcept { return m_actions.GetCount(); }
  // Destroys every action.
  void ClearAll() noexcept { m_actions.RemoveAll(); }

  // Empties this rule, then takes every action of `source` in the order in
  // which assignment from it would have filed its clones. `source` ends empty.
  void TakeActionsFrom(CActionRule& source);

  using CMapStringToOb::Serialize;
  void Serialize(CArchive& ar, std::int32_t version);

  // (name, action) pairs in enumeration order; the actions stay the rule's.
  const_iterator begin() const noexcept { return m_actions.begin(); }
  const_iterator end() const noexcept { return m_actions.end(); }

 private:
  friend class CActionManagerSettings;

  // Writes the rule record; with `copy_order` the entries come in the order
  // in which a copy of this rule would enumerate them.
  void Store(CArchive& ar, std::int32_t version, bool copy_order) const;

  Actions m_actions;
};
