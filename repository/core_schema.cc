// The core's classes: filing, defining, providers and PutClass.
#include "repository/core.h"

#include "repository/cim.h"
#include "wbem/unicode.h"

namespace repository::detail {
namespace {

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

}  // namespace

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
  for (const repository::MethodDef& declared : cls.methods_) {
    LocalMethod m;
    m.name = Utf8ToUtf16(declared.name_);
    std::vector<std::pair<std::u16string, CIMTYPE>> in, out;
    for (const auto& [name, type] : declared.in_) in.emplace_back(Utf8ToUtf16(name), type);
    out.emplace_back(u"ReturnValue", declared.return_type_);
    for (const auto& [name, type] : declared.out_) out.emplace_back(Utf8ToUtf16(name), type);
    if (!in.empty()) {
      const HRESULT hr = BuildSignature(in, &m.in_signature);
      if (FAILED(hr)) return hr;
    }
    const HRESULT hr = BuildSignature(out, &m.out_signature);
    if (FAILED(hr)) return hr;
    if (declared.provider_)
      m.provider = std::make_shared<const MethodProvider>(declared.provider_);
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

}  // namespace repository::detail
