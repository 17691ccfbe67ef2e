#include "wbem/oleauto.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "wbem/interfaces.h"

namespace {

// The live counts are kept per thread, so that an object made on one thread
// and released on another does not bounce a shared counter between cores on
// every event. Each thread writes only its own shard; GetLiveCounts adds them
// up with what exited threads left behind.
struct Shard {
  std::atomic<std::int64_t> bstrs{0};
  std::atomic<std::int64_t> objects{0};
};

struct Registry {
  std::mutex mu;
  std::vector<Shard*> live;
  std::int64_t retired_bstrs = 0;  // guarded by mu
  std::int64_t retired_objects = 0;
};

Registry& GetRegistry() {
  // Never destroyed: threads may release objects while statics are torn down.
  static Registry* const registry = new Registry();
  return *registry;
}

thread_local Shard* t_shard = nullptr;
thread_local bool t_exited = false;

struct ShardOwner {
  Shard* shard = nullptr;
  ~ShardOwner() {
    if (shard == nullptr) return;
    Registry& r = GetRegistry();
    std::lock_guard lock(r.mu);
    std::erase(r.live, shard);
    r.retired_bstrs += shard->bstrs.load(std::memory_order_relaxed);
    r.retired_objects += shard->objects.load(std::memory_order_relaxed);
    delete shard;
    t_shard = nullptr;
    t_exited = true;
  }
};
thread_local ShardOwner t_owner;

void Count(std::atomic<std::int64_t> Shard::*field, std::int64_t delta) {
  if (t_shard == nullptr && !t_exited) {
    auto* shard = new Shard();
    Registry& r = GetRegistry();
    {
      std::lock_guard lock(r.mu);
      r.live.push_back(shard);
    }
    t_owner.shard = shard;
    t_shard = shard;
  }
  if (t_shard != nullptr) {
    // Only this thread writes its shard.
    std::atomic<std::int64_t>& counter = t_shard->*field;
    counter.store(counter.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
    return;
  }
  // A thread that is exiting counts straight into the registry.
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mu);
  (field == &Shard::bstrs ? r.retired_bstrs : r.retired_objects) += delta;
}

// The length prefix sits in the four bytes in front of the first unit.
constexpr std::size_t kPrefix = sizeof(std::uint32_t);

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
  if (bytes > UINT32_MAX - kPrefix - sizeof(OLECHAR)) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto byte_length = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &byte_length, kPrefix);
  auto* units = reinterpret_cast<OLECHAR*>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);
  }
  units[length] = 0;
  Count(&Shard::bstrs, +1);
  return units;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  if (n > UINT32_MAX / sizeof(OLECHAR)) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(n));
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  Count(&Shard::bstrs, -1);
  std::free(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - kPrefix, kPrefix);
  return bytes;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

void VariantInit(VARIANTARG* value) {
  if (value == nullptr) return;
  std::memset(value, 0, sizeof *value);
  value->vt = VT_EMPTY;
}

namespace {

bool IsKnownScalar(VARTYPE vt) {
  if (wbem::IsIntegerVarType(vt)) return true;
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT VariantClear(VARIANTARG* value) {
  if (value == nullptr) return E_INVALIDARG;
  if (!IsKnownScalar(value->vt)) return DISP_E_BADVARTYPE;
  if (value->vt == VT_BSTR) {
    SysFreeString(value->bstrVal);
  } else if ((value->vt == VT_UNKNOWN || value->vt == VT_DISPATCH) && value->punkVal != nullptr) {
    value->punkVal->Release();
  }
  VariantInit(value);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
  if (dest == nullptr || source == nullptr) return E_INVALIDARG;
  if (dest == source) return S_OK;
  if (!IsKnownScalar(source->vt)) return DISP_E_BADVARTYPE;
  const HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  if (source->vt == VT_BSTR) {
    if (source->bstrVal != nullptr) {
      BSTR copy = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
      if (copy == nullptr) return E_OUTOFMEMORY;
      dest->vt = VT_BSTR;
      dest->bstrVal = copy;
    } else {
      dest->vt = VT_BSTR;
    }
    return S_OK;
  }
  std::memcpy(dest, source, sizeof *dest);
  if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) && source->punkVal != nullptr) {
    source->punkVal->AddRef();
  }
  return S_OK;
}

namespace wbem {

bool IsIntegerVarType(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

LiveCounts GetLiveCounts() {
  Registry& r = GetRegistry();
  std::lock_guard lock(r.mu);
  LiveCounts counts{r.retired_bstrs, r.retired_objects};
  for (const Shard* shard : r.live) {
    counts.bstrs += shard->bstrs.load(std::memory_order_relaxed);
    counts.objects += shard->objects.load(std::memory_order_relaxed);
  }
  return counts;
}

void detail::CountObject(int delta) { Count(&Shard::objects, delta); }

}  // namespace wbem
