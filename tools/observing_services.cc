#include "tools/observing_services.h"

#include <utility>

#include "host/temporary_sink.h"

namespace amctl {
namespace {

// Shared reference counting of the small sinks below.
template <typename Derived>
class RefCountedSink : public IWbemObjectSink {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
      *object = static_cast<IWbemObjectSink*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

 protected:
  virtual ~RefCountedSink() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

// In front of the sink that QueryObjectSink gave: reports what was indicated.
class IndicationTap final : public RefCountedSink<IndicationTap> {
 public:
  IndicationTap(wbem::ComPtr<IWbemObjectSink> target, ObservingServices::IndicatedFn* report)
      : target_(std::move(target)), report_(report) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    const HRESULT result = target_->Indicate(count, objects);
    if (result == WBEM_S_NO_ERROR && objects != nullptr) {
      for (LONG i = 0; i < count; ++i) {
        if (objects[i] != nullptr && *report_) (*report_)(objects[i]);
      }
    }
    return result;
  }
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return target_->SetStatus(flags, result, text, object);
  }

 private:
  wbem::ComPtr<IWbemObjectSink> target_;
  ObservingServices::IndicatedFn* report_;  // the services' own, which outlive this
};

// In front of a subscribed sink: learns what ProcessEvent answered.
class DeliveryTap final : public RefCountedSink<DeliveryTap> {
 public:
  DeliveryTap(wbem::ComPtr<IWbemObjectSink> target, ObservingServices::ProcessedFn* report)
      : target_(std::move(target)),
        // The framework's sink is the one whose answers the host sees; the
        // class is the framework library's, so its identity is shared.
        framework_sink_(dynamic_cast<CTemporarySink*>(target_.get())),
        report_(report) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    if (framework_sink_ == nullptr) return target_->Indicate(count, objects);
    if (count < 0 || objects == nullptr) return WBEM_E_INVALID_PARAMETER;
    for (LONG i = 0; i < count; ++i) {
      if (objects[i] == nullptr) continue;
      const int result = framework_sink_->ProcessEvent(objects[i]);
      if (*report_) (*report_)(result);
    }
    return WBEM_S_NO_ERROR;
  }
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return target_->SetStatus(flags, result, text, object);
  }

 private:
  wbem::ComPtr<IWbemObjectSink> target_;
  CTemporarySink* framework_sink_;
  ObservingServices::ProcessedFn* report_;
};

}  // namespace

wbem::ComPtr<ObservingServices> ObservingServices::Create(wbem::ComPtr<IWbemServices> target,
                                                          IndicatedFn on_indicated,
                                                          ProcessedFn on_processed) {
  return wbem::ComPtr<ObservingServices>::Adopt(
      new ObservingServices(std::move(target), std::move(on_indicated), std::move(on_processed)));
}

ObservingServices::ObservingServices(wbem::ComPtr<IWbemServices> target, IndicatedFn on_indicated,
                                     ProcessedFn on_processed)
    : target_(std::move(target)),
      on_indicated_(std::move(on_indicated)),
      on_processed_(std::move(on_processed)) {}

HRESULT ObservingServices::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemServices) {
    *object = static_cast<IWbemServices*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG ObservingServices::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG ObservingServices::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT ObservingServices::GetObject(const BSTR path, LONG flags, IWbemContext* context,
                                     IWbemClassObject** object, IWbemCallResult** call_result) {
  return target_->GetObject(path, flags, context, object, call_result);
}

HRESULT ObservingServices::ExecMethod(const BSTR path, const BSTR method, LONG flags,
                                      IWbemContext* context, IWbemClassObject* in_params,
                                      IWbemClassObject** out_params,
                                      IWbemCallResult** call_result) {
  return target_->ExecMethod(path, method, flags, context, in_params, out_params, call_result);
}

HRESULT ObservingServices::QueryObjectSink(LONG flags, IWbemObjectSink** sink) {
  if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  wbem::ComPtr<IWbemObjectSink> target;
  const HRESULT result = target_->QueryObjectSink(flags, target.Out());
  if (result != WBEM_S_NO_ERROR) {
    *sink = nullptr;
    return result;
  }
  *sink = new IndicationTap(std::move(target), &on_indicated_);
  return WBEM_S_NO_ERROR;
}

HRESULT ObservingServices::ExecNotificationQueryAsync(const BSTR language, const BSTR query,
                                                      LONG flags, IWbemContext* context,
                                                      IWbemObjectSink* sink) {
  if (sink == nullptr)
    return target_->ExecNotificationQueryAsync(language, query, flags, context, sink);
  wbem::ComPtr<IWbemObjectSink> front;
  bool created = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto& slot = fronts_[sink];
    if (!slot) {
      slot = wbem::ComPtr<IWbemObjectSink>::Adopt(
          new DeliveryTap(wbem::ComPtr<IWbemObjectSink>(sink), &on_processed_));
      created = true;
    }
    front = slot;
  }
  const HRESULT result =
      target_->ExecNotificationQueryAsync(language, query, flags, context, front.get());
  if (result != WBEM_S_NO_ERROR && created) {
    // Refused: nothing will be delivered and no CancelAsyncCall will come.
    // The front must not outlive this call, since it holds the subscriber,
    // which its owner may destroy without counting references.
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = fronts_.find(sink);
    if (it != fronts_.end() && it->second == front) fronts_.erase(it);
  }
  return result;
}

HRESULT ObservingServices::CancelAsyncCall(IWbemObjectSink* sink) {
  wbem::ComPtr<IWbemObjectSink> front;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = fronts_.find(sink);
    if (it == fronts_.end()) return target_->CancelAsyncCall(sink);
    front = std::move(it->second);
    fronts_.erase(it);
  }
  return target_->CancelAsyncCall(front.get());
}

HRESULT ObservingServices::PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                                    IWbemCallResult** call_result) {
  return target_->PutClass(object, flags, context, call_result);
}

HRESULT ObservingServices::PutInstance(IWbemClassObject* instance, LONG flags,
                                       IWbemContext* context, IWbemCallResult** call_result) {
  return target_->PutInstance(instance, flags, context, call_result);
}

}  // namespace amctl
