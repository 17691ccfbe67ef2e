// The core's objects: instances, object paths, GetObject, ExecMethod and
// PutInstance.
#include "repository/core.h"

#include "repository/cim.h"
#include "wbem/unicode.h"

namespace repository::detail {

// The class is looked up under the shared lock as SetProvider looks it up;
// each keeps the lock for a different next step (a copy of the definition
// here, the provider slot there), so the few lines stay with their step.
HRESULT Core::NewInstance(const std::u16string& ns_key, std::u16string_view class_name,
                          const PropertyValues& values, ComPtr<IWbemClassObject>* out) {
  out->Reset();
  std::shared_ptr<const ClassDef> def;
  {
    std::shared_lock lock(mu_);
    if (shut_down_) return WBEM_E_SHUTTING_DOWN;
    NamespaceData* ns = FindNamespace(ns_key);
    if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
    auto it = ns->classes.find(Fold(class_name));
    if (it == ns->classes.end()) return WBEM_E_INVALID_CLASS;
    def = it->second;
  }
  auto instance = ComPtr<IWbemClassObject>::Adopt(Object::NewInstance(std::move(def)));
  for (const auto& [name, value] : values) {
    Variant copy(value);
    const HRESULT hr = instance->Put(Bstr(name).get(), 0, copy.ptr(), 0);
    if (FAILED(hr)) return hr;
  }
  *out = std::move(instance);
  return WBEM_S_NO_ERROR;
}

HRESULT Core::ResolveInstance(NamespaceData& ns, const ClassDef& cls, const ObjectPath& path,
                              ComPtr<IWbemClassObject>* instance) {
  if (cls.keys.empty() || path.keys.size() != cls.keys.size()) return WBEM_E_INVALID_OBJECT_PATH;
  std::vector<std::u16string> texts(cls.keys.size());
  for (const ObjectPath::Key& key : path.keys) {
    const int index = cls.FindProperty(key.name);
    std::size_t position = cls.keys.size();
    for (std::size_t k = 0; k < cls.keys.size(); ++k) {
      if (static_cast<int>(cls.keys[k]) == index) position = k;
    }
    if (position == cls.keys.size()) return WBEM_E_INVALID_OBJECT_PATH;
    if (!KeyTextFromPath(cls.properties[index].type, key.value, &texts[position])) {
      return WBEM_E_INVALID_OBJECT_PATH;
    }
  }
  auto it = ns.instances.find({cls.key_root, texts});
  if (it == ns.instances.end() || !Object::From(it->second.get())->def()->DerivesFrom(cls.folded)) {
    return WBEM_E_NOT_FOUND;
  }
  *instance = it->second;
  return WBEM_S_NO_ERROR;
}

HRESULT Core::GetObject(const std::u16string& ns_key, LPCWSTR path_text,
                        IWbemClassObject** object) {
  if (path_text == nullptr) return WBEM_E_INVALID_PARAMETER;
  ObjectPath path;
  if (FAILED(ParseObjectPath(View(path_text), &path))) return WBEM_E_INVALID_OBJECT_PATH;
  std::shared_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(path.ns.empty() ? ns_key : NamespaceKey(path.ns));
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  auto it = ns->classes.find(Fold(path.class_name));
  if (it == ns->classes.end()) return WBEM_E_NOT_FOUND;
  if (path.keys.empty()) {
    *object = Object::NewClass(it->second);
    return WBEM_S_NO_ERROR;
  }
  ComPtr<IWbemClassObject> stored;
  const HRESULT hr = ResolveInstance(*ns, *it->second, path, &stored);
  if (FAILED(hr)) return hr;
  return stored->Clone(object);
}

HRESULT Core::ExecMethod(const std::u16string& ns_key, IWbemServices* services, LPCWSTR path_text,
                         LPCWSTR method, IWbemClassObject* in, IWbemClassObject** out) {
  if (path_text == nullptr || method == nullptr) return WBEM_E_INVALID_PARAMETER;
  ObjectPath path;
  if (FAILED(ParseObjectPath(View(path_text), &path))) return WBEM_E_INVALID_OBJECT_PATH;
  std::shared_ptr<const ClassDef> cls;
  std::shared_ptr<const MethodProvider> provider;
  ComPtr<IWbemClassObject> out_signature;
  std::shared_ptr<const CallRecorder> recorder;
  std::u16string target_ns = path.ns.empty() ? ns_key : NamespaceKey(path.ns);
  std::u16string ns_name;
  {
    std::shared_lock lock(mu_);
    if (shut_down_) return WBEM_E_SHUTTING_DOWN;
    NamespaceData* ns = FindNamespace(target_ns);
    if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
    ns_name = ns->name;
    auto it = ns->classes.find(Fold(path.class_name));
    if (it == ns->classes.end()) return WBEM_E_INVALID_CLASS;
    cls = it->second;
    const MethodDef* m = cls->FindMethod(View(method));
    if (m == nullptr) return WBEM_E_INVALID_METHOD;
    if (!path.keys.empty()) {
      ComPtr<IWbemClassObject> instance;
      const HRESULT hr = ResolveInstance(*ns, *cls, path, &instance);
      if (FAILED(hr)) return hr;
    }
    std::lock_guard slot_lock(m->provider->mu);
    provider = m->provider->provider;
    out_signature = m->out_signature;
    recorder = recorder_;
  }
  if (!provider) return WBEM_E_PROVIDER_NOT_CAPABLE;
  ComPtr<IWbemClassObject> out_params;
  HRESULT hr = out_signature->SpawnInstance(0, out_params.Out());
  if (FAILED(hr)) return hr;
  ComPtr<IWbemServices> call_services(services);
  if (target_ns != ns_key)
    call_services = ComPtr<IWbemServices>::Adopt(NewServices(shared_from_this(), target_ns));

  MethodCall call;
  call.path = Utf16ToUtf8(View(path_text));
  call.ns = Utf16ToUtf8(ns_name);
  call.class_name = Utf16ToUtf8(cls->name);
  call.method = Utf16ToUtf8(View(method));
  for (const ObjectPath::Key& key : path.keys) {
    call.keys.emplace_back(Utf16ToUtf8(key.name), Utf16ToUtf8(key.value));
  }
  call.in = in;
  call.out = out_params.get();
  call.services = call_services.get();
  try {
    if (recorder) {
      (*recorder)(call);
      // A ReturnValue of a type 0 does not convert to stays NULL.
      call.Return(Variant(0));
      hr = WBEM_S_NO_ERROR;
    } else {
      hr = (*provider)(call);
    }
  } catch (...) {
    hr = WBEM_E_PROVIDER_FAILURE;
  }
  if (SUCCEEDED(hr) && out != nullptr) *out = out_params.Detach();
  return hr;
}

void Core::RecordCallsOnly(CallRecorder recorder) {
  std::shared_ptr<const CallRecorder> next;
  if (recorder) next = std::make_shared<const CallRecorder>(std::move(recorder));
  std::unique_lock lock(mu_);
  std::swap(recorder_, next);
  lock.unlock();
  // The previous recorder goes outside the lock: its captures may be anything.
}

HRESULT Core::PutInstance(const std::u16string& ns_key, IWbemClassObject* object, LONG flags) {
  Object* instance = Object::From(object);
  if (instance == nullptr || instance->is_class()) return WBEM_E_INVALID_PARAMETER;
  if ((flags & ~(WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY)) != 0 ||
      flags == (WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY)) {
    return WBEM_E_INVALID_PARAMETER;
  }
  const ClassDef& def = *instance->def();
  if (def.keys.empty()) return WBEM_E_INVALID_OPERATION;
  std::vector<std::u16string> texts;
  if (!instance->KeyTexts(&texts)) return WBEM_E_ILLEGAL_NULL;
  ComPtr<IWbemClassObject> copy;
  const HRESULT hr = instance->Clone(copy.Out());
  if (FAILED(hr)) return hr;
  std::unique_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  auto cls = ns->classes.find(def.folded);
  if (cls == ns->classes.end()) return WBEM_E_INVALID_CLASS;
  if (cls->second != instance->def()) return WBEM_E_INVALID_OBJECT;  // of a replaced class
  auto key = std::make_pair(def.key_root, std::move(texts));
  auto it = ns->instances.find(key);
  if (it != ns->instances.end() && (flags & WBEM_FLAG_CREATE_ONLY)) return WBEM_E_ALREADY_EXISTS;
  if (it == ns->instances.end() && (flags & WBEM_FLAG_UPDATE_ONLY)) return WBEM_E_NOT_FOUND;
  // Released after the lock: a replaced instance may hold embedded objects.
  ComPtr<IWbemClassObject> replaced = std::exchange(ns->instances[std::move(key)], std::move(copy));
  lock.unlock();
  return WBEM_S_NO_ERROR;
}

}  // namespace repository::detail
