#include "settings/list_parameters.h"

#include <string_view>

#include "settings/text_util.h"

AM_IMPLEMENT_SERIAL(CStringListParameter, CObject)
AM_IMPLEMENT_SERIAL(CNumericListParameter, CObject)

using settings::Join;
using settings::Tokenize;
using settings::TrimmedTokens;

namespace {

std::unique_ptr<CListParameterInfo> MakeInfo(std::int32_t number, const std::string& text1,
                                             const std::string& text2, const std::string& texts,
                                             const std::string& flags) {
  auto info = std::make_unique<CListParameterInfo>();
  info->m_lNumber = number;
  info->m_strText1 = text1;
  info->m_strText2 = text2;
  info->m_lstTexts = TrimmedTokens(texts, ',');
  for (const std::string& flag : TrimmedTokens(flags, ',')) {
    info->m_lstFlags.AddTail(flag == "TRUE" ? 1 : 0);
  }
  return info;
}

std::unique_ptr<CListParameterInfo> CopyOf(const std::unique_ptr<CListParameterInfo>& info) {
  return info ? std::make_unique<CListParameterInfo>(*info) : nullptr;
}

void AppendInfo(const CListParameterInfo* info, std::int32_t& number, std::string& text1,
                std::string& text2, std::string& texts, std::string& flags) {
  if (info == nullptr) return;
  number = info->m_lNumber;
  text1 = info->m_strText1;
  text2 = info->m_strText2;
  texts += Join(info->m_lstTexts);
  bool first = true;
  for (const std::int32_t flag : info->m_lstFlags) {
    if (!first) flags += ',';
    flags += flag != 0 ? "TRUE" : "FALSE";
    first = false;
  }
}

// The companion record and the element count that both list records share.
// Loading replaces or drops the companion record as the presence word says.
void SerializeInfo(CArchive& ar, std::unique_ptr<CListParameterInfo>& info) {
  if (ar.IsStoring()) {
    ar.WriteLong(info ? 1 : 0);
    if (info) info->Serialize(ar);
    return;
  }
  if (ar.ReadLong() != 0) {
    auto loaded = std::make_unique<CListParameterInfo>();
    loaded->Serialize(ar);
    info = std::move(loaded);
  } else {
    info.reset();
  }
}

template <typename List, typename T>
int GetChecked(const List& list, int index, T& element) {
  if (!list.IsValidIndex(index)) return 0;
  element = list.GetAt(index);
  return 1;
}

template <typename List, typename T>
int SetChecked(List& list, int index, const T& element) {
  if (!list.IsValidIndex(index)) return 0;
  list.GetAt(index) = element;
  return 1;
}

template <typename List>
int RemoveChecked(List& list, int index) {
  if (!list.IsValidIndex(index)) return 0;
  list.RemoveAt(index);
  return 1;
}

}  // namespace

void CListParameterInfo::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.WriteLong(m_lNumber);
    ar.WriteString(m_strText1);
    ar.WriteString(m_strText2);
    ar.WriteCount(static_cast<std::size_t>(m_lstTexts.GetCount()));
    for (const std::string& t : m_lstTexts) ar.WriteString(t);
    ar.WriteCount(static_cast<std::size_t>(m_lstFlags.GetCount()));
    for (const std::int32_t f : m_lstFlags) ar.WriteLong(f);
    return;
  }
  m_lNumber = ar.ReadLong();
  m_strText1 = ar.ReadString();
  m_strText2 = ar.ReadString();
  const std::int32_t texts = ar.ReadCount(1);
  m_lstTexts.RemoveAll();
  for (std::int32_t i = 0; i < texts; ++i) m_lstTexts.AddTail(ar.ReadString());
  const std::int32_t flags = ar.ReadCount(4);
  m_lstFlags.RemoveAll();
  for (std::int32_t i = 0; i < flags; ++i) m_lstFlags.AddTail(ar.ReadLong());
}

// ---- CStringListParameter --------------------------------------------------

CStringListParameter::CStringListParameter(std::string text) {
  for (std::string_view token : Tokenize(text, '|')) AddTail(std::string(token));
}

CStringListParameter::CStringListParameter(const std::int32_t& number, const std::string& text1,
                                           const std::string& text2, const std::string& values,
                                           const std::string& texts, const std::string& flags)
    : CStringList(TrimmedTokens(values, ',')),
      m_pInfo(MakeInfo(number, text1, text2, texts, flags)) {}

CStringListParameter::CStringListParameter(const CStringListParameter& other)
    : CObject(), CStringList(other), m_pInfo(CopyOf(other.m_pInfo)) {}

CStringListParameter& CStringListParameter::operator=(const CStringListParameter& other) {
  if (this != &other) {
    auto info = CopyOf(other.m_pInfo);
    CStringList::operator=(other);
    m_pInfo = std::move(info);
  }
  return *this;
}

CStringListParameter::~CStringListParameter() {
  m_pInfo.reset();
  RemoveAll();
}

void CStringListParameter::GetAdditionalInfo(std::int32_t& number, std::string& text1,
                                             std::string& text2, std::string& values,
                                             std::string& texts, std::string& flags) const {
  values += Join(*this);
  AppendInfo(m_pInfo.get(), number, text1, text2, texts, flags);
}

int CStringListParameter::Get_Elem_w_Index(int index, std::string& element) const {
  return GetChecked(*this, index, element);
}
int CStringListParameter::Set_Elem_w_Index(int index, const std::string& element) {
  return SetChecked(*this, index, element);
}
int CStringListParameter::Rem_Elem_w_Index(int index) { return RemoveChecked(*this, index); }

void CStringListParameter::Serialize(CArchive& ar) {
  SerializeInfo(ar, m_pInfo);
  if (ar.IsStoring()) {
    ar.WriteCount(static_cast<std::size_t>(GetCount()));
    for (const std::string& element : *this) ar.WriteString(element);
    return;
  }
  RemoveAll();
  const std::int32_t n = ar.ReadCount(1);
  for (std::int32_t i = 0; i < n; ++i) AddTail(ar.ReadString());
}

// ---- CNumericListParameter -------------------------------------------------

CNumericListParameter::CNumericListParameter(std::string text) {
  for (std::string_view token : Tokenize(text, '|')) {
    AddTail(settings::ParseDouble(std::string(token)));
  }
}

CNumericListParameter::CNumericListParameter(const std::int32_t& number, const std::string& text1,
                                             const std::string& text2, const std::string& values,
                                             const std::string& texts, const std::string& flags)
    : m_pInfo(MakeInfo(number, text1, text2, texts, flags)) {
  for (const std::string& token : TrimmedTokens(values, ',')) {
    AddTail(settings::ParseDouble(token));
  }
}

CNumericListParameter::CNumericListParameter(const CNumericListParameter& other)
    : CObject(), CList<double>(other), m_pInfo(CopyOf(other.m_pInfo)) {}

CNumericListParameter& CNumericListParameter::operator=(const CNumericListParameter& other) {
  if (this != &other) {
    auto info = CopyOf(other.m_pInfo);
    CList<double>::operator=(other);
    m_pInfo = std::move(info);
  }
  return *this;
}

CNumericListParameter::~CNumericListParameter() {
  m_pInfo.reset();
  RemoveAll();
}

void CNumericListParameter::GetAdditionalInfo(std::int32_t& number, std::string& text1,
                                              std::string& text2, std::string& values,
                                              std::string& texts, std::string& flags) const {
  bool first = true;
  for (const double element : *this) {
    if (!first) values += ',';
    // Formatted in the C locale, so the decimal point is always ".".
    values += settings::FormatTwoDecimals(element);
    first = false;
  }
  AppendInfo(m_pInfo.get(), number, text1, text2, texts, flags);
}

int CNumericListParameter::Get_Elem_w_Index(int index, double& element) const {
  return GetChecked(*this, index, element);
}
int CNumericListParameter::Set_Elem_w_Index(int index, const double& element) {
  return SetChecked(*this, index, element);
}
int CNumericListParameter::Rem_Elem_w_Index(int index) { return RemoveChecked(*this, index); }

void CNumericListParameter::Serialize(CArchive& ar) {
  SerializeInfo(ar, m_pInfo);
  if (ar.IsStoring()) {
    ar.WriteCount(static_cast<std::size_t>(GetCount()));
    for (const double element : *this) ar.WriteDouble(element);
    return;
  }
  RemoveAll();
  const std::int32_t n = ar.ReadCount(8);
  for (std::int32_t i = 0; i < n; ++i) AddTail(ar.ReadDouble());
}
