// wbem::ComPtr<T>: owns one reference to a COM-style interface.
//
// Constructing from a raw pointer adds a reference (the pointer stays the
// caller's); Adopt takes over a reference the caller already owns, such as one
// just returned through an out-parameter. Out() releases what is held and
// gives the address for an out-parameter:
//
//   wbem::ComPtr<IWbemClassObject> cls;
//   HRESULT hr = services->GetObject(name.get(), 0, nullptr, cls.Out(), nullptr);
//
// Not thread-safe: one ComPtr must not be changed by two threads at once.
#pragma once

#include <cstddef>
#include <utility>

#include "wbem/interfaces.h"

namespace wbem {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT(google-explicit-constructor)
  explicit ComPtr(T* p) : p_(p) {
    if (p_ != nullptr) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  // Copy and swap: self-assignment is safe.
  ComPtr& operator=(const ComPtr& other) {  // NOLINT(bugprone-unhandled-self-assignment)
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference that the caller owns.
  static ComPtr Adopt(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases what is held and returns the slot for an out-parameter.
  T** Out() {
    Reset();
    return &p_;
  }
  // Gives up the reference without releasing it.
  [[nodiscard]] T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // QueryInterface for U; `out` is null on failure.
  template <typename U>
  HRESULT As(ComPtr<U>* out) const {
    if (out == nullptr) return E_POINTER;
    if (p_ == nullptr) {
      out->Reset();
      return E_POINTER;
    }
    return p_->QueryInterface(InterfaceId<U>::value, reinterpret_cast<void**>(out->Out()));
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace wbem
