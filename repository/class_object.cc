#include "repository/class_object.h"

#include <array>
#include <new>
#include <typeinfo>

#include "base/ascii.h"
#include "repository/cim.h"
#include "wbem/unicode.h"

namespace repository::detail {

bool IsValidName(std::u16string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    const bool alpha = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    const bool digit = c >= u'0' && c <= u'9';
    if (!alpha && !(digit && i > 0)) return false;
  }
  return true;
}

namespace {

constexpr std::array<std::u16string_view, 6> kSystemNames = {
    u"__GENUS", u"__CLASS", u"__SUPERCLASS", u"__NAMESPACE", u"__RELPATH", u"__PATH"};
constexpr int kSystemCount = static_cast<int>(kSystemNames.size());

void SetText(VARIANT* value, std::u16string_view text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (b == nullptr) {
    value->vt = VT_NULL;
    return;
  }
  value->vt = VT_BSTR;
  value->bstrVal = b;
}

void AppendQuoted(std::u16string& out, std::u16string_view text) {
  out.push_back(u'"');
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\') out.push_back(u'\\');
    out.push_back(c);
  }
  out.push_back(u'"');
}

// Copies a stored value into an out-parameter the caller owns. An embedded
// object is copied, so that what the caller changes is its own.
HRESULT CopyOut(const Variant& from, VARIANT* to) {
  VariantInit(to);
  if (from.vt() == VT_UNKNOWN && from.get().punkVal != nullptr) {
    ComPtr<IWbemClassObject> object;
    HRESULT hr = from.get().punkVal->QueryInterface(IID_IWbemClassObject,
                                                    reinterpret_cast<void**>(object.Out()));
    if (FAILED(hr)) return hr;
    IWbemClassObject* copy = nullptr;
    hr = object->Clone(&copy);
    if (FAILED(hr)) return hr;
    to->vt = VT_UNKNOWN;
    to->punkVal = copy;
    return WBEM_S_NO_ERROR;
  }
  return SUCCEEDED(VariantCopy(to, &from.get())) ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

}  // namespace

int ClassDef::FindProperty(std::u16string_view name) const {
  for (std::size_t i = 0; i < properties.size(); ++i) {
    if (base::EqualsIgnoreCase(name, properties[i].folded)) return static_cast<int>(i);
  }
  return -1;
}

const MethodDef* ClassDef::FindMethod(std::u16string_view name) const {
  for (const MethodDef& m : methods) {
    if (base::EqualsIgnoreCase(name, m.folded)) return &m;
  }
  return nullptr;
}

bool ClassDef::DerivesFrom(std::u16string_view folded_name) const {
  for (const std::u16string& d : derivation) {
    if (SameText(d, folded_name)) return true;
  }
  return false;
}

Object::Object(std::shared_ptr<State> state, bool is_class, bool owns_state)
    : is_class_(is_class), state_(std::move(state)), owns_state_(owns_state) {}

Object* Object::NewClass(std::shared_ptr<const ClassDef> def) {
  auto state = std::make_shared<State>(State{std::move(def), {}, true});
  return new Object(std::move(state), true, true);
}

std::vector<Variant>& Object::MutableValues() {
  if (!owns_state_.load(std::memory_order_relaxed)) {
    state_ = std::make_shared<State>(State{state_->def, values(), false});
    owns_state_.store(true, std::memory_order_relaxed);
  } else if (state_->uses_defaults) {
    state_->values = *state_->def->defaults;
    state_->uses_defaults = false;
  }
  return state_->values;
}

Object* Object::NewInstance(std::shared_ptr<const ClassDef> def) {
  Object* object = NewClass(std::move(def));
  object->is_class_ = false;
  return object;
}

Object* Object::From(IWbemClassObject* object) {
  // Object is final, so an exact type test says the same as a dynamic_cast
  // at a fraction of its cost; it runs for every raised event. The type's
  // identity is unique because this library exports it.
  if (object == nullptr || typeid(*object) != typeid(Object)) return nullptr;
  return static_cast<Object*>(object);
}

std::u16string Object::RelPath() const {
  std::u16string path = def()->name;
  if (is_class_ || def()->keys.empty()) return path;
  path.push_back(u'.');
  for (std::size_t k = 0; k < def()->keys.size(); ++k) {
    const std::size_t i = def()->keys[k];
    const PropertyDef& p = def()->properties[i];
    if (k > 0) path.push_back(u',');
    path += p.name;
    path.push_back(u'=');
    std::u16string text;
    KeyText(p.type, values()[i].get(), &text);
    if (VarTypeForCim(p.type) == VT_BSTR) {
      AppendQuoted(path, text);
    } else {
      path += text;
    }
  }
  return path;
}

bool Object::KeyTexts(std::vector<std::u16string>* texts) const {
  texts->clear();
  for (std::size_t i : def()->keys) {
    std::u16string text;
    if (!KeyText(def()->properties[i].type, values()[i].get(), &text)) return false;
    texts->push_back(std::move(text));
  }
  return true;
}

HRESULT Object::GetSystemProperty(std::u16string_view folded, VARIANT* value, CIMTYPE* type) const {
  int which = -1;
  for (int i = 0; i < kSystemCount; ++i) {
    if (base::EqualsIgnoreCase(kSystemNames[i], folded)) which = i;
  }
  if (which < 0) return WBEM_E_NOT_FOUND;
  if (type != nullptr) *type = which == 0 ? CIM_SINT32 : CIM_STRING;
  if (value == nullptr) return WBEM_S_NO_ERROR;
  VariantInit(value);
  auto has_keys = [this] {
    std::vector<std::u16string> texts;
    return is_class_ || KeyTexts(&texts);
  };
  switch (which) {
    case 0:
      value->vt = VT_I4;
      value->lVal = is_class_ ? WBEM_GENUS_CLASS : WBEM_GENUS_INSTANCE;
      break;
    case 1:
      SetText(value, def()->name);
      break;
    case 2:
      if (def()->superclass.empty()) {
        value->vt = VT_NULL;
      } else {
        SetText(value, def()->superclass);
      }
      break;
    case 3:
      if (def()->ns.empty()) {
        value->vt = VT_NULL;
      } else {
        SetText(value, def()->ns);
      }
      break;
    case 4:
      if (!has_keys()) {
        value->vt = VT_NULL;
      } else {
        SetText(value, RelPath());
      }
      break;
    default:
      if (!has_keys() || def()->ns.empty()) {
        value->vt = VT_NULL;
      } else {
        SetText(value, u"\\\\.\\" + def()->ns + u":" + RelPath());
      }
      break;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT Object::Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  const std::u16string_view n = View(name);
  const int i = def()->FindProperty(n);
  if (i < 0) {
    const HRESULT hr = GetSystemProperty(Fold(n), value, type);
    if (SUCCEEDED(hr) && flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
    return hr;
  }
  const PropertyDef& p = def()->properties[i];
  if (value != nullptr) {
    VARIANT copy;
    const HRESULT hr = CopyOut(values()[i], &copy);
    if (FAILED(hr)) return hr;
    *value = copy;
  }
  if (type != nullptr) *type = p.type;
  if (flavor != nullptr) {
    *flavor = def()->IsLocal(p) ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT Object::Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) {
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  const std::u16string_view n = View(name);
  const int i = def()->FindProperty(n);
  if (i < 0) {
    return SUCCEEDED(GetSystemProperty(Fold(n), nullptr, nullptr)) ? WBEM_E_READ_ONLY
                                                                   : WBEM_E_NOT_FOUND;
  }
  const PropertyDef& p = def()->properties[i];
  if (type != 0 && type != p.type) return WBEM_E_TYPE_MISMATCH;
  VARIANT converted;
  VariantInit(&converted);
  const HRESULT hr = ConvertForCim(p.type, value, &converted);
  if (FAILED(hr)) return hr;
  Variant stored = Variant::Adopt(converted);
  try {
    MutableValues()[i] = std::move(stored);
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  }
  return WBEM_S_NO_ERROR;
}

HRESULT Object::BeginEnumeration(LONG flags) {
  const LONG origin = flags & 0x70;
  const LONG extra = flags & (WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY);
  if ((flags & ~0x7C) != 0 || origin > WBEM_FLAG_NONSYSTEM_ONLY ||
      extra == (WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY)) {
    return WBEM_E_INVALID_PARAMETER;
  }
  enum_flags_ = flags;
  enum_pos_ = 0;
  return WBEM_S_NO_ERROR;
}

bool Object::EnumerationIncludes(std::size_t index) const {
  const PropertyDef& p = def()->properties[index];
  switch (enum_flags_ & 0x70) {
    case WBEM_FLAG_LOCAL_ONLY:
      if (!def()->IsLocal(p)) return false;
      break;
    case WBEM_FLAG_PROPAGATED_ONLY:
      if (def()->IsLocal(p)) return false;
      break;
    case WBEM_FLAG_SYSTEM_ONLY:
      return false;
    default:
      break;
  }
  if ((enum_flags_ & WBEM_FLAG_KEYS_ONLY) && !p.key) return false;
  if ((enum_flags_ & WBEM_FLAG_REFS_ONLY) && p.type != CIM_REFERENCE) return false;
  return true;
}

HRESULT Object::Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (flags != 0) return WBEM_E_INVALID_PARAMETER;
  if (enum_pos_ < 0) return WBEM_E_UNEXPECTED;
  const LONG origin = enum_flags_ & 0x70;
  const bool with_system = (origin == 0 || origin == WBEM_FLAG_SYSTEM_ONLY) &&
                           (enum_flags_ & (WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY)) == 0;
  while (true) {
    const int pos = enum_pos_;
    if (pos < kSystemCount) {
      ++enum_pos_;
      if (!with_system) continue;
      const std::u16string_view sys = kSystemNames[pos];
      if (name != nullptr) {
        *name = SysAllocStringLen(sys.data(), static_cast<UINT>(sys.size()));
        if (*name == nullptr) return WBEM_E_OUT_OF_MEMORY;
      }
      GetSystemProperty(Fold(sys), value, type);
      if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
      return WBEM_S_NO_ERROR;
    }
    const std::size_t index = static_cast<std::size_t>(pos - kSystemCount);
    if (index >= def()->properties.size()) return WBEM_S_NO_MORE_DATA;
    ++enum_pos_;
    if (!EnumerationIncludes(index)) continue;
    const PropertyDef& p = def()->properties[index];
    if (name != nullptr) {
      *name = SysAllocStringLen(p.name.data(), static_cast<UINT>(p.name.size()));
      if (*name == nullptr) return WBEM_E_OUT_OF_MEMORY;
    }
    if (value != nullptr) {
      const HRESULT hr = CopyOut(values()[index], value);
      if (FAILED(hr)) {
        if (name != nullptr) SysFreeString(std::exchange(*name, nullptr));
        return hr;
      }
    }
    if (type != nullptr) *type = p.type;
    if (flavor != nullptr) {
      *flavor = def()->IsLocal(p) ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    }
    return WBEM_S_NO_ERROR;
  }
}

HRESULT Object::EndEnumeration() {
  enum_pos_ = -1;
  return WBEM_S_NO_ERROR;
}

HRESULT Object::Clone(IWbemClassObject** copy) {
  if (copy == nullptr) return WBEM_E_INVALID_PARAMETER;
  *copy = nullptr;
  auto* object = new (std::nothrow) Object(state_, is_class_, false);
  if (object == nullptr) return WBEM_E_OUT_OF_MEMORY;
  owns_state_.store(false, std::memory_order_relaxed);
  *copy = object;
  return WBEM_S_NO_ERROR;
}

HRESULT Object::SpawnInstance(LONG flags, IWbemClassObject** instance) {
  if (instance == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  *instance = nullptr;
  if (!is_class_) {
    try {
      *instance = NewInstance(def());
    } catch (const std::bad_alloc&) {
      return WBEM_E_OUT_OF_MEMORY;
    }
    return WBEM_S_NO_ERROR;
  }
  // A class object's values are the defaults its instances start with,
  // including those changed by Put since it was fetched.
  IWbemClassObject* copy = nullptr;
  const HRESULT hr = Clone(&copy);
  if (FAILED(hr)) return hr;
  static_cast<Object*>(copy)->is_class_ = false;
  *instance = copy;
  return WBEM_S_NO_ERROR;
}

HRESULT Object::GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                          IWbemClassObject** out_signature) {
  if (in_signature != nullptr) *in_signature = nullptr;
  if (out_signature != nullptr) *out_signature = nullptr;
  if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
  if (!is_class_) return WBEM_E_ILLEGAL_OPERATION;
  const MethodDef* m = def()->FindMethod(View(name));
  if (m == nullptr) return WBEM_E_NOT_FOUND;
  ComPtr<IWbemClassObject> in, out;
  if (in_signature != nullptr && m->in_signature) {
    const HRESULT hr = m->in_signature->Clone(in.Out());
    if (FAILED(hr)) return hr;
  }
  if (out_signature != nullptr && m->out_signature) {
    const HRESULT hr = m->out_signature->Clone(out.Out());
    if (FAILED(hr)) return hr;
  }
  if (in_signature != nullptr) *in_signature = in.Detach();
  if (out_signature != nullptr) *out_signature = out.Detach();
  return WBEM_S_NO_ERROR;
}

}  // namespace repository::detail
