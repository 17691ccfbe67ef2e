#include "actions/result_event.h"

#include <memory>
#include <string_view>

#include "actions/action_report.h"
#include "host/temporary_sink.h"
#include "host/trace_utils.h"
#include "actions/wide_text.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "actions/log_component.h"

namespace actions {
namespace {

constexpr char kProviderComponent[] = "ZRVMethodProv";
constexpr char16_t kResultClass[] = u"ZRV_ActionResult";

// Puts one property with CIM type 0, so that the class's declared type
// applies. The result is deliberately not examined: a property the class does
// not declare, or whose type does not fit, is simply missing from the event.
void PutProperty(IWbemClassObject* instance, const char16_t* name, VARIANT& value) {
  (void)instance->Put(name, 0, &value, 0);
}

// A text argument as a fresh BSTR; an absent one (or one that cannot be
// copied) as null.
void PutText(IWbemClassObject* instance, const char16_t* name, const char* text) {
  wbem::Variant value(nullptr);
  if (text != nullptr) {
    if (BSTR copy = NewBstr(text)) {
      VARIANT* v = value.Out();
      v->vt = VT_BSTR;
      v->bstrVal = copy;
    }
  }
  PutProperty(instance, name, *value.ptr());
}

// The event id and key go through a zero-filled heap buffer of one UTF-16 unit
// per byte plus the terminator, freed right after the Put. UTF-8 never needs
// more UTF-16 units than it has bytes, so the buffer always suffices; the text
// ends at its first NUL, as any NUL-terminated copy would.
void PutBufferedText(IWbemClassObject* instance, const char16_t* name, const std::string& text) {
  auto buffer = std::make_unique<char16_t[]>(text.size() + 1);  // value-initialised: zeros
  WidenInto(text, buffer.get());
  wbem::Variant value(nullptr);
  if (BSTR copy = SysAllocString(buffer.get())) {
    VARIANT* v = value.Out();
    v->vt = VT_BSTR;
    v->bstrVal = copy;
  }
  buffer.reset();
  PutProperty(instance, name, *value.ptr());
}

void PutLong(IWbemClassObject* instance, const char16_t* name, std::int32_t number) {
  wbem::Variant value(number);  // VT_I4
  PutProperty(instance, name, *value.ptr());
}

void PutBool(IWbemClassObject* instance, const char16_t* name, bool flag) {
  wbem::Variant value(flag);  // VT_BOOL, VARIANT_TRUE or VARIANT_FALSE
  PutProperty(instance, name, *value.ptr());
}

}  // namespace

void NotifyActionResult(ResultVariant variant, CTemporarySink* sink, const std::string& event_id,
                        const std::string& event_key, int result_code, const char* model_name,
                        const char* what, const char* descriptive_name, std::int32_t return_code,
                        const char* severity) {
  CTraceUtils* log = CTraceUtils::GetInstance();
  const bool program = variant == ResultVariant::kProgram;
  IWbemServices* services = sink != nullptr ? sink->GetServices() : nullptr;

  wbem::ComPtr<IWbemClassObject> result_class;
  HRESULT hr = WBEM_E_NOT_AVAILABLE;
  if (services != nullptr) {
    // The services read a `const BSTR` up to its NUL, so the literal serves.
    hr = services->GetObject(const_cast<char16_t*>(kResultClass), 0, nullptr, result_class.Out(),
                             nullptr);
  }
  if (hr != WBEM_S_NO_ERROR || !result_class) {
    log->LogMsg(0, actions::kLogComponent,
                program
                    ? "The definition of the event NotifyResult( was not found in CIM Repository "
                    : "The definition of the event ZRV_ActionResult was not found in CIM "
                      "Repository ");
    return;
  }

  wbem::ComPtr<IWbemClassObject> instance;
  hr = result_class->SpawnInstance(0, instance.Out());
  if (hr != WBEM_S_NO_ERROR || !instance) {
    log->LogMsg(0, actions::kLogComponent, "Failed Spawning instances of the Event ZRV_ActionResult ");
    return;
  }

  IWbemClassObject* event = instance.get();
  PutText(event, u"ModelName", model_name);
  PutText(event, u"ProfileName", sink->GetProfileName().c_str());
  PutBufferedText(event, u"EventId", event_id);
  PutBufferedText(event, u"event_key", event_key);
  PutLong(event, u"ProgressiveNumber", 0);
  const std::string msg_info = "ZRV_CorrelatedEvents|" + std::to_string(result_code);
  PutText(event, u"MsgInfo", msg_info.c_str());
  PutLong(event, u"Duration", 0);
  PutBool(event, u"Send2Vox", true);
  PutBool(event, u"send_to_kvrn", true);
  PutText(event, u"severity", severity);
  PutBool(event, u"AlreadySent", false);
  if (program) {
    PutText(event, u"program", what);
    PutLong(event, u"return_code", return_code);
    PutText(event, u"Method", nullptr);
    PutText(event, u"descriptive_name", descriptive_name);
  } else {
    PutText(event, u"Method", what);
    PutText(event, u"descriptive_name", descriptive_name);
    PutText(event, u"program", "");
    PutLong(event, u"return_code", return_code);
  }

  wbem::ComPtr<IWbemObjectSink> provider_sink;
  hr = services->QueryObjectSink(0, provider_sink.Out());
  if (hr != WBEM_S_NO_ERROR || !provider_sink) {
    log->LogMsg(0, actions::kLogComponent, "Unable to get the sink for the event provider");
    return;
  }
  IWbemClassObject* objects[] = {event};
  if (provider_sink->Indicate(1, objects) != WBEM_S_NO_ERROR) {
    log->LogMsg(0, kProviderComponent, "Failed the indication of the event  ZRV_ActionResult");
  } else {
    RecordActionResult(variant, result_code, return_code);
  }
  if (program) {
    log->LogMsg(3, kProviderComponent, "Send indication of the event ZRV_ActionResult");
  }
}

}  // namespace actions
