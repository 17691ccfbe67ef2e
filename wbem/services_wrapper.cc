#include "wbem/services_wrapper.h"

namespace wbem {

HRESULT ServicesWrapper::GetObject(const BSTR path, LONG flags, IWbemContext* context,
                                   IWbemClassObject** object, IWbemCallResult** call_result) {
  return target_->GetObject(path, flags, context, object, call_result);
}

HRESULT ServicesWrapper::ExecMethod(const BSTR path, const BSTR method, LONG flags,
                                    IWbemContext* context, IWbemClassObject* in_params,
                                    IWbemClassObject** out_params, IWbemCallResult** call_result) {
  return target_->ExecMethod(path, method, flags, context, in_params, out_params, call_result);
}

HRESULT ServicesWrapper::QueryObjectSink(LONG flags, IWbemObjectSink** sink) {
  return target_->QueryObjectSink(flags, sink);
}

HRESULT ServicesWrapper::ExecNotificationQueryAsync(const BSTR language, const BSTR query,
                                                    LONG flags, IWbemContext* context,
                                                    IWbemObjectSink* sink) {
  return target_->ExecNotificationQueryAsync(language, query, flags, context, sink);
}

HRESULT ServicesWrapper::CancelAsyncCall(IWbemObjectSink* sink) {
  return target_->CancelAsyncCall(sink);
}

HRESULT ServicesWrapper::PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                                  IWbemCallResult** call_result) {
  return target_->PutClass(object, flags, context, call_result);
}

HRESULT ServicesWrapper::PutInstance(IWbemClassObject* instance, LONG flags,
                                     IWbemContext* context, IWbemCallResult** call_result) {
  return target_->PutInstance(instance, flags, context, call_result);
}

}  // namespace wbem
