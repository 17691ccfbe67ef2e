#include "method_actions/impl_builtin_action_info.h"

#include <string_view>

#include "host/temporary_sink.h"
#include "host/trace_utils.h"
#include "method_actions/param_mapping.h"
#include "actions/event_text.h"
#include "actions/result_event.h"
#include "actions/wide_text.h"
#include "wbem/cim_types.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"
#include "actions/log_component.h"

AM_IMPLEMENT_DYNAMIC(CImplBuiltInActionInfo, CImplBaseActionInfo)

namespace {

constexpr char kMalformedEvent[] = "The event is malformed. The property %S of  was not found";

// The event's properties are read the same way everywhere: by a UTF-16 name,
// into a variant the caller owns. A missing event reads as a failed Get.
HRESULT ReadProperty(IWbemClassObject* event, const std::u16string& name, wbem::Variant* value,
                     CIMTYPE* type) {
  if (event == nullptr) return WBEM_E_INVALID_PARAMETER;
  return event->Get(name.c_str(), 0, value->ptr(), type, nullptr);
}

// What a key value looks like in an instance path, by the event property's
// CIM type.
enum class KeyForm { kQuoted, kBare, kNone };

KeyForm KeyFormOf(CIMTYPE type) {
  const wbem::CimTypeInfo* info = wbem::FindCimType(type);
  // Objects, arrays and unknown types have no key form: nothing is written
  // after "=", so the path is malformed and the call fails with the
  // repository's own error, reported in the result event, rather than
  // reaching an object the event never named.
  if (info == nullptr || info->kind == wbem::CimKind::kObject) return KeyForm::kNone;
  switch (info->kind) {
    case wbem::CimKind::kString:
    case wbem::CimKind::kReference:
    // A datetime is a string in its own format, and paths quote it as one.
    case wbem::CimKind::kDatetime:
      return KeyForm::kQuoted;
    default:
      // Numbers and booleans; a char16 travels as its code, a number, and is
      // written as one.
      return KeyForm::kBare;
  }
}

}  // namespace

std::vector<CImplBuiltInActionInfo::WideParams> CImplBuiltInActionInfo::WidenNames(
    const CParamsList& list) {
  std::vector<WideParams> names;
  names.reserve(static_cast<std::size_t>(list.GetCount()));
  for (const CParams& record : list) {
    names.push_back({record.m_strParamName, record.m_strEventPropName,
                     wbem::Utf8ToUtf16(record.m_strParamName),
                     wbem::Utf8ToUtf16(record.m_strEventPropName)});
  }
  return names;
}

CImplBuiltInActionInfo::CImplBuiltInActionInfo(const CBuiltInActionInfo& info) {
  m_Info = info;
  m_bstrClassName = wbem::Bstr(m_Info.m_strClassName);
  m_bstrMethodName = wbem::Bstr(m_Info.m_strMethodName);
  m_KeyNames = WidenNames(m_Info.m_KeyParams);
  m_InNames = WidenNames(m_Info.m_InParams);
}

std::string CImplBuiltInActionInfo::BuildKeyString(CTemporarySink* sink,
                                                   IWbemClassObject* event) {
  (void)sink;  // DecodeVariant needs no sink state.
  std::string keys;
  if (m_Info.m_KeyParams.IsEmpty()) return keys;
  keys += '.';
  bool first = true;
  for (const WideParams& record : m_KeyNames) {
    if (!first) keys += ',';
    first = false;
    keys += record.property;
    keys += '=';

    const std::u16string& name = record.wide_property;
    wbem::Variant value;
    CIMTYPE type = CIM_EMPTY;
    if (FAILED(ReadProperty(event, name, &value, &type))) {
      // Nothing is written for a key the event lacks: the malformed path
      // makes the call fail visibly instead of addressing another object.
      CTraceUtils::GetInstance()->LogMsg(0, actions::kLogComponent, kMalformedEvent, name);
      continue;
    }
    std::string text;
    const KeyForm form = KeyFormOf(type);
    if (form == KeyForm::kNone || CTemporarySink::DecodeVariant(value.get(), text) == 0) continue;
    if (form == KeyForm::kQuoted) {
      keys += '"';
      keys += text;
      keys += '"';
    } else {
      keys += text;
    }
  }
  return keys;
}

void CImplBuiltInActionInfo::FillInParameters(IWbemClassObject* event,
                                              IWbemClassObject* in_params) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  if (in_params == nullptr) return;
  for (const WideParams& record : m_InNames) {
    const std::string& param = record.param;
    const std::string& property = record.property;
    const std::u16string& param_name = record.wide_param;
    const std::u16string& property_name = record.wide_property;

    CIMTYPE param_type = CIM_EMPTY;
    const HRESULT rn = in_params->Get(param_name.c_str(), 0, nullptr, &param_type, nullptr);
    wbem::Variant event_value;
    CIMTYPE property_type = CIM_EMPTY;
    const HRESULT rp = ReadProperty(event, property_name, &event_value, &property_type);

    method_actions::SourceValue source;
    if (SUCCEEDED(rp) &&
        !method_actions::ReadSourceValue(property_type, event_value.get(), &source)) {
      log->LogMsg(0, actions::kLogComponent,
                  "Type Mismathching between event prop name '%s' and method param name '%s'",
                  property, param);
      if (FAILED(rn)) {
        log->LogMsg(0, actions::kLogComponent, "Error getting info for the method param name '%s' (hres=%lu)",
                    param, static_cast<ULONG>(rn));
      }
      continue;
    }
    if (FAILED(rn)) {
      log->LogMsg(0, actions::kLogComponent, "Error getting info for the method param name '%s' (hres=%lu)",
                  param, static_cast<ULONG>(rn));
    }
    if (FAILED(rp)) {
      log->LogMsg(0, actions::kLogComponent, "Error getting info for the event prop name '%s' (hres=%lu)",
                  property, static_cast<ULONG>(rp));
    }
    if (FAILED(rn) || FAILED(rp)) continue;

    wbem::Variant target;
    if (!method_actions::BuildTargetValue(param_type, source, target.ptr())) {
      log->LogMsg(0, actions::kLogComponent,
                  "Type Mismathching between event prop name '%s' and method param name '%s'",
                  property, param);
      continue;
    }
    // Type 0 lets the parameter's declared type apply. A Put the repository
    // refuses is not reported: the parameter keeps its spawned value.
    (void)in_params->Put(param_name.c_str(), 0, target.ptr(), 0);
  }
}

void CImplBuiltInActionInfo::NotifyResult(CTemporarySink* sink, const std::string& event_id,
                                          const std::string& event_key, int result_code,
                                          const char* model_name, const char* method_name,
                                          const char* descriptive_name, std::int32_t return_code,
                                          const char* severity) {
  actions::NotifyActionResult(actions::ResultVariant::kBuiltIn, sink, event_id,
                                     event_key, result_code, model_name, method_name,
                                     descriptive_name, return_code, severity);
}

int CImplBuiltInActionInfo::Execute(CTemporarySink* sink, IWbemClassObject* event) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  const std::string& class_name = m_Info.m_strClassName;
  const std::string& method_name = m_Info.m_strMethodName;

  std::string path = "\\\\.\\" + m_Info.m_strNamespace + ":" + class_name;
  if (m_Info.m_bClassCall == 0) path += BuildKeyString(sink, event);
  log->LogMsg(0, actions::kLogComponent, "Executing method %s on the object with following path '%s'",
              method_name, path);

  const wbem::Bstr path_text = wbem::Bstr::Adopt(actions::NewBstr(path));
  const wbem::Bstr& class_text = m_bstrClassName;
  const wbem::Bstr& method_text = m_bstrMethodName;

  std::string model, event_id, event_key, severity;
  actions::ReadEventText(event, u"ModelName", &model);
  if (!actions::ReadEventText(event, u"EventId", &event_id)) {
    log->LogMsg(0, actions::kLogComponent, kMalformedEvent, u"EventId");
  }
  if (!actions::ReadEventText(event, u"event_key", &event_key)) {
    log->LogMsg(0, actions::kLogComponent, kMalformedEvent, u"event_key");
  }
  actions::ReadEventText(event, u"severity", &severity);

  // The result event goes first, then the cause; the caller sees only 0.
  auto fail = [&](HRESULT hr, auto&&... message) {
    NotifyResult(sink, event_id, event_key, actions::kResultFailed, model.c_str(),
                 method_name.c_str(), m_Info.m_strDescriptiveName.c_str(), hr, severity.c_str());
    log->LogMsg(0, actions::kLogComponent, message..., static_cast<ULONG>(hr));
    return 0;
  };

  // A sink that was never started has no services: nothing can be looked up,
  // which is reported as the class lookup failing with "not available".
  IWbemServices* services = sink != nullptr ? sink->GetServices() : nullptr;
  wbem::ComPtr<IWbemClassObject> class_object;
  HRESULT hr = WBEM_E_NOT_AVAILABLE;
  if (services != nullptr) {
    hr = services->GetObject(class_text.get(), 0, nullptr, class_object.Out(), nullptr);
  }
  if (hr != WBEM_S_NO_ERROR) {
    return fail(hr, "Get Object Failed for the class '%s' (hres=%lu)", class_name);
  }

  wbem::ComPtr<IWbemClassObject> in_signature;
  hr = class_object->GetMethod(method_text.get(), 0, in_signature.Out(), nullptr);
  if (hr != WBEM_S_NO_ERROR) {
    return fail(hr, "Get Method Failed for the method '%s' of the class '%s' (hres=%lu)",
                method_name, class_name);
  }

  wbem::ComPtr<IWbemClassObject> in_params;
  if (in_signature) {
    hr = in_signature->SpawnInstance(0, in_params.Out());
    if (hr != WBEM_S_NO_ERROR) {
      return fail(hr,
                  "Failed Spawning the instance of the Input Params for the method '%s' of the "
                  "class '%s'  (hres=%lu)",
                  method_name, class_name);
    }
    FillInParameters(event, in_params.get());
  }

  wbem::ComPtr<IWbemClassObject> out_params;
  hr = services->ExecMethod(path_text.get(), method_text.get(), 0, nullptr, in_params.get(),
                            out_params.Out(), nullptr);
  if (hr != WBEM_S_NO_ERROR) {
    return fail(hr, "Failed the execution of the method '%s' of the class '%s' (hres=%lu) ",
                method_name, class_name);
  }

  std::string return_text = "0";
  if (out_params) {
    wbem::Variant value;
    (void)out_params->Get(u"ReturnValue", 0, value.ptr(), nullptr, nullptr);
    CTemporarySink::DecodeVariant(value.get(), return_text);
  }
  const std::int32_t return_code = method_actions::ParseLong(return_text);

  NotifyResult(sink, event_id, event_key, actions::kResultSucceeded, model.c_str(),
               method_name.c_str(), m_Info.m_strDescriptiveName.c_str(), return_code,
               severity.c_str());
  log->LogMsg(3, actions::kLogComponent, "Executed Method '%s' belonging to the class '%s' (hres=%lu)",
              method_name, path, 0u);
  return 1;
}
