#include "settings/params.h"

AM_IMPLEMENT_SERIAL(CParamsList, CObject)

void CParams::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.WriteString(m_strParamName);
    ar.WriteString(m_strEventPropName);
  } else {
    m_strParamName = ar.ReadString();
    m_strEventPropName = ar.ReadString();
  }
}

void CParamsList::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.WriteCount(static_cast<std::size_t>(GetCount()));
    for (CParams& pair : *this) pair.Serialize(ar);
    return;
  }
  // A pair is two strings, each at least its one-byte prefix.
  const std::int32_t n = ar.ReadCount(2);
  RemoveAll();
  for (std::int32_t i = 0; i < n; ++i) {
    CParams pair;
    pair.Serialize(ar);
    AddTail(std::move(pair));
  }
}
