#include "settings/action_info.h"

#include <cstring>
#include <string_view>

#include "settings/archive_fields.h"

AM_IMPLEMENT_SERIAL(CBaseActionInfo, CObject)
AM_IMPLEMENT_SERIAL(CBuiltInActionInfo, CBaseActionInfo)
AM_IMPLEMENT_SERIAL(CTaskActionInfo, CBaseActionInfo)
AM_IMPLEMENT_SERIAL(CProgramActionInfo, CBaseActionInfo)

namespace {

template <typename T>
std::unique_ptr<CBaseActionInfo> CloneOf(const T& source) {
  auto copy = std::make_unique<T>();
  *copy = source;
  return copy;
}

std::vector<std::uint8_t> WithTerminator(const char* text) {
  const std::string_view s = text ? std::string_view(text) : std::string_view();
  std::vector<std::uint8_t> bytes(s.begin(), s.end());
  bytes.push_back(0);
  return bytes;
}

}  // namespace

// ---- CBaseActionInfo -------------------------------------------------------

void CBaseActionInfo::Serialize(CArchive& ar, std::int32_t /*version*/) {
  if (ar.IsStoring()) {
    ar.WriteWord(m_wExecLimit);
  } else {
    m_wExecLimit = ar.ReadWord();
  }
}

void CBaseActionInfo::ClearAll() { m_wExecLimit = 0; }

std::unique_ptr<CBaseActionInfo> CBaseActionInfo::Clone() const { return CloneOf(*this); }

// ---- CBuiltInActionInfo ----------------------------------------------------
// Each kind's Serialize is alike in shape only: it writes its own fields, in
// the order of its own record.

void CBuiltInActionInfo::Serialize(CArchive& ar, std::int32_t version) {
  CBaseActionInfo::Serialize(ar, version);
  SerializeString(ar, m_strNamespace);
  SerializeString(ar, m_strClassName);
  SerializeString(ar, m_strMethodName);
  SerializeLong(ar, m_bClassCall);
  if (ar.IsLoading() && version < kKeyListVersion) {
    // The older layout carried exactly one key pair inline, which joins
    // whatever keys the description already held.
    CParams key;
    key.Serialize(ar);
    m_KeyParams.AddTail(std::move(key));
    SerializeString(ar, m_strDescriptiveName);
    SerializeString(ar, m_strAux);
    m_InParams.Serialize(ar);
    return;
  }
  SerializeString(ar, m_strDescriptiveName);
  SerializeString(ar, m_strAux);
  m_KeyParams.Serialize(ar);
  m_InParams.Serialize(ar);
}

void CBuiltInActionInfo::ClearAll() {
  m_InParams.RemoveAll();
  m_KeyParams.RemoveAll();
  m_wExecLimit = 0;
  m_bClassCall = 0;
  m_strNamespace.clear();
  m_strClassName.clear();
  m_strMethodName.clear();
  m_strDescriptiveName.clear();
  m_strAux.clear();
}

std::unique_ptr<CBaseActionInfo> CBuiltInActionInfo::Clone() const { return CloneOf(*this); }

// ---- CTaskActionInfo -------------------------------------------------------

CTaskActionInfo::CTaskActionInfo(std::uint16_t limit, const char* text1, const char* text2,
                                 const char* items)
    : m_baText1(WithTerminator(text1)), m_baText2(WithTerminator(text2)) {
  m_wExecLimit = limit;
  std::string_view rest = items ? std::string_view(items) : std::string_view();
  for (;;) {
    const std::size_t semicolon = rest.find(';');
    m_lstItems.AddTail(std::string(rest.substr(0, semicolon)));
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
}

void CTaskActionInfo::Serialize(CArchive& ar, std::int32_t version) {
  CBaseActionInfo::Serialize(ar, version);
  if (ar.IsStoring()) {
    ar.WriteBytes(m_baText1);
    ar.WriteBytes(m_baText2);
    ar.WriteCount(static_cast<std::size_t>(m_lstItems.GetCount()));
    for (const std::string& item : m_lstItems) ar.WriteString(item);
    return;
  }
  m_baText1 = ar.ReadBytes();
  m_baText2 = ar.ReadBytes();
  const std::int32_t n = ar.ReadCount(1);
  m_lstItems.RemoveAll();
  for (std::int32_t i = 0; i < n; ++i) m_lstItems.AddTail(ar.ReadString());
}

void CTaskActionInfo::ClearAll() {
  m_wExecLimit = 0;
  m_baText1.clear();
  m_baText2.clear();
  m_lstItems.RemoveAll();
}

std::unique_ptr<CBaseActionInfo> CTaskActionInfo::Clone() const { return CloneOf(*this); }

// ---- CProgramActionInfo ----------------------------------------------------

void CProgramActionInfo::Serialize(CArchive& ar, std::int32_t version) {
  CBaseActionInfo::Serialize(ar, version);
  // The probe name comes last in the record although it is the second field.
  SerializeString(ar, m_strCommand);
  SerializeString(ar, m_strDescriptiveName);
  SerializeString(ar, m_strAux);
  SerializeString(ar, m_strProbe);
}

void CProgramActionInfo::ClearAll() {
  m_strCommand.clear();
  m_strProbe.clear();
  m_strDescriptiveName.clear();
  m_strAux.clear();
}

std::unique_ptr<CBaseActionInfo> CProgramActionInfo::Clone() const { return CloneOf(*this); }
