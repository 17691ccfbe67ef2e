// CParams and CParamsList: the name pairs through which a built-in action says
// where the values of a method call come from. A pair ties a target-side name
// (a method input parameter, or a key property of the target path) to the
// name of the triggering event's property whose value is used.
//
// CParams is a plain value. CParamsList is a registered, serialisable ordered
// list of pairs, owned by value, duplicates allowed.
//
// Records:
//   CParams      string m_strParamName, string m_strEventPropName
//   CParamsList  long N, then N CParams records head to tail
//
// Loading either record throws CArchiveException on short or corrupt data;
// the object is then incomplete and to be discarded. Not thread-safe.
#pragma once

#include <string>

#include "settings/archive.h"
#include "settings/collections.h"
#include "settings/export.h"
#include "settings/object.h"

class AM_EXPORT CParams {
 public:
  CParams() = default;
  CParams(std::string param_name, std::string event_prop_name)
      : m_strParamName(std::move(param_name)), m_strEventPropName(std::move(event_prop_name)) {}
  CParams(const CParams&) = default;
  CParams& operator=(const CParams&) = default;
  ~CParams() = default;

  void Serialize(CArchive& ar);

  bool operator==(const CParams&) const = default;

  std::string m_strParamName;
  std::string m_strEventPropName;
};

class AM_EXPORT CParamsList : public CObject, public CList<CParams> {
  AM_DECLARE_SERIAL(CParamsList)

 public:
  CParamsList() = default;
  CParamsList(const CParamsList&) = default;
  // Replaces every element by a copy of the source's, head to tail.
  CParamsList& operator=(const CParamsList&) = default;
  ~CParamsList() override = default;

  // Loading replaces the elements by the loaded pairs.
  void Serialize(CArchive& ar) override;
};
