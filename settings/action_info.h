// Action descriptions: what one action of a rule does.
//
//   CBaseActionInfo     the execution limit shared by every kind
//   CBuiltInActionInfo  call a management method on a class or an instance
//   CProgramActionInfo  run a command
//   CTaskActionInfo     a task carried for the agent's task component
//
// All four are registered and serialisable. A description never refers to
// another object: assignment and Clone make fully independent copies, and an
// owner (a rule, an executor) holds its own. Records (after the base record,
// the word m_wExecLimit):
//
//   built-in  namespace, class, method (strings); class-call flag (long);
//             descriptive name, aux (strings); key params, in params (lists).
//             Loaded with a version below 11, the older layout stands
//             instead: namespace, class, method, flag, then one key pair as
//             two strings, descriptive name, aux, in params.
//   program   command, descriptive name, aux, probe (strings)
//   task      two byte blocks, long N, N strings
//
// The version matters only when loading a built-in description; storing
// always writes the current layout. Loading throws CArchiveException on short
// or corrupt data; the description is then incomplete and to be discarded.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/archive.h"
#include "settings/collections.h"
#include "settings/export.h"
#include "settings/object.h"
#include "settings/params.h"

class AM_EXPORT CBaseActionInfo : public CObject {
  AM_DECLARE_SERIAL(CBaseActionInfo)

 public:
  CBaseActionInfo() = default;
  CBaseActionInfo(const CBaseActionInfo&) = default;
  ~CBaseActionInfo() override = default;
  // Copies the execution limit only.
  CBaseActionInfo& operator=(const CBaseActionInfo&) = default;

  using CObject::Serialize;
  virtual void Serialize(CArchive& ar, std::int32_t version);
  virtual void ClearAll();
  // A new description of this object's class, assigned from this one.
  virtual std::unique_ptr<CBaseActionInfo> Clone() const;

  // Runs per event id allowed; 0 means without limit.
  std::uint16_t m_wExecLimit = 0;
};

class AM_EXPORT CBuiltInActionInfo : public CBaseActionInfo {
  AM_DECLARE_SERIAL(CBuiltInActionInfo)

 public:
  // The first version whose built-in record carries a full key list.
  static constexpr std::int32_t kKeyListVersion = 11;

  CBuiltInActionInfo() = default;
  CBuiltInActionInfo(const CBuiltInActionInfo&) = default;
  ~CBuiltInActionInfo() override = default;
  CBuiltInActionInfo& operator=(const CBuiltInActionInfo&) = default;

  using CBaseActionInfo::Serialize;
  void Serialize(CArchive& ar, std::int32_t version) override;
  // Empties the lists and strings and sets the limit and the flag to 0.
  void ClearAll() override;
  std::unique_ptr<CBaseActionInfo> Clone() const override;

  std::string m_strNamespace;
  std::string m_strClassName;
  std::string m_strMethodName;
  // Non-zero: the method is called on the class path alone.
  std::int32_t m_bClassCall = 0;
  CParamsList m_KeyParams;
  CParamsList m_InParams;
  std::string m_strDescriptiveName;
  std::string m_strAux;
};

class AM_EXPORT CTaskActionInfo : public CBaseActionInfo {
  AM_DECLARE_SERIAL(CTaskActionInfo)

 public:
  CTaskActionInfo() = default;
  // The texts are kept with a terminating NUL byte; `items` is split at ';'
  // without trimming, the piece after the last ';' included even when empty.
  // A null text counts as the empty text.
  CTaskActionInfo(std::uint16_t limit, const char* text1, const char* text2, const char* items);
  CTaskActionInfo(const CTaskActionInfo&) = default;
  ~CTaskActionInfo() override = default;
  CTaskActionInfo& operator=(const CTaskActionInfo&) = default;

  using CBaseActionInfo::Serialize;
  void Serialize(CArchive& ar, std::int32_t version) override;
  // Sets the limit to 0 and empties the byte arrays and the items.
  void ClearAll() override;
  std::unique_ptr<CBaseActionInfo> Clone() const override;

  std::vector<std::uint8_t> m_baText1;
  std::vector<std::uint8_t> m_baText2;
  CStringList m_lstItems;
};

class AM_EXPORT CProgramActionInfo : public CBaseActionInfo {
  AM_DECLARE_SERIAL(CProgramActionInfo)

 public:
  CProgramActionInfo() = default;
  CProgramActionInfo(const CProgramActionInfo&) = default;
  ~CProgramActionInfo() override = default;
  CProgramActionInfo& operator=(const CProgramActionInfo&) = default;

  using CBaseActionInfo::Serialize;
  void Serialize(CArchive& ar, std::int32_t version) override;
  // Empties the four strings; the execution limit keeps its value.
  void ClearAll() override;
  std::unique_ptr<CBaseActionInfo> Clone() const override;

  std::string m_strCommand;
  std::string m_strProbe;
  std::string m_strDescriptiveName;
  std::string m_strAux;
};
