#include "wbem/core.h"

#include "wbem/cim.h"
#include "wbem/unicode.h"

namespace wbem::detail {
namespace {

// The core whose delivery runs on this thread, if any: WaitIdle from inside a
// delivery could never see its own delivery finish.
thread_local const Core* t_delivering = nullptr;

std::u16string_view View(LPCWSTR s) { return {s, Utf16Length(s)}; }

bool IsSystemName(std::u16string_view name) { return name.starts_with(u"__"); }

bool ValidNamespace(std::u16string_view key) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = key.find(u'\\', start);
    const std::u16string_view part = key.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    for (char16_t c : part) {
      const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                      (c >= u'0' && c <= u'9') || c == u'_';
      if (!ok) return false;
    }
    if (part.empty()) return false;
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

// A signature class: "__PARAMETERS" with the parameters as properties.
HRESULT BuildSignature(const std::vector<std::pair<std::u16string, CIMTYPE>>& params,
                       ComPtr<IWbemClassObject>* out) {
  auto def = std::make_shared<ClassDef>();
  def->name = u"__PARAMETERS";
  def->folded = Fold(def->name);
  def->derivation = {def->folded};
  for (const auto& [name, type] : params) {
    if (!IsValidName(name) || IsSystemName(name)) return WBEM_E_INVALID_PARAMETER;
    if (!IsSupportedCimType(type)) return WBEM_E_INVALID_PROPERTY_TYPE;
    if (def->FindProperty(name) >= 0) return WBEM_E_INVALID_PARAMETER;
    def->properties.push_back({name, Fold(name), type, false, def->folded});
    def->defaults->emplace_back(nullptr);
  }
  *out = ComPtr<IWbemClassObject>::Adopt(Object::NewClass(std::move(def)));
  return WBEM_S_NO_ERROR;
}

// Refuses the whole call before anything is queued.
HRESULT CheckEvents(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  for (LONG i = 0; i < count; ++i) {
    if (objects[i] == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (Object::From(objects[i]) == nullptr) return WBEM_E_INVALID_OBJECT;
  }
  return WBEM_S_NO_ERROR;
}

bool Matches(const Subscription& sub, const Object& event) {
  const ClassDef& def = *event.def();
  if (!def.DerivesFrom(sub.class_folded)) return false;
  for (const Subscription::Condition& c : sub.conditions) {
    std::size_t i = c.index_hint;
    if (i >= def.properties.size() || !SameText(def.properties[i].folded, c.name)) {
      const int found = def.FindProperty(c.name);
      if (found < 0) return false;
      i = static_cast<std::size_t>(found);
    }
    const VARIANT& v = event.values()[i].get();
    if (v.vt == VT_BSTR) {
      // The common case, compared without a copy.
      if (!SameText(std::u16string_view(v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)),
                    c.text)) {
        return false;
      }
      continue;
    }
    std::u16string value;
    if (!KeyText(def.properties[i].type, v, &value) || value != c.text) return false;
  }
  return true;
}

}  // namespace

Core::~Core() { Shutdown(); }

std::u16string Core::NamespaceKey(std::u16string_view name) {
  std::u16string key = Fold(name);
  for (char16_t& c : key) {
    if (c == u'/') c = u'\\';
  }
  return key;
}

std::u16string Core::OpenNamespace(std::u16string_view name) {
  std::u16string key = NamespaceKey(name);
  if (!ValidNamespace(key)) return key;
  std::unique_lock lock(mu_);
  if (shut_down_) return key;
  NamespaceData& ns = namespaces_[key];
  if (ns.name.empty()) {
    ns.name = name;
    for (char16_t& c : ns.name) {
      if (c == u'/') c = u'\\';
    }
  }
  return key;
}

HRESULT Core::CheckNamespace(const std::u16string& key) const {
  NamespaceData* ns;
  return ResolveNamespace(key, &ns);
}

HRESULT Core::ResolveNamespace(const std::u16string& key, NamespaceData** ns) const {
  *ns = nullptr;
  std::shared_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  auto it = namespaces_.find(key);
  if (it == namespaces_.end()) return WBEM_E_INVALID_NAMESPACE;
  // The map's nodes never move, and the data is changed only under the
  // exclusive lock; handing out a non-const pointer lets Indicate take it
  // under the shared lock as its own code path does.
  *ns = const_cast<NamespaceData*>(&it->second);
  return WBEM_S_NO_ERROR;
}

NamespaceData* Core::FindNamespace(const std::u16string& key) {
  auto it = namespaces_.find(key);
  return it == namespaces_.end() ? nullptr : &it->second;
}

HRESULT Core::FileClass(NamespaceData& ns, const std::u16string& name,
                        const std::u16string& superclass, std::vector<LocalProperty> properties,
                        std::vector<LocalMethod> methods, LONG flags) {
  if (!IsValidName(name) || IsSystemName(name)) return WBEM_E_INVALID_PARAMETER;
  const std::u16string folded = Fold(name);
  auto existing = ns.classes.find(folded);
  if (existing != ns.classes.end()) {
    if (flags & WBEM_FLAG_CREATE_ONLY) return WBEM_E_ALREADY_EXISTS;
    for (const auto& [other, def] : ns.classes) {
      if (other != folded && def->DerivesFrom(folded)) return WBEM_E_CLASS_HAS_CHILDREN;
    }
    for (const auto& [key, instance] : ns.instances) {
      if (Object::From(instance.get())->def()->DerivesFrom(folded)) {
        return WBEM_E_CLASS_HAS_INSTANCES;
      }
    }
  } else if (flags & WBEM_FLAG_UPDATE_ONLY) {
    return WBEM_E_NOT_FOUND;
  }

  auto def = std::make_shared<ClassDef>();
  if (!superclass.empty()) {
    auto parent = ns.classes.find(Fold(superclass));
    if (parent == ns.classes.end() || parent->first == folded) return WBEM_E_INVALID_SUPERCLASS;
    *def = *parent->second;
    def->defaults = std::make_shared<std::vector<Variant>>(*parent->second->defaults);
    def->superclass = parent->second->name;
  }
  def->name = name;
  def->folded = folded;
  def->ns = ns.name;
  def->derivation.insert(def->derivation.begin(), folded);
  const bool inherited_keys = !def->keys.empty();

  for (std::size_t n = 0; n < properties.size(); ++n) {
    LocalProperty& p = properties[n];
    if (!IsValidName(p.name) || IsSystemName(p.name)) return WBEM_E_INVALID_PARAMETER;
    for (std::size_t m = 0; m < n; ++m) {
      if (Fold(properties[m].name) == Fold(p.name)) return WBEM_E_INVALID_PARAMETER;
    }
    if (!IsSupportedCimType(p.type)) return WBEM_E_INVALID_PROPERTY_TYPE;
    VARIANT converted;
    VariantInit(&converted);
    const HRESULT hr = ConvertForCim(p.type, &p.default_value.get(), &converted);
    if (FAILED(hr)) return hr;
    Variant value = Variant::Adopt(converted);
    const int inherited = def->FindProperty(p.name);
    if (inherited >= 0) {
      PropertyDef& base = def->properties[inherited];
      if (base.type != p.type) return WBEM_E_TYPE_MISMATCH;
      if (p.key && !base.key) return WBEM_E_CANNOT_BE_KEY;
      base.origin = folded;
      if (!value.IsNull()) (*def->defaults)[inherited] = std::move(value);
      continue;
    }
    if (p.key && (!CanBeKey(p.type) || inherited_keys)) return WBEM_E_CANNOT_BE_KEY;
    if (p.key) {
      def->keys.push_back(def->properties.size());
      def->key_root = folded;
    }
    def->properties.push_back({p.name, Fold(p.name), p.type, p.key, folded});
    def->defaults->push_back(std::move(value));
  }

  for (std::size_t n = 0; n < methods.size(); ++n) {
    LocalMethod& m = methods[n];
    if (!IsValidName(m.name) || IsSystemName(m.name)) return WBEM_E_INVALID_PARAMETER;
    for (std::size_t k = 0; k < n; ++k) {
      if (Fold(methods[k].name) == Fold(m.name)) return WBEM_E_INVALID_PARAMETER;
    }
    MethodDef def_method{
        m.name, Fold(m.name), m.in_signature, m.out_signature, std::make_shared<ProviderSlot>(),
        folded};
    def_method.provider->provider = std::move(m.provider);
    bool replaced = false;
    for (MethodDef& existing_method : def->methods) {
      if (existing_method.folded == def_method.folded) {
        existing_method = std::move(def_method);
        replaced = true;
        break;
      }
    }
    if (!replaced) def->methods.push_back(std::move(def_method));
  }
  ns.classes[folded] = std::move(def);
  return WBEM_S_NO_ERROR;
}

HRESULT Core::Define(const std::u16string& ns_key, const Class& cls) {
  std::vector<LocalProperty> properties;
  for (const Class::Prop& p : cls.properties_) {
    properties.push_back({Utf8ToUtf16(p.name), p.type, p.key, p.default_value});
  }
  std::vector<LocalMethod> methods;
  for (const MethodSpec& method_spec : cls.methods_) {
    LocalMethod m;
    m.name = Utf8ToUtf16(method_spec.name_);
    std::vector<std::pair<std::u16string, CIMTYPE>> in, out;
    for (const auto& [name, type] : method_spec.in_) in.emplace_back(Utf8ToUtf16(name), type);
    out.emplace_back(u"ReturnValue", method_spec.return_type_);
    for (const auto& [name, type] : method_spec.out_) out.emplace_back(Utf8ToUtf16(name), type);
    if (!in.empty()) {
      const HRESULT hr = BuildSignature(in, &m.in_signature);
      if (FAILED(hr)) return hr;
    }
    const HRESULT hr = BuildSignature(out, &m.out_signature);
    if (FAILED(hr)) return hr;
    if (method_spec.provider_)
      m.provider = std::make_shared<const MethodProvider>(method_spec.provider_);
    methods.push_back(std::move(m));
  }
  std::unique_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  return FileClass(*ns, Utf8ToUtf16(cls.name_), Utf8ToUtf16(cls.superclass_), std::move(properties),
                   std::move(methods), WBEM_FLAG_CREATE_OR_UPDATE);
}

HRESULT Core::SetProvider(const std::u16string& ns_key, std::u16string_view class_name,
                          std::u16string_view method, MethodProvider provider) {
  auto shared = provider ? std::make_shared<const MethodProvider>(std::move(provider)) : nullptr;
  std::shared_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  auto it = ns->classes.find(Fold(class_name));
  if (it == ns->classes.end()) return WBEM_E_INVALID_CLASS;
  const MethodDef* m = it->second->FindMethod(method);
  if (m == nullptr) return WBEM_E_INVALID_METHOD;
  std::lock_guard slot_lock(m->provider->mu);
  m->provider->provider = std::move(shared);
  return WBEM_S_NO_ERROR;
}

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
    hr = (*provider)(call);
  } catch (...) {
    hr = WBEM_E_PROVIDER_FAILURE;
  }
  if (SUCCEEDED(hr) && out != nullptr) *out = out_params.Detach();
  return hr;
}

HRESULT Core::Subscribe(const std::u16string& ns_key, LPCWSTR query_text, IWbemObjectSink* sink) {
  if (sink == nullptr || query_text == nullptr) return WBEM_E_INVALID_PARAMETER;
  EventQuery query;
  if (FAILED(ParseEventQuery(View(query_text), &query))) return WBEM_E_INVALID_QUERY;
  auto sub = std::make_shared<Subscription>();
  sub->class_folded = Fold(query.class_name);
  std::unique_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  auto cls = ns->classes.find(sub->class_folded);
  if (cls == ns->classes.end()) return WBEM_E_INVALID_CLASS;
  for (const EventQuery::Condition& c : query.conditions) {
    const int index = cls->second->FindProperty(c.property);
    if (index < 0) return WBEM_E_INVALID_PROPERTY;
    sub->conditions.push_back({Fold(c.property), c.text, static_cast<std::size_t>(index)});
  }
  std::shared_ptr<Worker>& worker = workers_[sink];
  if (!worker) {
    auto fresh = std::make_shared<Worker>();
    fresh->sink = ComPtr<IWbemObjectSink>(sink);
    try {
      fresh->thread = std::thread([self = shared_from_this(), fresh] { self->Run(fresh); });
    } catch (const std::system_error&) {
      workers_.erase(sink);
      return WBEM_E_FAILED;
    }
    worker = std::move(fresh);
  }
  sub->worker = worker;
  ++worker->subscriptions;
  ns->subscriptions.push_back(std::move(sub));
  return WBEM_S_NO_ERROR;
}

void Core::Run(const std::shared_ptr<Worker>& worker) {
  // Past this many items a batch's storage is given back rather than kept for
  // the next batch, so that one burst does not pin its memory for good.
  constexpr std::size_t kKeptCapacity = 4096;
  t_delivering = this;
  std::vector<Worker::Item> batch;
  std::unique_lock lock(worker->mu);
  while (true) {
    if (worker->queue.empty() && !worker->stop) {
      worker->sleeping = true;
      worker->wake.wait(lock, [&] { return worker->stop || !worker->queue.empty(); });
      worker->sleeping = false;
    }
    if (worker->stop) break;
    batch.swap(worker->queue);
    std::vector<std::shared_ptr<Subscription>> retired;
    retired.swap(worker->retired);
    lock.unlock();
    retired.clear();
    for (Worker::Item& item : batch) {
      if (worker->stopping.load()) break;
      // Published before the cancellation check: a Cancel that marks the
      // subscription after this point sees the delivery and waits for it.
      worker->current.store(item.subscription);
      if (!item.subscription->cancelled.load()) {
        IWbemClassObject* object = item.object.get();
        try {
          worker->sink->Indicate(1, &object);
        } catch (...) {
          // A sink that throws loses that event, not the subscription.
        }
      }
      worker->current.store(nullptr);
      if (worker->cancel_waiters.load() > 0) {
        std::lock_guard wait_lock(worker->mu);
        worker->delivered.notify_all();
      }
      // Released before the event counts as delivered, so that WaitIdle
      // returning means the repository holds no more references to it.
      item.object.Reset();
    }
    // Delivered and, when stopping, dropped events alike; the idle count
    // changes once per batch.
    const auto count = static_cast<std::int64_t>(batch.size());
    batch.clear();
    if (batch.capacity() > kKeptCapacity) batch = {};
    Finished(count);
    lock.lock();
  }
  const bool release = worker->release_on_exit;
  lock.unlock();
  if (release) {
    worker->sink.Reset();
    Finished(1);
  }
  t_delivering = nullptr;
}

void Core::Finished(std::int64_t count) {
  if (count == 0) return;
  if (pending_.fetch_sub(count) == count && idle_waiters_.load() > 0) {
    std::lock_guard lock(idle_mu_);
    idle_cv_.notify_all();
  }
}

void Core::StopWorker(const std::shared_ptr<Worker>& worker) {
  std::vector<Worker::Item> dropped;
  {
    std::lock_guard lock(worker->mu);
    worker->stop = true;
    worker->stopping.store(true);
    dropped.swap(worker->queue);
  }
  worker->wake.notify_all();
  const auto count = static_cast<std::int64_t>(dropped.size());
  dropped.clear();
  Finished(count);
  if (worker->thread.get_id() == std::this_thread::get_id()) {
    // Cancelled from inside its own delivery: the thread ends when that
    // delivery returns, holding what it needs.
    pending_.fetch_add(1);
    worker->release_on_exit = true;
    worker->thread.detach();
  } else if (worker->thread.joinable()) {
    worker->thread.join();
  }
}

HRESULT Core::Cancel(const std::u16string& ns_key, IWbemObjectSink* sink) {
  if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  std::shared_ptr<Worker> worker;
  std::vector<std::shared_ptr<Subscription>> cancelled;
  bool stop = false;
  {
    std::unique_lock lock(mu_);
    if (shut_down_) return WBEM_E_SHUTTING_DOWN;
    NamespaceData* ns = FindNamespace(ns_key);
    if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
    std::erase_if(ns->subscriptions, [&](const std::shared_ptr<Subscription>& sub) {
      if (sub->worker->sink.get() != sink) return false;
      sub->cancelled.store(true);
      worker = sub->worker;
      cancelled.push_back(sub);
      return true;
    });
    if (cancelled.empty()) return WBEM_E_NOT_FOUND;
    worker->subscriptions -= static_cast<int>(cancelled.size());
    if (worker->subscriptions == 0) {
      stop = true;
      workers_.erase(sink);
    }
  }
  if (stop) {
    StopWorker(worker);
    return WBEM_S_NO_ERROR;
  }
  // The sink stays subscribed elsewhere: drop this subscription's queued
  // events and wait for its running delivery, if any. Events the delivery
  // thread has already taken are skipped there.
  std::vector<Worker::Item> dropped;
  auto running_cancelled = [&] {
    const Subscription* current = worker->current.load();
    for (const auto& sub : cancelled) {
      if (sub.get() == current) return true;
    }
    return false;
  };
  worker->cancel_waiters.fetch_add(1);
  struct WaiterGuard {
    Worker& worker;
    ~WaiterGuard() { worker.cancel_waiters.fetch_sub(1); }
  } waiter_guard{*worker};
  {
    std::unique_lock lock(worker->mu);
    // Reserved first, so that nothing below can throw with the queue half
    // compacted.
    dropped.reserve(worker->queue.size());
    std::size_t kept = 0;
    for (Worker::Item& item : worker->queue) {
      if (item.subscription->cancelled.load()) {
        dropped.push_back(std::move(item));
      } else {
        worker->queue[kept++] = std::move(item);
      }
    }
    worker->queue.erase(worker->queue.begin() + static_cast<std::ptrdiff_t>(kept),
                        worker->queue.end());
    if (worker->thread.get_id() != std::this_thread::get_id()) {
      worker->delivered.wait(lock, [&] { return !running_cancelled(); });
    }
    for (auto& sub : cancelled) {
      sub->worker.reset();  // no cycle through the worker's own list
      worker->retired.push_back(std::move(sub));
    }
  }
  const auto count = static_cast<std::int64_t>(dropped.size());
  dropped.clear();
  Finished(count);
  return WBEM_S_NO_ERROR;
}

HRESULT Core::PutClass(const std::u16string& ns_key, IWbemClassObject* object, LONG flags) {
  Object* cls = Object::From(object);
  if (cls == nullptr || !cls->is_class() || cls->def()->ns.empty()) return WBEM_E_INVALID_PARAMETER;
  if ((flags & ~(WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY)) != 0 ||
      flags == (WBEM_FLAG_UPDATE_ONLY | WBEM_FLAG_CREATE_ONLY)) {
    return WBEM_E_INVALID_PARAMETER;
  }
  const ClassDef& def = *cls->def();
  std::vector<LocalProperty> properties;
  for (std::size_t i = 0; i < def.properties.size(); ++i) {
    const PropertyDef& p = def.properties[i];
    // A changed inherited default makes the property the class's own, as an
    // override would.
    properties.push_back({p.name, p.type, p.key && def.IsLocal(p), cls->values()[i]});
  }
  std::vector<LocalMethod> methods;
  for (const MethodDef& m : def.methods) {
    if (m.origin != def.folded) continue;
    std::lock_guard slot_lock(m.provider->mu);
    methods.push_back({m.name, m.in_signature, m.out_signature, m.provider->provider});
  }
  std::unique_lock lock(mu_);
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  NamespaceData* ns = FindNamespace(ns_key);
  if (ns == nullptr) return WBEM_E_INVALID_NAMESPACE;
  // Only the class's own properties are declared again; inherited ones keep
  // their origin unless their default changed.
  std::shared_ptr<const ClassDef> parent;
  if (!def.superclass.empty()) {
    auto it = ns->classes.find(Fold(def.superclass));
    if (it == ns->classes.end()) return WBEM_E_INVALID_SUPERCLASS;
    parent = it->second;
  }
  std::vector<LocalProperty> own;
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const PropertyDef& p = def.properties[i];
    if (def.IsLocal(p)) {
      own.push_back(std::move(properties[i]));
      continue;
    }
    const int base = parent ? parent->FindProperty(p.name) : -1;
    if (base < 0) return WBEM_E_INVALID_SUPERCLASS;
    std::u16string a, b;
    const bool same =
        (properties[i].default_value.IsNull() && (*parent->defaults)[base].IsNull()) ||
        (KeyText(p.type, properties[i].default_value.get(), &a) &&
         KeyText(p.type, (*parent->defaults)[base].get(), &b) && a == b);
    if (!same) own.push_back(std::move(properties[i]));
  }
  return FileClass(*ns, def.name, def.superclass, std::move(own), std::move(methods), flags);
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

HRESULT Core::Indicate(const std::u16string& ns_key, LONG count, IWbemClassObject** objects) {
  HRESULT hr = CheckEvents(count, objects);
  if (FAILED(hr)) return hr;
  NamespaceData* ns;
  hr = ResolveNamespace(ns_key, &ns);
  if (FAILED(hr)) return hr;
  return Indicate(ns, count, objects);
}

HRESULT Core::Indicate(NamespaceData* ns, LONG count, IWbemClassObject** objects) {
  const HRESULT hr = CheckEvents(count, objects);
  if (FAILED(hr)) return hr;
  std::shared_lock lock(mu_);
  // After a shutdown `ns` may name freed data; it is not followed.
  if (shut_down_) return WBEM_E_SHUTTING_DOWN;
  for (LONG i = 0; i < count; ++i) {
    Object* event = Object::From(objects[i]);
    for (const std::shared_ptr<Subscription>& sub : ns->subscriptions) {
      if (!Matches(*sub, *event)) continue;
      // Each subscriber gets its own copy, taken now: later changes by the
      // raiser, or by another subscriber, cannot reach it.
      ComPtr<IWbemClassObject> copy;
      const HRESULT hr = event->Clone(copy.Out());
      if (FAILED(hr)) return hr;
      Worker& worker = *sub->worker;
      bool sleeping;
      {
        std::lock_guard worker_lock(worker.mu);
        worker.queue.push_back({sub.get(), std::move(copy)});
        // Counted only once queued (a failed push leaves nothing to wait
        // for), and before the worker can take it, which needs this lock.
        pending_.fetch_add(1);
        sleeping = worker.sleeping;
      }
      if (sleeping) worker.wake.notify_one();
    }
  }
  return WBEM_S_NO_ERROR;
}

bool Core::WaitIdle(std::chrono::milliseconds timeout) {
  if (t_delivering == this) return false;
  idle_waiters_.fetch_add(1);
  std::unique_lock lock(idle_mu_);
  const bool idle = idle_cv_.wait_for(lock, timeout, [&] { return pending_.load() == 0; });
  idle_waiters_.fetch_sub(1);
  return idle;
}

void Core::Shutdown() {
  std::map<std::u16string, NamespaceData> namespaces;
  std::unordered_map<IWbemObjectSink*, std::shared_ptr<Worker>> workers;
  {
    std::unique_lock lock(mu_);
    if (shut_down_) return;
    shut_down_ = true;
    namespaces.swap(namespaces_);
    workers.swap(workers_);
    for (auto& [key, ns] : namespaces) {
      for (auto& sub : ns.subscriptions) sub->cancelled.store(true);
    }
  }
  for (auto& [sink, worker] : workers) StopWorker(worker);
  // Classes (with their providers) and instances go here, outside the lock.
}

}  // namespace wbem::detail
