// wbem::ComObject: the one implementation of IUnknown that every COM object of
// the tree builds on: reference counting, interface lookup and the
// process-wide live-object count (wbem::GetLiveCounts).
//
//   class MySink final : public wbem::ComObject<MySink, IWbemObjectSink> {
//    public:
//     HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
//     HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override;
//   };
//   auto sink = wbem::ComPtr<MySink>::Adopt(new MySink);
//
// Lifetime::kReferences (the default): the object is created with one
// reference, which the creator owns, and deletes itself (as Derived) when the
// last one is released. Lifetime::kOwner: an ordinary C++ object that its
// owner deletes; references are counted for the callers' sake (starting at 0)
// and reaching zero deletes nothing.
//
// QueryInterface answers IID_IUnknown and the interface's own identity with
// the interface pointer. A Derived that is known under more identities (a
// private one, to recognise its own objects) declares
//   bool AnswersTo(REFIID riid) const;
// which is found without a virtual call, so the interface's slot order is
// exactly the interface's own.
//
// Thread-safe: references may be added and released from any thread.
#pragma once

#include <atomic>

#include "wbem/interfaces.h"
#include "wbem/oleauto.h"

namespace wbem {

enum class Lifetime {
  kReferences,  // deleted when the last reference is released
  kOwner,       // deleted by its owner; references never delete it
};

template <typename Derived, typename Interface, Lifetime kLifetime = Lifetime::kReferences>
class ComObject : public Interface {
 public:
  HRESULT QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == InterfaceId<Interface>::value ||
        static_cast<const Derived*>(this)->AnswersTo(riid)) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

  ULONG Release() override {
    if constexpr (kLifetime == Lifetime::kReferences) {
      const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (left == 0) delete static_cast<Derived*>(this);
      return left;
    } else {
      // A stray Release past zero is ignored rather than wrapping around: the
      // owner, not the count, decides when the object ends.
      ULONG current = refs_.load(std::memory_order_relaxed);
      while (current > 0 &&
             !refs_.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel)) {
      }
      return current > 0 ? current - 1 : 0;
    }
  }

  // The default: no identity beyond IUnknown and Interface.
  bool AnswersTo(REFIID) const { return false; }

 protected:
  ComObject() { detail::CountObject(+1); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  // Not virtual: a kReferences object is deleted as Derived, a kOwner object
  // by its owner through Derived's own destructor.
  ~ComObject() { detail::CountObject(-1); }

 private:
  std::atomic<ULONG> refs_{kLifetime == Lifetime::kReferences ? 1u : 0u};
};

}  // namespace wbem
