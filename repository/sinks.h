// Ready-made object sinks for tests and tools.
//
// CollectingSink keeps every object delivered to it, in order; FunctionSink
// hands each object to a callable. Both are reference counted COM objects
// (created with one reference, held by the returned ComPtr) and thread-safe.
//
//   auto sink = repository::CollectingSink::Create();
//   ns.Subscribe("SELECT * FROM ZRV_ActionResult", sink.get());
//   ...
//   ASSERT_TRUE(repo.WaitIdle());
//   ASSERT_EQ(sink->Count(), 1u);
//   ns.Unsubscribe(sink.get());
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "repository/kit_names.h"
#include "wbem/com_object.h"
#include "wbem/com_ptr.h"

namespace repository {

class CollectingSink final : public wbem::ComObject<CollectingSink, IWbemObjectSink> {
 public:
  static ComPtr<CollectingSink> Create();

  // Keeps a reference to each object.
  HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
  // Records the last status.
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

  std::size_t Count() const;
  std::vector<ComPtr<IWbemClassObject>> Objects() const;
  // Drops the objects collected so far.
  void Clear();

 private:
  friend class wbem::ComObject<CollectingSink, IWbemObjectSink>;
  CollectingSink() = default;
  ~CollectingSink() = default;
  mutable std::mutex mu_;
  std::vector<ComPtr<IWbemClassObject>> objects_;
};

class FunctionSink final : public wbem::ComObject<FunctionSink, IWbemObjectSink> {
 public:
  // `handler` runs for each object on the delivering thread; its result is
  // what Indicate returns for the last object.
  using Handler = std::function<HRESULT(IWbemClassObject* object)>;
  static ComPtr<FunctionSink> Create(Handler handler);

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

 private:
  friend class wbem::ComObject<FunctionSink, IWbemObjectSink>;
  explicit FunctionSink(Handler handler) : handler_(std::move(handler)) {}
  ~FunctionSink() = default;
  Handler handler_;
};

}  // namespace repository
