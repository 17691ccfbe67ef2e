// A services pointer of a namespace that lets the tool watch the component
// the way the agent's host sees it, without changing what the component does.
//
// It passes every call to the namespace's own services (wbem::ServicesWrapper),
// except that:
//   - the sink that QueryObjectSink hands out forwards each indication and,
//     when it succeeded, reports the object (a result event, as indicated) to
//     `on_indicated`, on the indicating thread, so that the event's line
//     falls where it happened;
//   - a subscription (ExecNotificationQueryAsync) gets a sink of its own in
//     front of the component's: for a host framework sink (CTemporarySink) it
//     hands each event to the sink's ProcessEvent, as the framework's Indicate
//     does, and reports the result to `on_processed`; any other sink gets the
//     indication as it is. CancelAsyncCall finds that sink again. A refused
//     subscription keeps nothing of the subscribed sink, which its owner may
//     then destroy at any time.
//
// Reference counted like every COM object (created with one reference).
// Thread-safe: the callbacks run on the delivering or indicating thread.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "wbem/com_ptr.h"
#include "wbem/services_wrapper.h"

namespace scenario {

class ObservingServices final : public wbem::ServicesWrapper {
 public:
  using IndicatedFn = std::function<void(IWbemClassObject* object)>;
  using ProcessedFn = std::function<void(int result)>;
  // Called on the delivering thread just before ProcessEvent gets `event`, so
  // that a host can tell what the component does next (its log lines, its
  // result events) apart by event.
  using DeliveringFn = std::function<void(IWbemClassObject* event)>;

  static wbem::ComPtr<ObservingServices> Create(wbem::ComPtr<IWbemServices> target,
                                                IndicatedFn on_indicated, ProcessedFn on_processed,
                                                DeliveringFn on_delivering = {});

  // From now on, the sinks QueryObjectSink hands out report each indication
  // and answer WBEM_S_NO_ERROR without passing it on: nothing the component
  // indicates reaches the namespace or its subscribers (a dry run's result
  // events). Sinks handed out before keep forwarding.
  void HoldIndications() { hold_indications_ = true; }

  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override;
  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override;
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override;

 private:
  ObservingServices(wbem::ComPtr<IWbemServices> target, IndicatedFn on_indicated,
                    ProcessedFn on_processed, DeliveringFn on_delivering);
  ~ObservingServices() override = default;

  IndicatedFn on_indicated_;
  ProcessedFn on_processed_;
  DeliveringFn on_delivering_;
  bool hold_indications_ = false;
  std::mutex mu_;
  // The sink put in front of each subscribed sink, by the subscribed sink.
  std::map<IWbemObjectSink*, wbem::ComPtr<IWbemObjectSink>> fronts_;
};

}  // namespace scenario
