#include "repository/repository.h"

#include "repository/core.h"
#include "wbem/com_object.h"
#include "wbem/unicode.h"

namespace repository {
namespace detail {
namespace {

// The sink that QueryObjectSink hands out: its Indicate raises events.
class EventSink final : public wbem::ComObject<EventSink, IWbemObjectSink> {
 public:
  // `ns` from Core::ResolveNamespace; the core keeps it valid until shutdown,
  // and Core::Indicate does not follow it after.
  EventSink(std::shared_ptr<Core> core, NamespaceData* ns) : core_(std::move(core)), ns_(ns) {}
  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    return NoThrow([&] { return core_->Indicate(ns_, count, objects); });
  }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

 private:
  std::shared_ptr<Core> core_;
  NamespaceData* ns_;
};

class Services final : public wbem::ComObject<Services, IWbemServices> {
 public:
  Services(std::shared_ptr<Core> core, std::u16string ns)
      : core_(std::move(core)), ns_(std::move(ns)) {}

  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override {
    if (call_result != nullptr) *call_result = nullptr;
    if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
    *object = nullptr;
    if (flags != 0 || context != nullptr) return WBEM_E_INVALID_PARAMETER;
    return NoThrow([&] { return core_->GetObject(ns_, path, object); });
  }

  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override {
    if (call_result != nullptr) *call_result = nullptr;
    if (out_params != nullptr) *out_params = nullptr;
    if (flags != 0 || context != nullptr) return WBEM_E_INVALID_PARAMETER;
    return NoThrow(
        [&] { return core_->ExecMethod(ns_, this, path, method, in_params, out_params); });
  }

  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override {
    if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
    *sink = nullptr;
    if (flags != 0) return WBEM_E_INVALID_PARAMETER;
    return NoThrow([&] {
      NamespaceData* ns;
      const HRESULT hr = core_->ResolveNamespace(ns_, &ns);
      if (FAILED(hr)) return hr;
      *sink = new EventSink(core_, ns);
      return WBEM_S_NO_ERROR;
    });
  }

  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override {
    if ((flags & ~WBEM_FLAG_SEND_STATUS) != 0 || context != nullptr) {
      return WBEM_E_INVALID_PARAMETER;
    }
    if (language == nullptr || Fold({language, Utf16Length(language)}) != u"wql") {
      return WBEM_E_INVALID_QUERY_TYPE;
    }
    return NoThrow([&] { return core_->Subscribe(ns_, query, sink); });
  }

  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override {
    return NoThrow([&] { return core_->Cancel(ns_, sink); });
  }

  HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                   IWbemCallResult** call_result) override {
    if (call_result != nullptr) *call_result = nullptr;
    if (context != nullptr) return WBEM_E_INVALID_PARAMETER;
    return NoThrow([&] { return core_->PutClass(ns_, object, flags); });
  }

  HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                      IWbemCallResult** call_result) override {
    if (call_result != nullptr) *call_result = nullptr;
    if (context != nullptr) return WBEM_E_INVALID_PARAMETER;
    return NoThrow([&] { return core_->PutInstance(ns_, instance, flags); });
  }

 private:
  std::shared_ptr<Core> core_;
  std::u16string ns_;
};

}  // namespace

IWbemServices* NewServices(std::shared_ptr<Core> core, std::u16string ns_key) {
  return new Services(std::move(core), std::move(ns_key));
}

}  // namespace detail

Variant MethodCall::Arg(const char* name) const {
  Variant value;
  if (in != nullptr && name != nullptr) in->Get(Bstr(name).get(), 0, value.Out(), nullptr, nullptr);
  return value;
}

HRESULT MethodCall::SetOut(const char* name, const Variant& value) const {
  if (out == nullptr || name == nullptr) return WBEM_E_INVALID_PARAMETER;
  Variant copy(value);
  return out->Put(Bstr(name).get(), 0, copy.ptr(), 0);
}

namespace {
std::u16string Key(const std::string& name) {
  return detail::Core::NamespaceKey(Utf8ToUtf16(name));
}
}  // namespace

HRESULT Namespace::Define(const Class& cls) const {
  return detail::NoThrow([&] { return core_->Define(Key(name_), cls); });
}

HRESULT Namespace::SetProvider(std::string_view class_name, std::string_view method,
                               MethodProvider provider) const {
  return detail::NoThrow([&] {
    return core_->SetProvider(Key(name_), Utf8ToUtf16(class_name), Utf8ToUtf16(method),
                              std::move(provider));
  });
}

HRESULT Namespace::NewInstance(std::string_view class_name, const PropertyValues& values,
                               ComPtr<IWbemClassObject>* instance) const {
  if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
  return detail::NoThrow(
      [&] { return core_->NewInstance(Key(name_), Utf8ToUtf16(class_name), values, instance); });
}

HRESULT Namespace::AddInstance(std::string_view class_name, const PropertyValues& values) const {
  ComPtr<IWbemClassObject> instance;
  HRESULT hr = NewInstance(class_name, values, &instance);
  if (FAILED(hr)) return hr;
  return detail::NoThrow([&] { return core_->PutInstance(Key(name_), instance.get(), 0); });
}

HRESULT Namespace::Raise(std::string_view class_name, const PropertyValues& values) const {
  ComPtr<IWbemClassObject> event;
  HRESULT hr = NewInstance(class_name, values, &event);
  if (FAILED(hr)) return hr;
  return Raise(event.get());
}

HRESULT Namespace::Raise(IWbemClassObject* event) const {
  return detail::NoThrow([&] { return core_->Indicate(Key(name_), 1, &event); });
}

ComPtr<IWbemServices> Namespace::Services() const {
  try {
    return ComPtr<IWbemServices>::Adopt(detail::NewServices(core_, Key(name_)));
  } catch (...) {
    return nullptr;
  }
}

HRESULT Namespace::Subscribe(std::string_view query, IWbemObjectSink* sink) const {
  return detail::NoThrow([&] {
    const Bstr text(query);
    return core_->Subscribe(Key(name_), text.get(), sink);
  });
}

HRESULT Namespace::Unsubscribe(IWbemObjectSink* sink) const {
  return detail::NoThrow([&] { return core_->Cancel(Key(name_), sink); });
}

Repository::Repository() : core_(std::make_shared<detail::Core>()) {}

Repository::~Repository() { core_->Shutdown(); }

Namespace Repository::OpenNamespace(std::string_view name) {
  const std::u16string wide = Utf8ToUtf16(name);
  core_->OpenNamespace(wide);
  std::string display(name);
  for (char& c : display) {
    if (c == '/') c = '\\';
  }
  return Namespace(core_, std::move(display));
}

HRESULT Repository::Connect(std::string_view ns, ComPtr<IWbemServices>* services) const {
  if (services == nullptr) return WBEM_E_INVALID_PARAMETER;
  services->Reset();
  return detail::NoThrow([&] {
    std::u16string key = detail::Core::NamespaceKey(Utf8ToUtf16(ns));
    const HRESULT hr = core_->CheckNamespace(key);
    if (FAILED(hr)) return hr;
    *services = ComPtr<IWbemServices>::Adopt(detail::NewServices(core_, std::move(key)));
    return WBEM_S_NO_ERROR;
  });
}

bool Repository::WaitIdle(std::chrono::milliseconds timeout) const {
  return core_->WaitIdle(timeout);
}

void Repository::RecordCallsOnly(CallRecorder recorder) {
  core_->RecordCallsOnly(std::move(recorder));
}

}  // namespace repository
