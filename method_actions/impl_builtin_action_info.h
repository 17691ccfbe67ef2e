// CImplBuiltInActionInfo: the executor of a built-in action. Execute calls a
// management method on a class or an instance path of the profile's
// namespace, with in-parameters and keys filled from the event, and reports
// the outcome as a ZRV_ActionResult event.
//
// Everything one Execute obtains (COM references, BSTRs, variants) is released
// before it returns, on every path. Runs on the event's delivery thread; no
// state is kept between calls. Of the sink only its CTemporarySink part is
// used: the services given to Start, the profile name and DecodeVariant.
//
// Texts read from the event: "ModelName", "EventId", "event_key" and
// "severity" give their string; a number or boolean its text form; a missing,
// null or textless value "None". In-parameters are converted as
// method_actions/param_mapping.h describes; the result event is
// method_actions/result_event.h's built-in variant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "actions/impl_base_action_info.h"
#include "settings/action_info.h"
#include "wbem/holders.h"
#include "wbem/interfaces.h"

class CImplBuiltInActionInfo : public CImplBaseActionInfo {
  AM_DECLARE_DYNAMIC(CImplBuiltInActionInfo)

 public:
  explicit CImplBuiltInActionInfo(const CBuiltInActionInfo& info);

  // 1 when the method ran and ExecMethod returned exactly WBEM_S_NO_ERROR;
  // 0 otherwise.
  int Execute(CTemporarySink* sink, IWbemClassObject* event) override;
  std::uint16_t GetExecutionLimit() const override { return m_Info.m_wExecLimit; }

  // The key part of an instance path (".K1=\"a\",K2=5"), empty when the action
  // has no key parameters. Each record's event property name is both the key
  // name and the property read. Strings, references and datetimes are quoted;
  // numbers, booleans and char16 codes are not; nothing is escaped. A key the
  // event lacks (logged as a malformed event) or whose type has no key form
  // (objects) gets no value after "=", so the call fails on the malformed path
  // rather than reaching an object the event never named.
  std::string BuildKeyString(CTemporarySink* sink, IWbemClassObject* event);

  // Fills `in_params` from the event, one record of m_InParams at a time;
  // records that do not fit are logged and skipped.
  void FillInParameters(IWbemClassObject* event, IWbemClassObject* in_params);

  // Indicates the ZRV_ActionResult event of this executor (the built-in
  // variant). Texts passed as nullptr are absent and sent as null.
  void NotifyResult(CTemporarySink* sink, const std::string& event_id,
                    const std::string& event_key, int result_code, const char* model_name,
                    const char* method_name, const char* descriptive_name, std::int32_t return_code,
                    const char* severity);

  const CBuiltInActionInfo& GetInfo() const { return m_Info; }

 private:
  // A record of m_KeyParams or m_InParams with its names in UTF-16.
  struct WideParams {
    std::string param;
    std::string property;
    std::u16string wide_param;
    std::u16string wide_property;
  };
  static std::vector<WideParams> WidenNames(const CParamsList& list);

  CBuiltInActionInfo m_Info;
  // UTF-16 forms of the names, made once: the description never changes, and
  // converting them again for every event would be most of the executor's
  // own cost.
  wbem::Bstr m_bstrClassName;
  wbem::Bstr m_bstrMethodName;
  std::vector<WideParams> m_KeyNames;
  std::vector<WideParams> m_InNames;
};
