// wbem::ServicesWrapper: an IWbemServices that passes every call to another
// one. A test or a tool derives from it and overrides just the calls it wants
// to see or change, and calls the base for the rest:
//
//   class CountingServices final : public wbem::ServicesWrapper {
//    public:
//     using ServicesWrapper::ServicesWrapper;
//     HRESULT ExecMethod(...) override { ++calls; return ServicesWrapper::ExecMethod(...); }
//   };
//
// Reference counted (created with one reference) and counted as a live
// object. It holds one reference to its target until it is destroyed.
// Thread-safe as far as the target is.
#pragma once

#include "wbem/com_object.h"
#include "wbem/com_ptr.h"

namespace wbem {

class ServicesWrapper : public ComObject<ServicesWrapper, IWbemServices> {
 public:
  explicit ServicesWrapper(ComPtr<IWbemServices> target) : target_(std::move(target)) {}

  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override;
  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override;
  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override;
  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override;
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override;
  HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                   IWbemCallResult** call_result) override;
  HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                      IWbemCallResult** call_result) override;

  IWbemServices* target() const { return target_.get(); }

 protected:
  friend class ComObject<ServicesWrapper, IWbemServices>;  // deletes through this destructor
  virtual ~ServicesWrapper() = default;

 private:
  ComPtr<IWbemServices> target_;
};

}  // namespace wbem
