// Ready-made object sinks for tests and tools.
//
// CollectingSink keeps every object delivered to it, in order; FunctionSink
// hands each object to a callable. Both are reference counted COM objects
// (created with one reference, held by the returned ComPtr) and thread-safe.
//
//   auto sink = wbem::CollectingSink::Create();
//   ns.Subscribe("SELECT * FROM ZRV_ActionResult", sink.get());
//   ...
//   ASSERT_TRUE(repo.WaitIdle());
//   ASSERT_EQ(sink->Count(), 1u);
//   ns.Unsubscribe(sink.get());
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "wbem/com_ptr.h"

namespace wbem {

class CollectingSink final : public IWbemObjectSink {
 public:
  static ComPtr<CollectingSink> Create();

  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  // Keeps a reference to each object.
  HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
  // Records the last status.
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

  std::size_t Count() const;
  std::vector<ComPtr<IWbemClassObject>> Objects() const;
  // Waits until at least `count` objects arrived; false on time-out.
  bool WaitForCount(std::size_t count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Drops the objects collected so far.
  void Clear();

 private:
  CollectingSink();
  ~CollectingSink();
  std::atomic<ULONG> refs_{1};
  mutable std::mutex mu_;
  mutable std::condition_variable arrived_;
  std::vector<ComPtr<IWbemClassObject>> objects_;
};

class FunctionSink final : public IWbemObjectSink {
 public:
  // `handler` runs for each object on the delivering thread; its result is
  // what Indicate returns for the last object.
  using Handler = std::function<HRESULT(IWbemClassObject* object)>;
  static ComPtr<FunctionSink> Create(Handler handler);

  HRESULT QueryInterface(REFIID riid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

 private:
  explicit FunctionSink(Handler handler);
  ~FunctionSink();
  std::atomic<ULONG> refs_{1};
  Handler handler_;
};

}  // namespace wbem
