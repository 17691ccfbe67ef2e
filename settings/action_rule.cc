#include "settings/action_rule.h"

#include <utility>

#include "base/ascii.h"

AM_IMPLEMENT_SERIAL(CActionRule, CMapStringToOb)

namespace {

constexpr const char* kBuiltInName = "CBuiltInActionInfo";
constexpr const char* kTaskName = "CTaskActionInfo";
constexpr const char* kProgramName = "CProgramActionInfo";

std::unique_ptr<CBaseActionInfo> CreateByName(std::string_view class_name) {
  if (base::EqualsIgnoreCase(class_name, kBuiltInName)) return std::make_unique<CBuiltInActionInfo>();
  if (base::EqualsIgnoreCase(class_name, kTaskName)) return std::make_unique<CTaskActionInfo>();
  if (base::EqualsIgnoreCase(class_name, kProgramName)) return std::make_unique<CProgramActionInfo>();
  return nullptr;
}

const char* StoredClassName(const CBaseActionInfo& action) {
  if (action.IsKindOf(&CBuiltInActionInfo::classCBuiltInActionInfo)) return kBuiltInName;
  if (action.IsKindOf(&CTaskActionInfo::classCTaskActionInfo)) return kTaskName;
  if (action.IsKindOf(&CProgramActionInfo::classCProgramActionInfo)) return kProgramName;
  return nullptr;
}

void StoreEntry(CArchive& ar, std::int32_t version, const std::string& name,
                const CBaseActionInfo& action) {
  const char* class_name = StoredClassName(action);
  if (class_name == nullptr) {
    throw CArchiveException(CArchiveException::notStorable, ar.GetOffset(),
                            "action \"" + name + "\" of class " +
                                action.GetRuntimeClass()->m_lpszClassName + " has no record");
  }
  ar.WriteString(name);
  ar.WriteString(class_name);
  // Storing never changes the action; Serialize is one operation for both
  // directions and therefore not const.
  const_cast<CBaseActionInfo&>(action).Serialize(ar, version);
}

}  // namespace

CActionRule::CActionRule(const CActionRule& other) : CMapStringToOb() { *this = other; }

CActionRule& CActionRule::operator=(const CActionRule& other) {
  if (this == &other) return *this;
  // Clone everything first, so that a failed clone leaves this rule intact.
  Actions copy;
  for (const auto& [name, action] : other.m_actions) copy.SetAt(name, action->Clone());
  m_actions.Swap(copy);
  return *this;
}

CActionRule::CActionRule(CActionRule&& other) noexcept : CMapStringToOb() {
  m_actions.Swap(other.m_actions);
}

CActionRule& CActionRule::operator=(CActionRule&& other) noexcept {
  if (this != &other) {
    m_actions.RemoveAll();
    m_actions.Swap(other.m_actions);
  }
  return *this;
}

CActionRule::~CActionRule() { ClearAll(); }

bool CActionRule::SetAt(const std::string& name, std::unique_ptr<CBaseActionInfo> action) {
  if (!action) return false;
  m_actions.SetAt(name, std::move(action));
  return true;
}

CBaseActionInfo* CActionRule::Lookup(std::string_view name) const {
  const auto* found = m_actions.Lookup(name);
  return found ? found->get() : nullptr;
}

bool CActionRule::RemoveKey(std::string_view name) { return m_actions.RemoveKey(name); }

void CActionRule::TakeActionsFrom(CActionRule& source) {
  m_actions.MoveEntriesFrom(source.m_actions);
}

void CActionRule::Store(CArchive& ar, std::int32_t version, bool copy_order) const {
  ar.WriteCount(static_cast<std::size_t>(m_actions.GetCount()));
  if (copy_order) {
    m_actions.ForEachInCopyOrder([&](const std::string& name, const auto& action) {
      StoreEntry(ar, version, name, *action);
    });
  } else {
    for (const auto& [name, action] : m_actions) StoreEntry(ar, version, name, *action);
  }
}

void CActionRule::Serialize(CArchive& ar, std::int32_t version) {
  if (ar.IsStoring()) {
    Store(ar, version, false);
    return;
  }
  ClearAll();
  // An entry is at least two one-byte string prefixes.
  const std::int32_t count = ar.ReadCount(2);
  for (std::int32_t i = 0; i < count; ++i) {
    std::string name = ar.ReadString();
    const std::size_t class_offset = ar.GetOffset();
    std::string class_name = ar.ReadString();
    std::unique_ptr<CBaseActionInfo> action = CreateByName(class_name);
    if (!action) {
      ar.NoteSkipped({class_offset, {}, std::move(name), std::move(class_name)});
      continue;
    }
    action->Serialize(ar, version);
    m_actions.SetAt(name, std::move(action));
  }
}
