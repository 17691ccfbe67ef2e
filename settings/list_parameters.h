// List parameters: CStringListParameter (a list of texts) and
// CNumericListParameter (a list of doubles), each with an optional companion
// record, CListParameterInfo (a number, two texts, a list of texts and a list
// of flags), carried for the agent's configuration side.
//
// Both are registered and serialisable. A list parameter owns its companion
// record alone: copies take deep copies, assignment and loading replace it.
//
// Texts in:
//   one text        "|"-separated; runs of "|" count as one, none at either
//                   end gives an element; tokens are not trimmed.
//   six arguments   values, texts and flags are ","-separated and trimmed;
//                   a flag is 1 for exactly "TRUE", else 0.
// Texts out (GetAdditionalInfo): joined with "," and no blanks; numbers as
// "%.2f" with "." as the decimal point.
//
// Numbers: parsed as strtod does in the C locale, whatever the process locale:
// "." is always the decimal point, in both constructors, and a "," ends a
// number. Results therefore never depend on where the agent runs.
//
// Record: long presence word of the companion record (1 when present, 0 when
// not), the companion record when present (long number, text1, text2, long T
// and T texts, long F and F flags as longs), then long N and N elements
// (strings, or doubles). Loading throws CArchiveException on short or corrupt
// data; the object is then incomplete and to be discarded.
//
// Index operations return 1 for an index in 0..count-1 and 0 otherwise,
// leaving their output unchanged. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "settings/archive.h"
#include "settings/collections.h"
#include "settings/export.h"
#include "settings/object.h"

// Plain record owned by one list parameter.
struct CListParameterInfo {
  std::int32_t m_lNumber = 0;
  std::string m_strText1;
  std::string m_strText2;
  CStringList m_lstTexts;
  CList<std::int32_t> m_lstFlags;

  void Serialize(CArchive& ar);
};

class AM_EXPORT CStringListParameter : public CObject, public CStringList {
  AM_DECLARE_SERIAL(CStringListParameter)

 public:
  CStringListParameter() = default;
  explicit CStringListParameter(std::string text);
  CStringListParameter(const std::int32_t& number, const std::string& text1,
                       const std::string& text2, const std::string& values,
                       const std::string& texts, const std::string& flags);
  CStringListParameter(const CStringListParameter& other);
  CStringListParameter& operator=(const CStringListParameter& other);
  ~CStringListParameter() override;

  // Appends the joined elements to `values`; with a companion record, also
  // sets number, text1 and text2 and appends the joined texts and flags
  // ("TRUE"/"FALSE"). Without one, those five are left unchanged.
  void GetAdditionalInfo(std::int32_t& number, std::string& text1, std::string& text2,
                         std::string& values, std::string& texts, std::string& flags) const;

  int Get_Elem_w_Index(int index, std::string& element) const;
  int Set_Elem_w_Index(int index, const std::string& element);
  int Rem_Elem_w_Index(int index);

  void Serialize(CArchive& ar) override;

  // Null when there is no companion record.
  std::unique_ptr<CListParameterInfo> m_pInfo;
};

class AM_EXPORT CNumericListParameter : public CObject, public CList<double> {
  AM_DECLARE_SERIAL(CNumericListParameter)

 public:
  CNumericListParameter() = default;
  explicit CNumericListParameter(std::string text);
  CNumericListParameter(const std::int32_t& number, const std::string& text1,
                        const std::string& text2, const std::string& values,
                        const std::string& texts, const std::string& flags);
  CNumericListParameter(const CNumericListParameter& other);
  CNumericListParameter& operator=(const CNumericListParameter& other);
  ~CNumericListParameter() override;

  // As CStringListParameter's, each number written as "%.2f".
  void GetAdditionalInfo(std::int32_t& number, std::string& text1, std::string& text2,
                         std::string& values, std::string& texts, std::string& flags) const;

  int Get_Elem_w_Index(int index, double& element) const;
  int Set_Elem_w_Index(int index, const double& element);
  int Rem_Elem_w_Index(int index);

  void Serialize(CArchive& ar) override;

  std::unique_ptr<CListParameterInfo> m_pInfo;
};
