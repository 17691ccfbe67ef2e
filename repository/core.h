// The repository's shared state (namespaces, classes, instances,
// subscriptions and their delivery threads) behind Repository, Namespace and
// the services objects. Internal to this layer.
//
// Locking: one shared mutex guards the namespaces and the sink workers; a
// worker's inbox takes no lock (see Worker), and a worker's own mutex is only
// for cancelling. The order is core, then worker. No lock is held while a
// provider or a sink runs, so both may call back in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "repository/class_object.h"
#include "repository/object_path.h"
#include "repository/repository.h"
#include "repository/wql.h"

namespace repository::detail {

struct Worker;

struct Subscription {
  struct Condition {
    std::u16string name;  // folded
    std::u16string text;
    // Where the property sat in the subscribed class. Subclasses keep
    // inherited properties at their position, so this is almost always where
    // an event has it too; matching checks the name there before searching.
    std::size_t index_hint;
  };
  std::u16string class_folded;
  std::vector<Condition> conditions;
  std::shared_ptr<Worker> worker;
  std::atomic<bool> cancelled{false};
};

// Delivers to one sink, one object at a time, in indication order.
//
// Raisers never take a lock of the worker: each pushes its item onto the
// worker's inbox, a lock-free stack (newest first), with one compare-and-swap,
// and wakes the delivery thread only when it sleeps. The delivery thread takes
// the whole inbox with one exchange, restores indication order by reversing
// it, and works through the batch. So a raiser and the deliverer share no
// mutex at all; they meet on the inbox word once per item and per batch.
//
// Sleeping: the delivery thread sets `sleeping`, looks at the inbox once more
// and only then waits on `sleeping` (a futex wait). A raiser pushes, then
// reads `sleeping`; both sides use sequentially consistent operations, so
// either the thread sees the item or the raiser sees it sleeping and wakes it.
struct Worker {
  // The subscription is kept alive by its namespace while it is active and by
  // `retired` (or the cancelling call) after, for as long as items may name it.
  struct Item {
    Subscription* subscription;
    ComPtr<IWbemClassObject> object;
    Item* next = nullptr;
  };

  ~Worker() { ReleaseAll(inbox.exchange(nullptr)); }
  // Pushes `item` (owned from now on by the worker); wakes the thread if it
  // sleeps.
  void Push(Item* item) {
    Item* head = inbox.load(std::memory_order_relaxed);
    do {
      item->next = head;
    } while (!inbox.compare_exchange_weak(head, item, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
    if (sleeping.load(std::memory_order_seq_cst) && sleeping.exchange(false)) {
      sleeping.notify_one();
    }
  }
  // Takes every item pushed so far, oldest first (the caller owns the list).
  Item* TakeAll() {
    Item* newest_first = inbox.exchange(nullptr, std::memory_order_seq_cst);
    Item* oldest_first = nullptr;
    while (newest_first != nullptr) {
      Item* next = newest_first->next;
      newest_first->next = oldest_first;
      oldest_first = newest_first;
      newest_first = next;
    }
    return oldest_first;
  }
  // Frees a list taken from the inbox; the number of items freed.
  static std::int64_t ReleaseAll(Item* list) {
    std::int64_t count = 0;
    while (list != nullptr) {
      delete std::exchange(list, list->next);
      ++count;
    }
    return count;
  }

  ComPtr<IWbemObjectSink> sink;
  std::atomic<Item*> inbox{nullptr};
  std::atomic<bool> sleeping{false};  // the delivery thread waits on it
  std::atomic<bool> stopping{false};  // set once, by StopWorker
  std::mutex mu;                      // `retired`, and Cancel's wait below
  std::condition_variable delivered;  // for Cancel: a delivery ended
  // Cancelled subscriptions of a worker that lives on. Every item that names
  // one was pushed before it was put here, so the delivery thread releases
  // them after the first batch it takes after taking them. Guarded by mu.
  std::vector<std::shared_ptr<Subscription>> retired;
  std::atomic<bool> has_retired{false};
  // The subscription whose delivery is running, and how many Cancel calls
  // wait for it to end.
  std::atomic<const Subscription*> current{nullptr};
  std::atomic<int> cancel_waiters{0};
  int subscriptions = 0;  // guarded by the core's mutex
  // Set when the worker was stopped from its own delivery: its thread then
  // releases the sink itself and counts that as the last pending event, so
  // that WaitIdle also waits for the release.
  bool release_on_exit = false;
  std::thread thread;
};

struct NamespaceData {
  std::u16string name;
  std::map<std::u16string, std::shared_ptr<const ClassDef>> classes;  // by folded name
  // Instances by (folded key root class, canonical key texts).
  std::map<std::pair<std::u16string, std::vector<std::u16string>>, ComPtr<IWbemClassObject>>
      instances;
  std::vector<std::shared_ptr<Subscription>> subscriptions;
};

class Core : public std::enable_shared_from_this<Core> {
 public:
  ~Core();

  // The lookup key of a namespace name: slashes as backslashes, folded.
  static std::u16string NamespaceKey(std::u16string_view name);

  std::u16string OpenNamespace(std::u16string_view name);
  // WBEM_S_NO_ERROR for an existing namespace, WBEM_E_INVALID_NAMESPACE, or
  // WBEM_E_SHUTTING_DOWN.
  HRESULT CheckNamespace(const std::u16string& key) const;
  // As CheckNamespace, and on success `*ns` is the namespace's data (else
  // null). A namespace, once opened, is dropped only by Shutdown, so the
  // pointer may be kept and passed to Indicate, which checks for shutdown
  // before it follows it; it must not be followed anywhere else.
  HRESULT ResolveNamespace(const std::u16string& key, NamespaceData** ns) const;

  HRESULT Define(const std::u16string& ns, const Class& cls);
  HRESULT SetProvider(const std::u16string& ns, std::u16string_view class_name,
                      std::u16string_view method, MethodProvider provider);
  HRESULT NewInstance(const std::u16string& ns, std::u16string_view class_name,
                      const PropertyValues& values, ComPtr<IWbemClassObject>* out);

  // The IWbemServices operations, for the namespace `ns` (a key).
  HRESULT GetObject(const std::u16string& ns, LPCWSTR path, IWbemClassObject** object);
  HRESULT ExecMethod(const std::u16string& ns, IWbemServices* services, LPCWSTR path,
                     LPCWSTR method, IWbemClassObject* in, IWbemClassObject** out);
  HRESULT Subscribe(const std::u16string& ns, LPCWSTR query, IWbemObjectSink* sink);
  HRESULT Cancel(const std::u16string& ns, IWbemObjectSink* sink);
  HRESULT PutClass(const std::u16string& ns, IWbemClassObject* object, LONG flags);
  HRESULT PutInstance(const std::u16string& ns, IWbemClassObject* object, LONG flags);
  HRESULT Indicate(const std::u16string& ns, LONG count, IWbemClassObject** objects);
  // Indicate for a namespace found by ResolveNamespace: the raising path of
  // QueryObjectSink, which would otherwise look the name up on every event.
  HRESULT Indicate(NamespaceData* ns, LONG count, IWbemClassObject** objects);

  bool WaitIdle(std::chrono::milliseconds timeout);
  void RecordCallsOnly(CallRecorder recorder);
  // Cancels everything and drops all data; later calls give WBEM_E_SHUTTING_DOWN.
  void Shutdown();

 private:
  struct LocalProperty {
    std::u16string name;
    CIMTYPE type;
    bool key;
    Variant default_value;
  };
  struct LocalMethod {
    std::u16string name;
    ComPtr<IWbemClassObject> in_signature;
    ComPtr<IWbemClassObject> out_signature;
    std::shared_ptr<const MethodProvider> provider;
  };
  // Builds and files a class; the caller holds the lock exclusively.
  HRESULT FileClass(NamespaceData& ns, const std::u16string& name, const std::u16string& superclass,
                    std::vector<LocalProperty> properties, std::vector<LocalMethod> methods,
                    LONG flags);
  HRESULT ResolveInstance(NamespaceData& ns, const ClassDef& cls, const ObjectPath& path,
                          ComPtr<IWbemClassObject>* instance);
  NamespaceData* FindNamespace(const std::u16string& key);
  void Run(const std::shared_ptr<Worker>& worker);
  void Finished(std::int64_t count);
  // Stops a worker and waits for its thread, unless called on that thread.
  void StopWorker(const std::shared_ptr<Worker>& worker);

  mutable std::shared_mutex mu_;
  bool shut_down_ = false;
  std::map<std::u16string, NamespaceData> namespaces_;
  std::shared_ptr<const CallRecorder> recorder_;  // under mu_; null: providers run
  std::unordered_map<IWbemObjectSink*, std::shared_ptr<Worker>> workers_;

  std::atomic<std::int64_t> pending_{0};
  std::atomic<int> idle_waiters_{0};
  std::mutex idle_mu_;
  std::condition_variable idle_cv_;
};

// Services for the namespace `ns_key` (one reference).
IWbemServices* NewServices(std::shared_ptr<Core> core, std::u16string ns_key);

// Names starting "__" belong to the system.
inline bool IsSystemName(std::u16string_view name) { return name.starts_with(u"__"); }

// Runs `body`, turning an escaping exception into a result code: no exception
// crosses an interface of this layer.
template <typename F>
HRESULT NoThrow(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  } catch (...) {
    return WBEM_E_FAILED;
  }
}

}  // namespace repository::detail
