#include "repository/sinks.h"

namespace repository {
ComPtr<CollectingSink> CollectingSink::Create() {
  return ComPtr<CollectingSink>::Adopt(new CollectingSink());
}

HRESULT CollectingSink::Indicate(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  try {
    std::lock_guard lock(mu_);
    for (LONG i = 0; i < count; ++i) objects_.emplace_back(objects[i]);
  } catch (...) {
    return WBEM_E_OUT_OF_MEMORY;
  }
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

void CollectingSink::Clear() {
  std::vector<ComPtr<IWbemClassObject>> dropped;
  std::lock_guard lock(mu_);
  dropped.swap(objects_);
}

ComPtr<FunctionSink> FunctionSink::Create(Handler handler) {
  return ComPtr<FunctionSink>::Adopt(new FunctionSink(std::move(handler)));
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

}  // namespace repository
