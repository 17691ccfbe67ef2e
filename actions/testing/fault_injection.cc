#include "actions/testing/fault_injection.h"

#include <utility>
#include <vector>

#include "wbem/com_object.h"
#include "wbem/services_wrapper.h"
#include "wbem/unicode.h"
#include "wbem/variant_text.h"

namespace actions::testing {

namespace {

class WrappedObject final : public wbem::ComObject<WrappedObject, IWbemClassObject> {
 public:
  enum class Kind { kClass, kInSignature, kInstance, kEvent };

  // Takes over `inner`'s reference; `journal` may be null (nothing recorded).
  static IWbemClassObject* Wrap(IWbemClassObject* inner, Kind kind,
                                std::shared_ptr<Journal> journal,
                                std::map<std::u16string, Override> overrides = {}) {
    if (inner == nullptr) return nullptr;
    return new WrappedObject(wbem::ComPtr<IWbemClassObject>::Adopt(inner), kind, std::move(journal),
                             std::move(overrides));
  }
  // The repository's object behind a wrapper, or `object` itself.
  static IWbemClassObject* Unwrap(IWbemClassObject* object) {
    auto* wrapped = dynamic_cast<WrappedObject*>(object);
    return wrapped != nullptr ? wrapped->inner_.get() : object;
  }

  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    const auto it = name != nullptr ? overrides_.find(name) : overrides_.end();
    if (it == overrides_.end()) return inner_->Get(name, flags, value, type, flavor);
    if (SUCCEEDED(it->second.hr) && value != nullptr) VariantCopy(value, &it->second.value.get());
    return it->second.hr;
  }
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    if (journal_ != nullptr) {
      std::string text = "?";
      if (value != nullptr) wbem::FormatVariant(*value, &text);
      journal_->AddPut({class_name_, wbem::Utf16ToUtf8(name != nullptr ? name : u""),
                        value != nullptr ? value->vt : VT_EMPTY, text});
    }
    return inner_->Put(name, flags, value, type);
  }
  HRESULT BeginEnumeration(LONG flags) override {
    const HRESULT fault = kind_ == Kind::kClass ? Fault(&Faults::enumerate_class) : WBEM_S_NO_ERROR;
    return fault != WBEM_S_NO_ERROR ? fault : inner_->BeginEnumeration(flags);
  }
  HRESULT Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    return inner_->Next(flags, name, value, type, flavor);
  }
  HRESULT EndEnumeration() override { return inner_->EndEnumeration(); }
  HRESULT Clone(IWbemClassObject** copy) override { return inner_->Clone(copy); }
  HRESULT SpawnInstance(LONG flags, IWbemClassObject** instance) override {
    if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
    *instance = nullptr;
    const HRESULT fault = kind_ == Kind::kInSignature ? Fault(&Faults::spawn_in_params)
                          : kind_ == Kind::kClass && class_name_ == "ZRV_ActionResult"
                              ? Fault(&Faults::spawn_result)
                              : WBEM_S_NO_ERROR;
    if (fault != WBEM_S_NO_ERROR) return fault;
    IWbemClassObject* spawned = nullptr;
    const HRESULT hr = inner_->SpawnInstance(flags, &spawned);
    if (hr == WBEM_S_NO_ERROR) *instance = Wrap(spawned, Kind::kInstance, journal_);
    return hr;
  }
  HRESULT GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                    IWbemClassObject** out_signature) override {
    IWbemClassObject* in = nullptr;
    const HRESULT hr =
        inner_->GetMethod(name, flags, in_signature != nullptr ? &in : nullptr, out_signature);
    if (in_signature != nullptr) *in_signature = Wrap(in, Kind::kInSignature, journal_);
    return hr;
  }

 private:
  WrappedObject(wbem::ComPtr<IWbemClassObject> inner, Kind kind, std::shared_ptr<Journal> journal,
                std::map<std::u16string, Override> overrides)
      : inner_(std::move(inner)),
        kind_(kind),
        journal_(std::move(journal)),
        overrides_(std::move(overrides)) {
    wbem::Variant name;
    if (SUCCEEDED(inner_->Get(u"__CLASS", 0, name.ptr(), nullptr, nullptr))) {
      class_name_ = name.AsUtf8();
    }
  }
  HRESULT Fault(HRESULT Faults::*which) const {
    return journal_ != nullptr ? journal_->faults.*which : WBEM_S_NO_ERROR;
  }

  wbem::ComPtr<IWbemClassObject> inner_;
  Kind kind_;
  std::shared_ptr<Journal> journal_;
  std::map<std::u16string, Override> overrides_;
  std::string class_name_;
};

class WrappedSink final : public wbem::ComObject<WrappedSink, IWbemObjectSink> {
 public:
  WrappedSink(wbem::ComPtr<IWbemObjectSink> inner, std::shared_ptr<Journal> journal)
      : inner_(std::move(inner)), journal_(std::move(journal)) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    journal_->Add(Journal::kIndicate);
    if (journal_->faults.indicate != WBEM_S_NO_ERROR) return journal_->faults.indicate;
    std::vector<IWbemClassObject*> inner(objects, objects + count);
    for (IWbemClassObject*& object : inner) object = WrappedObject::Unwrap(object);
    return inner_->Indicate(count, inner.data());
  }
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override {
    return inner_->SetStatus(flags, result, text, WrappedObject::Unwrap(object));
  }

 private:
  wbem::ComPtr<IWbemObjectSink> inner_;
  std::shared_ptr<Journal> journal_;
};

// Passes everything to the repository's services but for the calls that hand
// out objects (wrapped) or take them back (unwrapped), and the faults.
class WrappedServices final : public wbem::ServicesWrapper {
 public:
  WrappedServices(wbem::ComPtr<IWbemServices> inner, std::shared_ptr<Journal> journal)
      : ServicesWrapper(std::move(inner)), journal_(std::move(journal)) {}

  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override {
    if (journal_->faults.get_result_class != WBEM_S_NO_ERROR && path != nullptr &&
        std::u16string_view(path) == u"ZRV_ActionResult") {
      return journal_->faults.get_result_class;
    }
    IWbemClassObject* found = nullptr;
    const HRESULT hr = ServicesWrapper::GetObject(path, flags, context, &found, call_result);
    if (object != nullptr)
      *object = WrappedObject::Wrap(found, WrappedObject::Kind::kClass, journal_);
    return hr;
  }
  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override {
    return ServicesWrapper::ExecMethod(path, method, flags, context,
                                       WrappedObject::Unwrap(in_params), out_params, call_result);
  }
  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override {
    if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
    *sink = nullptr;
    if (journal_->faults.query_object_sink != WBEM_S_NO_ERROR) {
      return journal_->faults.query_object_sink;
    }
    wbem::ComPtr<IWbemObjectSink> inner;
    const HRESULT hr = ServicesWrapper::QueryObjectSink(flags, inner.Out());
    if (hr == WBEM_S_NO_ERROR) *sink = new WrappedSink(std::move(inner), journal_);
    return hr;
  }

 private:
  std::shared_ptr<Journal> journal_;
};

}  // namespace

wbem::ComPtr<IWbemServices> WrapServices(wbem::ComPtr<IWbemServices> inner,
                                         std::shared_ptr<Journal> journal) {
  return wbem::ComPtr<IWbemServices>::Adopt(
      new WrappedServices(std::move(inner), std::move(journal)));
}

wbem::ComPtr<IWbemClassObject> WrapEvent(IWbemClassObject* event,
                                         std::map<std::u16string, Override> overrides) {
  if (event != nullptr) event->AddRef();
  return wbem::ComPtr<IWbemClassObject>::Adopt(
      WrappedObject::Wrap(event, WrappedObject::Kind::kEvent, nullptr, std::move(overrides)));
}

}  // namespace actions::testing
