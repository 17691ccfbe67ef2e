// The core's events: subscriptions, the delivery workers, raising and
// waiting for idle.
#include "repository/core.h"

#include "repository/cim.h"
#include "wbem/unicode.h"

namespace repository::detail {
namespace {

// The core whose delivery runs on this thread, if any: WaitIdle from inside a
// delivery could never see its own delivery finish.
thread_local const Core* t_delivering = nullptr;

// Refuses the whole call before anything is queued.
HRESULT CheckEvents(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  for (LONG i = 0; i < count; ++i) {
    if (objects[i] == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (Object::From(objects[i]) == nullptr) return WBEM_E_INVALID_OBJECT;
  }
  return WBEM_S_NO_ERROR;
}

bool Matches(const Subscription& sub, const Object& event) {
  const ClassDef& def = *event.def();
  if (!def.DerivesFrom(sub.class_folded)) return false;
  for (const Subscription::Condition& c : sub.conditions) {
    std::size_t i = c.index_hint;
    if (i >= def.properties.size() || !SameText(def.properties[i].folded, c.name)) {
      const int found = def.FindProperty(c.name);
      if (found < 0) return false;
      i = static_cast<std::size_t>(found);
    }
    const VARIANT& v = event.values()[i].get();
    if (v.vt == VT_BSTR) {
      // The common case, compared without a copy.
      if (!SameText(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)),
                    c.text)) {
        return false;
      }
      continue;
    }
    std::u16string value;
    if (!KeyText(def.properties[i].type, v, &value) || value != c.text) return false;
  }
  return true;
}

}  // namespace

HRESULT Core::Subscribe(const std::u16string& ns_key, LPCWSTR query_text, IWbemObjectSink* sink) {
  if (sink == nullptr || query_text == nullptr) return WBEM_E_INVALID_PARAMETER;
  EventQuery query;
  if (FAILED(ParseEventQuery(View(query_text), &query))) return WBEM_E_INVALID_QUERY;
  auto sub = std::make_shared<Subscription>();
  sub->class_folded = Fold(query.class_name);
  std::unique_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  auto cls = ns->classes.find(sub->class_folded);
  if (cls == ns->classes.end()) return WBEM_E_INVALID_CLASS;
  for (const EventQuery::Condition& c : query.conditions) {
    const int index = cls->second->FindProperty(c.property);
    if (index < 0) return WBEM_E_INVALID_PROPERTY;
    sub->conditions.push_back({Fold(c.property), c.text, static_cast<std::size_t>(index)});
  }
  std::shared_ptr<Worker>& worker = workers_[sink];
  if (!worker) {
    auto fresh = std::make_shared<Worker>();
    fresh->sink = ComPtr<IWbemObjectSink>(sink);
    try {
      fresh->thread = std::thread([self = shared_from_this(), fresh] { self->Run(fresh); });
    } catch (const std::system_error&) {
      workers_.erase(sink);
      return WBEM_E_FAILED;
    }
    worker = std::move(fresh);
  }
  sub->worker = worker;
  ++worker->subscriptions;
  ns->subscriptions.push_back(std::move(sub));
  return WBEM_S_NO_ERROR;
}

void Core::Run(const std::shared_ptr<Worker>& worker) {
  t_delivering = this;
  while (true) {
    // Retired subscriptions are taken before the inbox: every item naming
    // one of them is then in this batch or an earlier one.
    std::vector<std::shared_ptr<Subscription>> retired;
    if (worker->has_retired.load(std::memory_order_acquire)) {
      std::lock_guard lock(worker->mu);
      retired.swap(worker->retired);
      worker->has_retired.store(false, std::memory_order_relaxed);
    }
    Worker::Item* batch = worker->TakeAll();
    if (batch == nullptr) {
      if (worker->stopping.load()) break;
      worker->sleeping.store(true, std::memory_order_seq_cst);
      if (worker->inbox.load(std::memory_order_seq_cst) == nullptr && !worker->stopping.load()) {
        worker->sleeping.wait(true, std::memory_order_seq_cst);
      }
      worker->sleeping.store(false, std::memory_order_relaxed);
      continue;
    }
    std::int64_t count = 0;
    while (batch != nullptr) {
      std::unique_ptr<Worker::Item> item(std::exchange(batch, batch->next));
      ++count;
      // Stopping drops what is left; a cancelled subscription's items are
      // skipped, never delivered.
      if (worker->stopping.load()) continue;
      // Published before the cancellation check: a Cancel that marks the
      // subscription after this point sees the delivery and waits for it.
      worker->current.store(item->subscription);
      if (!item->subscription->cancelled.load()) {
        IWbemClassObject* object = item->object.get();
        try {
          worker->sink->Indicate(1, &object);
        } catch (...) {
          // A sink that throws loses that event, not the subscription.
        }
      }
      worker->current.store(nullptr);
      if (worker->cancel_waiters.load() > 0) {
        std::lock_guard wait_lock(worker->mu);
        worker->delivered.notify_all();
      }
      // Released (with the item) before the event counts as delivered, so
      // that WaitIdle returning means the repository holds no more
      // references to it.
    }
    retired.clear();
    // Delivered and dropped events alike; the idle count changes once per
    // batch.
    Finished(count);
  }
  // Nothing can be pushed any more (the worker has no subscription left), but
  // items pushed before the stop may still wait: they are dropped here.
  Finished(Worker::ReleaseAll(worker->TakeAll()));
  if (worker->release_on_exit) {
    worker->sink.Reset();
    Finished(1);
  }
  t_delivering = nullptr;
}

void Core::Finished(std::int64_t count) {
  if (count == 0) return;
  if (pending_.fetch_sub(count) == count && idle_waiters_.load() > 0) {
    std::lock_guard lock(idle_mu_);
    idle_cv_.notify_all();
  }
}

void Core::StopWorker(const std::shared_ptr<Worker>& worker) {
  const bool own_thread = worker->thread.get_id() == std::this_thread::get_id();
  if (own_thread) {
    // Cancelled from inside its own delivery: the thread ends when that
    // delivery returns, holding what it needs. Set before `stopping`, which
    // the thread reads before it looks at this.
    pending_.fetch_add(1);
    worker->release_on_exit = true;
  }
  worker->stopping.store(true, std::memory_order_seq_cst);
  worker->sleeping.store(false, std::memory_order_seq_cst);
  worker->sleeping.notify_one();
  if (own_thread) {
    worker->thread.detach();
  } else if (worker->thread.joinable()) {
    worker->thread.join();
  }
}

HRESULT Core::Cancel(const std::u16string& ns_key, IWbemObjectSink* sink) {
  if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  std::shared_ptr<Worker> worker;
  std::vector<std::shared_ptr<Subscription>> cancelled;
  bool stop = false;
  {
    std::unique_lock lock(mu_);
    if (shut_down_) return WBEM_E_SHUTTING_DOWN;
    NamespaceData* ns = FindNamespace(ns_key);
    if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
    std::erase_if(ns->subscriptions, [&](const std::shared_ptr<Subscription>& sub) {
      if (sub->worker->sink.get() != sink) return false;
      sub->cancelled.store(true);
      worker = sub->worker;
      cancelled.push_back(sub);
      return true;
    });
    if (cancelled.empty()) return WBEM_E_NOT_FOUND;
    worker->subscriptions -= static_cast<int>(cancelled.size());
    if (worker->subscriptions == 0) {
      stop = true;
      workers_.erase(sink);
    }
  }
  // No raiser can name these subscriptions any more: raisers push under the
  // core's shared lock, and they left the namespace under its exclusive one.
  if (stop) {
    StopWorker(worker);
    return WBEM_S_NO_ERROR;
  }
  // The sink stays subscribed elsewhere: its queued events of these
  // subscriptions are skipped by the delivery thread; wait for the running
  // delivery, if it is one of theirs.
  auto running_cancelled = [&] {
    const Subscription* current = worker->current.load();
    for (const auto& sub : cancelled) {
      if (sub.get() == current) return true;
    }
    return false;
  };
  worker->cancel_waiters.fetch_add(1);
  struct WaiterGuard {
    Worker& worker;
    ~WaiterGuard() { worker.cancel_waiters.fetch_sub(1); }
  } waiter_guard{*worker};
  std::unique_lock lock(worker->mu);
  if (worker->thread.get_id() != std::this_thread::get_id()) {
    worker->delivered.wait(lock, [&] { return !running_cancelled(); });
  }
  for (auto& sub : cancelled) {
    sub->worker.reset();  // no cycle through the worker's own list
    worker->retired.push_back(std::move(sub));
  }
  worker->has_retired.store(true, std::memory_order_release);
  return WBEM_S_NO_ERROR;
}

HRESULT Core::Indicate(const std::u16string& ns_key, LONG count, IWbemClassObject** objects) {
  HRESULT hr = CheckEvents(count, objects);
  if (FAILED(hr)) return hr;
  NamespaceData* ns;
  hr = ResolveNamespace(ns_key, &ns);
  if (FAILED(hr)) return hr;
  return Indicate(ns, count, objects);
}

HRESULT Core::Indicate(NamespaceData* ns, LONG count, IWbemClassObject** objects) {
  const HRESULT hr = CheckEvents(count, objects);
  if (FAILED(hr)) return hr;
  std::shared_lock lock(mu_);
  // After a shutdown `ns` may name freed data; it is not followed.
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  for (LONG i = 0; i < count; ++i) {
    Object* event = Object::From(objects[i]);
    for (const std::shared_ptr<Subscription>& sub : ns->subscriptions) {
      if (!Matches(*sub, *event)) continue;
      // Each subscriber gets its own copy, taken now: later changes by the
      // raiser, or by another subscriber, cannot reach it.
      ComPtr<IWbemClassObject> copy;
      const HRESULT hr = event->Clone(copy.Out());
      if (FAILED(hr)) return hr;
      // Counted before it can be taken, so that WaitIdle cannot miss it.
      auto item = std::make_unique<Worker::Item>(Worker::Item{sub.get(), std::move(copy)});
      pending_.fetch_add(1);
      sub->worker->Push(item.release());
    }
  }
  return WBEM_S_NO_ERROR;
}

bool Core::WaitIdle(std::chrono::milliseconds timeout) {
  if (t_delivering == this) return false;
  idle_waiters_.fetch_add(1);
  std::unique_lock lock(idle_mu_);
  const bool idle = idle_cv_.wait_for(lock, timeout, [&] { return pending_.load() == 0; });
  idle_waiters_.fetch_sub(1);
  return idle;
}

}  // namespace repository::detail
