#include "scenario/observing_services.h"

#include <utility>

#include "host/temporary_sink.h"
#include "wbem/com_object.h"

namespace scenario {
namespace {

// In front of the sink that QueryObjectSink gave: reports what was indicated.
class IndicationTap final : public wbem::ComObject<IndicationTap, IWbemObjectSink> {
 public:
  IndicationTap(wbem::ComPtr<IWbemObjectSink> target, ObservingServices::IndicatedFn* report,
                bool hold)
      : target_(std::move(target)), report_(report), hold_(hold) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    if (hold_ && (count < 0 || (count > 0 && objects == nullptr))) return WBEM_E_INVALID_PARAMETER;
    const HRESULT result = hold_ ? WBEM_S_NO_ERROR : target_->Indicate(count, objects);
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
  const bool hold_;                         // report only, never forward
};

// In front of a subscribed sink: learns what ProcessEvent answered.
class DeliveryTap final : public wbem::ComObject<DeliveryTap, IWbemObjectSink> {
 public:
  DeliveryTap(wbem::ComPtr<IWbemObjectSink> target, ObservingServices::ProcessedFn* report,
              ObservingServices::DeliveringFn* announce)
      : target_(std::move(target)),
        // The framework's sink is the one whose answers the host sees; the
        // class is the framework library's, so its identity is shared.
        framework_sink_(dynamic_cast<CTemporarySink*>(target_.get())),
        report_(report),
        announce_(announce) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    if (framework_sink_ == nullptr) return target_->Indicate(count, objects);
    if (count < 0 || objects == nullptr) return WBEM_E_INVALID_PARAMETER;
    for (LONG i = 0; i < count; ++i) {
      if (objects[i] == nullptr) continue;
      if (*announce_) (*announce_)(objects[i]);
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
  ObservingServices::DeliveringFn* announce_;
};

}  // namespace

wbem::ComPtr<ObservingServices> ObservingServices::Create(wbem::ComPtr<IWbemServices> target,
                                                          IndicatedFn on_indicated,
                                                          ProcessedFn on_processed,
                                                          DeliveringFn on_delivering) {
  return wbem::ComPtr<ObservingServices>::Adopt(new ObservingServices(
      std::move(target), std::move(on_indicated), std::move(on_processed),
      std::move(on_delivering)));
}

ObservingServices::ObservingServices(wbem::ComPtr<IWbemServices> target, IndicatedFn on_indicated,
                                     ProcessedFn on_processed, DeliveringFn on_delivering)
    : ServicesWrapper(std::move(target)),
      on_indicated_(std::move(on_indicated)),
      on_processed_(std::move(on_processed)),
      on_delivering_(std::move(on_delivering)) {}

HRESULT ObservingServices::QueryObjectSink(LONG flags, IWbemObjectSink** sink) {
  if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  wbem::ComPtr<IWbemObjectSink> target;
  const HRESULT result = ServicesWrapper::QueryObjectSink(flags, target.Out());
  if (result != WBEM_S_NO_ERROR) {
    *sink = nullptr;
    return result;
  }
  *sink = new IndicationTap(std::move(target), &on_indicated_, hold_indications_);
  return WBEM_S_NO_ERROR;
}

HRESULT ObservingServices::ExecNotificationQueryAsync(const BSTR language, const BSTR query,
                                                      LONG flags, IWbemContext* context,
                                                      IWbemObjectSink* sink) {
  if (sink == nullptr) {
    return ServicesWrapper::ExecNotificationQueryAsync(language, query, flags, context, sink);
  }
  wbem::ComPtr<IWbemObjectSink> front;
  bool created = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto& slot = fronts_[sink];
    if (!slot) {
      slot = wbem::ComPtr<IWbemObjectSink>::Adopt(
          new DeliveryTap(wbem::ComPtr<IWbemObjectSink>(sink), &on_processed_, &on_delivering_));
      created = true;
    }
    front = slot;
  }
  const HRESULT result =
      ServicesWrapper::ExecNotificationQueryAsync(language, query, flags, context, front.get());
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
    if (it == fronts_.end()) return ServicesWrapper::CancelAsyncCall(sink);
    front = std::move(it->second);
    fronts_.erase(it);
  }
  return ServicesWrapper::CancelAsyncCall(front.get());
}

}  // namespace scenario
