// CEventDef: the description of an event for the agent's configuration side:
// its name, the names of its string and numeric attributes, and an optional
// companion record, CEventDefDetails (aggregation field names and nine more
// values that this library only carries).
//
// CEventDef derives from the object root without a class record of its own
// (its run-time class is CObject's) and is not creatable by name. It owns its
// companion record alone: copies are deep, assignment replaces it.
//
// Lists given as text are ","-separated: runs of "," count as one, none at
// either end gives a name, and each name is trimmed (a name of white space
// only becomes empty). Lists given back are joined with "," and no blanks.
//
// Record: name (string); long presence word (1 when the companion record is
// present, else 0); the companion record when present: m_nNumber1,
// m_lNumber1, m_lNumber2, m_nNumber2 (longs), m_strText1, m_strText2,
// m_strText4, m_strText3 (strings), m_nNumber3 (long; always written, read
// only when the version is above 5, else it loads as 0), long T and T
// aggregation field names; then long N and N numeric attribute names, long M
// and M string attribute names. An archive stored by this library must be
// loaded with a version above 5. Loading throws CArchiveException on short or
// corrupt data; the definition is then incomplete and to be discarded.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "settings/archive.h"
#include "settings/collections.h"
#include "settings/export.h"
#include "settings/object.h"

// Plain record owned by one event definition.
struct CEventDefDetails {
  // The first version whose companion record carries m_nNumber3.
  static constexpr std::int32_t kNumber3Version = 6;

  CStringList m_lstAggFields;
  std::int32_t m_lNumber1 = 0;
  std::int32_t m_lNumber2 = 0;
  std::int32_t m_nNumber1 = 0;
  std::int32_t m_nNumber2 = 0;
  std::string m_strText1;
  std::string m_strText2;
  std::string m_strText3;
  std::string m_strText4;
  std::int32_t m_nNumber3 = 0;

  void Serialize(CArchive& ar, std::int32_t version);
};

class AM_EXPORT CEventDef : public CObject {
 public:
  CEventDef() = default;
  CEventDef(const std::string& name, const std::string& num_attributes,
            const std::string& str_attributes);
  // Arguments 4 to 13 make the companion record, in the order of
  // GetAdditionalInfo's outputs 3 to 12.
  CEventDef(const std::string& name, const std::string& num_attributes,
            const std::string& str_attributes, const std::string& agg_fields,
            std::int32_t l_number1, std::int32_t l_number2, std::int32_t n_number1,
            std::int32_t n_number2, const std::string& text1, const std::string& text2,
            const std::string& text3, const std::string& text4, std::int32_t n_number3);
  CEventDef(const CEventDef& other);
  CEventDef& operator=(CEventDef& other);
  CEventDef& operator=(const CEventDef& other);
  ~CEventDef() override;

  // Empties the name and both lists and destroys the companion record.
  void ClearAll();

  // 1 when the name is one of the attributes (exact, case-sensitive), else 0.
  int IsANumProperty(const std::string& name) const;
  int IsAStrProperty(const std::string& name) const;
  int IsAProperty(const std::string& name) const;

  std::string GetNumAttributes() const;
  std::string GetStrAttributes() const;
  // Empty without a companion record.
  std::string GetAggFields() const;

  // Outputs 1 and 2 := the numeric and string attributes. With a companion
  // record, outputs 3 to 12 := its aggregation fields (joined), m_lNumber1,
  // m_lNumber2, m_nNumber1, m_nNumber2, m_strText1 to m_strText4, m_nNumber3;
  // without one they are left unchanged.
  void GetAdditionalInfo(std::string& num_attributes, std::string& str_attributes,
                         std::string& agg_fields, std::int32_t& l_number1, std::int32_t& l_number2,
                         std::int32_t& n_number1, std::int32_t& n_number2, std::string& text1,
                         std::string& text2, std::string& text3, std::string& text4,
                         std::int32_t& n_number3) const;

  using CObject::Serialize;
  void Serialize(CArchive& ar, std::int32_t version);

  std::string m_strName;
  CStringList m_lstStrAttributes;
  CStringList m_lstNumAttributes;
  // Null when there is no companion record.
  std::unique_ptr<CEventDefDetails> m_pDetails;
};
