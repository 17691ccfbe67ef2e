#include "wbem/sinks.h"

namespace wbem {
namespace {

HRESULT QuerySink(IWbemObjectSink* self, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IWbemObjectSink) {
    self->AddRef();
    *object = self;
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

}  // namespace

CollectingSink::CollectingSink() { detail::CountObject(+1); }
CollectingSink::~CollectingSink() { detail::CountObject(-1); }

ComPtr<CollectingSink> CollectingSink::Create() {
  return ComPtr<CollectingSink>::Adopt(new CollectingSink());
}

HRESULT CollectingSink::QueryInterface(REFIID riid, void** object) {
  return QuerySink(this, riid, object);
}
ULONG CollectingSink::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
ULONG CollectingSink::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT CollectingSink::Indicate(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  try {
    std::lock_guard lock(mu_);
    for (LONG i = 0; i < count; ++i) objects_.emplace_back(objects[i]);
  } catch (...) {
    return WBEM_E_OUT_OF_MEMORY;
  }
  arrived_.notify_all();
  return WBEM_S_NO_ERROR;
}

HRESULT CollectingSink::SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) {
  return WBEM_S_NO_ERROR;
}

std::size_t CollectingSink::Count() const {
  std::lock_guard lock(mu_);
  return objects_.size();
}

std::vector<ComPtr<IWbemClassObject>> CollectingSink::Objects() const {
  std::lock_guard lock(mu_);
  return objects_;
}

bool CollectingSink::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  return arrived_.wait_for(lock, timeout, [&] { return objects_.size() >= count; });
}

void CollectingSink::Clear() {
  std::vector<ComPtr<IWbemClassObject>> dropped;
  std::lock_guard lock(mu_);
  dropped.swap(objects_);
}

FunctionSink::FunctionSink(Handler handler) : handler_(std::move(handler)) {
  detail::CountObject(+1);
}
FunctionSink::~FunctionSink() { detail::CountObject(-1); }

ComPtr<FunctionSink> FunctionSink::Create(Handler handler) {
  return ComPtr<FunctionSink>::Adopt(new FunctionSink(std::move(handler)));
}

HRESULT FunctionSink::QueryInterface(REFIID riid, void** object) {
  return QuerySink(this, riid, object);
}
ULONG FunctionSink::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
ULONG FunctionSink::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT FunctionSink::Indicate(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  HRESULT hr = WBEM_S_NO_ERROR;
  for (LONG i = 0; i < count; ++i) {
    try {
      hr = handler_ ? handler_(objects[i]) : WBEM_S_NO_ERROR;
    } catch (...) {
      hr = WBEM_E_FAILED;
    }
  }
  return hr;
}

HRESULT FunctionSink::SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) { return WBEM_S_NO_ERROR; }

}  // namespace wbem
