#include "settings/event_def.h"

#include <algorithm>

#include "settings/archive_fields.h"
#include "settings/text_util.h"

using settings::Join;
using settings::TrimmedTokens;

namespace {

void SerializeNames(CArchive& ar, CStringList& names) {
  if (ar.IsStoring()) {
    ar.WriteCount(static_cast<std::size_t>(names.GetCount()));
    for (const std::string& n : names) ar.WriteString(n);
    return;
  }
  const std::int32_t count = ar.ReadCount(1);
  names.RemoveAll();
  for (std::int32_t i = 0; i < count; ++i) names.AddTail(ar.ReadString());
}

bool Contains(const CStringList& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

}  // namespace

void CEventDefDetails::Serialize(CArchive& ar, std::int32_t version) {
  // The int m_nNumber1 comes first and the fourth text before the third.
  SerializeLong(ar, m_nNumber1);
  SerializeLong(ar, m_lNumber1);
  SerializeLong(ar, m_lNumber2);
  SerializeLong(ar, m_nNumber2);
  SerializeString(ar, m_strText1);
  SerializeString(ar, m_strText2);
  SerializeString(ar, m_strText4);
  SerializeString(ar, m_strText3);
  if (ar.IsStoring() || version >= kNumber3Version) {
    SerializeLong(ar, m_nNumber3);
  } else {
    m_nNumber3 = 0;
  }
  SerializeNames(ar, m_lstAggFields);
}

CEventDef::CEventDef(const std::string& name, const std::string& num_attributes,
                     const std::string& str_attributes)
    : m_strName(name),
      m_lstStrAttributes(TrimmedTokens(str_attributes, ',')),
      m_lstNumAttributes(TrimmedTokens(num_attributes, ',')) {}

CEventDef::CEventDef(const std::string& name, const std::string& num_attributes,
                     const std::string& str_attributes, const std::string& agg_fields,
                     std::int32_t l_number1, std::int32_t l_number2, std::int32_t n_number1,
                     std::int32_t n_number2, const std::string& text1, const std::string& text2,
                     const std::string& text3, const std::string& text4, std::int32_t n_number3)
    : CEventDef(name, num_attributes, str_attributes) {
  auto details = std::make_unique<CEventDefDetails>();
  details->m_lstAggFields = TrimmedTokens(agg_fields, ',');
  details->m_lNumber1 = l_number1;
  details->m_lNumber2 = l_number2;
  details->m_nNumber1 = n_number1;
  details->m_nNumber2 = n_number2;
  details->m_strText1 = text1;
  details->m_strText2 = text2;
  details->m_strText3 = text3;
  details->m_strText4 = text4;
  details->m_nNumber3 = n_number3;
  m_pDetails = std::move(details);
}

CEventDef::CEventDef(const CEventDef& other)
    : CObject(),
      m_strName(other.m_strName),
      m_lstStrAttributes(other.m_lstStrAttributes),
      m_lstNumAttributes(other.m_lstNumAttributes),
      m_pDetails(other.m_pDetails ? std::make_unique<CEventDefDetails>(*other.m_pDetails)
                                  : nullptr) {}

CEventDef& CEventDef::operator=(const CEventDef& other) {
  if (this != &other) {
    CEventDef copy(other);
    m_strName.swap(copy.m_strName);
    std::swap(m_lstStrAttributes, copy.m_lstStrAttributes);
    std::swap(m_lstNumAttributes, copy.m_lstNumAttributes);
    m_pDetails.swap(copy.m_pDetails);
  }
  return *this;
}

CEventDef& CEventDef::operator=(CEventDef& other) {
  return *this = static_cast<const CEventDef&>(other);
}

CEventDef::~CEventDef() { ClearAll(); }

void CEventDef::ClearAll() {
  m_strName.clear();
  m_lstStrAttributes.RemoveAll();
  m_lstNumAttributes.RemoveAll();
  m_pDetails.reset();
}

int CEventDef::IsANumProperty(const std::string& name) const {
  return Contains(m_lstNumAttributes, name) ? 1 : 0;
}

int CEventDef::IsAStrProperty(const std::string& name) const {
  return Contains(m_lstStrAttributes, name) ? 1 : 0;
}

int CEventDef::IsAProperty(const std::string& name) const {
  return (IsANumProperty(name) == 1 || IsAStrProperty(name) == 1) ? 1 : 0;
}

std::string CEventDef::GetNumAttributes() const { return Join(m_lstNumAttributes); }
std::string CEventDef::GetStrAttributes() const { return Join(m_lstStrAttributes); }
std::string CEventDef::GetAggFields() const {
  return m_pDetails ? Join(m_pDetails->m_lstAggFields) : std::string();
}

void CEventDef::GetAdditionalInfo(std::string& num_attributes, std::string& str_attributes,
                                  std::string& agg_fields, std::int32_t& l_number1,
                                  std::int32_t& l_number2, std::int32_t& n_number1,
                                  std::int32_t& n_number2, std::string& text1, std::string& text2,
                                  std::string& text3, std::string& text4,
                                  std::int32_t& n_number3) const {
  num_attributes = GetNumAttributes();
  str_attributes = GetStrAttributes();
  if (!m_pDetails) return;
  agg_fields = GetAggFields();
  l_number1 = m_pDetails->m_lNumber1;
  l_number2 = m_pDetails->m_lNumber2;
  n_number1 = m_pDetails->m_nNumber1;
  n_number2 = m_pDetails->m_nNumber2;
  text1 = m_pDetails->m_strText1;
  text2 = m_pDetails->m_strText2;
  text3 = m_pDetails->m_strText3;
  text4 = m_pDetails->m_strText4;
  n_number3 = m_pDetails->m_nNumber3;
}

void CEventDef::Serialize(CArchive& ar, std::int32_t version) {
  SerializeString(ar, m_strName);
  if (ar.IsStoring()) {
    ar.WriteLong(m_pDetails ? 1 : 0);
    if (m_pDetails) m_pDetails->Serialize(ar, version);
  } else if (ar.ReadLong() != 0) {
    auto details = std::make_unique<CEventDefDetails>();
    details->Serialize(ar, version);
    m_pDetails = std::move(details);
  } else {
    m_pDetails.reset();
  }
  SerializeNames(ar, m_lstNumAttributes);
  SerializeNames(ar, m_lstStrAttributes);
}
