#include "event_bus.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <string_view>

#include "wbem/unicode.h"

namespace embed {
namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::u16string_view View(const char16_t* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

// Names compare without regard to ASCII case, as the interface requires.
bool SameName(std::u16string_view a, std::u16string_view b) {
  auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) {
           return fold(x) == fold(y);
         });
}

// Sets an out-parameter of the call-result kind, which this bus never gives.
void NoCallResult(IWbemCallResult** call_result) {
  if (call_result != nullptr) *call_result = nullptr;
}

}  // namespace

// A class or an instance: its class name and its properties in declaration
// order, those of the superclass first.
class Object final : public wbem::ComObject<Object, IWbemClassObject> {
 public:
  struct Property {
    std::u16string name;
    CIMTYPE type = CIM_STRING;
    bool local = false;  // declared by the object's own class, not inherited
    wbem::Variant value{nullptr};
  };

  Object(std::u16string class_name, bool is_class, std::vector<Property> properties)
      : class_name_(std::move(class_name)), is_class_(is_class), properties_(std::move(properties)) {}

  const std::vector<Property>& properties() const { return properties_; }

  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
    if (SameName(View(name), u"__CLASS")) {
      if (value != nullptr) {
        BSTR text = SysAllocStringLen(class_name_.data(), static_cast<UINT>(class_name_.size()));
        if (text == nullptr) return WBEM_E_OUT_OF_MEMORY;
        VariantInit(value);
        value->vt = VT_BSTR;
        value->bstrVal = text;
      }
      if (type != nullptr) *type = CIM_STRING;
      if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_SYSTEM;
      return WBEM_S_NO_ERROR;
    }
    const Property* property = Find(View(name));
    if (property == nullptr) return WBEM_E_NOT_FOUND;
    if (value != nullptr) {
      VARIANT copy;
      VariantInit(&copy);
      const HRESULT hr = VariantCopy(&copy, &property->value.get());
      if (FAILED(hr)) return hr;
      *value = copy;  // the caller's VARIANT is overwritten, not cleared
    }
    if (type != nullptr) *type = property->type;
    if (flavor != nullptr) {
      *flavor = property->local ? WBEM_FLAVOR_ORIGIN_LOCAL : WBEM_FLAVOR_ORIGIN_PROPAGATED;
    }
    return WBEM_S_NO_ERROR;
  }

  // Keeps the value as given: this bus does not convert to the declared type.
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override {
    if (name == nullptr || flags != 0) return WBEM_E_INVALID_PARAMETER;
    if (View(name).starts_with(u"__")) return WBEM_E_READ_ONLY;
    Property* property = Find(View(name));
    if (property == nullptr) return WBEM_E_NOT_FOUND;
    if (type != 0 && type != property->type) return WBEM_E_TYPE_MISMATCH;
    property->value = value != nullptr ? wbem::Variant(*value) : wbem::Variant(nullptr);
    return WBEM_S_NO_ERROR;
  }

  // Flags: 0 (every property), WBEM_FLAG_LOCAL_ONLY, WBEM_FLAG_PROPAGATED_ONLY.
  // System properties are never listed.
  HRESULT BeginEnumeration(LONG flags) override {
    if (flags != 0 && flags != WBEM_FLAG_LOCAL_ONLY && flags != WBEM_FLAG_PROPAGATED_ONLY) {
      return WBEM_E_INVALID_PARAMETER;
    }
    enumeration_flags_ = flags;
    cursor_ = 0;
    enumerating_ = true;
    return WBEM_S_NO_ERROR;
  }

  HRESULT Next(LONG, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (!enumerating_) return WBEM_E_UNEXPECTED;
    while (cursor_ < properties_.size()) {
      const Property& property = properties_[cursor_++];
      if ((enumeration_flags_ == WBEM_FLAG_LOCAL_ONLY && !property.local) ||
          (enumeration_flags_ == WBEM_FLAG_PROPAGATED_ONLY && property.local)) {
        continue;
      }
      if (name != nullptr) {
        *name = SysAllocStringLen(property.name.data(), static_cast<UINT>(property.name.size()));
        if (*name == nullptr) return WBEM_E_OUT_OF_MEMORY;
      }
      return Get(property.name.c_str(), 0, value, type, flavor);
    }
    return WBEM_S_NO_MORE_DATA;
  }

  HRESULT EndEnumeration() override {
    enumerating_ = false;
    return WBEM_S_NO_ERROR;
  }

  HRESULT Clone(IWbemClassObject** copy) override {
    if (copy == nullptr) return WBEM_E_INVALID_PARAMETER;
    *copy = new (std::nothrow) Object(class_name_, is_class_, properties_);
    return *copy != nullptr ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
  }

  HRESULT SpawnInstance(LONG, IWbemClassObject** instance) override {
    if (instance == nullptr) return WBEM_E_INVALID_PARAMETER;
    *instance = nullptr;
    if (!is_class_) return WBEM_E_INVALID_OPERATION;
    *instance = new (std::nothrow) Object(class_name_, false, properties_);
    return *instance != nullptr ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
  }

  HRESULT GetMethod(LPCWSTR, LONG, IWbemClassObject** in_signature,
                    IWbemClassObject** out_signature) override {
    if (in_signature != nullptr) *in_signature = nullptr;
    if (out_signature != nullptr) *out_signature = nullptr;
    return is_class_ ? WBEM_E_NOT_FOUND : WBEM_E_ILLEGAL_OPERATION;
  }

 private:
  friend class wbem::ComObject<Object, IWbemClassObject>;  // deletes through the destructor
  ~Object() = default;

  Property* Find(std::u16string_view name) {
    for (Property& property : properties_) {
      if (SameName(property.name, name)) return &property;
    }
    return nullptr;
  }
  const Property* Find(std::u16string_view name) const {
    return const_cast<Object*>(this)->Find(name);
  }

  std::u16string class_name_;
  bool is_class_;
  std::vector<Property> properties_;
  LONG enumeration_flags_ = 0;
  std::size_t cursor_ = 0;
  bool enumerating_ = false;
};

namespace {

// The sink QueryObjectSink hands out: every object indicated to it is raised
// on the bus.
class Raiser final : public wbem::ComObject<Raiser, IWbemObjectSink> {
 public:
  explicit Raiser(EventBus* bus) : bus_(bus) {}

  HRESULT Indicate(LONG count, IWbemClassObject** objects) override {
    if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
    for (LONG i = 0; i < count; ++i) {
      const HRESULT hr = bus_->Raise(objects[i]);
      if (FAILED(hr)) return hr;
    }
    return WBEM_S_NO_ERROR;
  }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }

 private:
  friend class wbem::ComObject<Raiser, IWbemObjectSink>;
  ~Raiser() = default;

  wbem::ComPtr<EventBus> bus_;
};

// The query subset: SELECT * FROM Class [WHERE Prop = "text"]. Words are
// runs of letters, digits and '_'; "=" and '*' stand alone; a string is
// double-quoted.
struct Query {
  std::string class_name;
  std::string property;
  std::string value;
};

bool ParseQuery(std::string_view text, Query& query) {
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (c == '"') {
      const std::size_t end = text.find('"', i + 1);
      if (end == std::string_view::npos) return false;
      tokens.emplace_back(text.substr(i, end + 1 - i));  // keeps its quotes
      i = end + 1;
    } else if (c == '=' || c == '*') {
      tokens.emplace_back(1, static_cast<char>(c));
      ++i;
    } else if (std::isalnum(c) || c == '_') {
      const std::size_t start = i;
      while (i < text.size() &&
             (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) {
        ++i;
      }
      tokens.emplace_back(text.substr(start, i - start));
    } else {
      return false;
    }
  }
  auto word = [&](std::size_t i, std::string_view expected) {
    return i < tokens.size() && Lower(tokens[i]) == expected;
  };
  if (!word(0, "select") || !word(1, "*") || !word(2, "from") || tokens.size() < 4) return false;
  query.class_name = tokens[3];
  if (tokens.size() == 4) return true;
  if (tokens.size() != 8 || !word(4, "where") || tokens[6] != "=" || tokens[7].front() != '"') {
    return false;
  }
  query.property = tokens[5];
  query.value = tokens[7].substr(1, tokens[7].size() - 2);
  return true;
}

}  // namespace

EventBus::EventBus() = default;
EventBus::~EventBus() = default;

const EventBus::ClassEntry* EventBus::FindClass(const std::string& name) const {
  const std::string key = Lower(name);
  for (const ClassEntry& entry : classes_) {
    if (entry.name == key) return &entry;
  }
  return nullptr;
}

bool EventBus::IsA(const std::string& name, const std::string& ancestor) const {
  const std::string target = Lower(ancestor);
  for (const ClassEntry* entry = FindClass(name); entry != nullptr;
       entry = entry->superclass.empty() ? nullptr : FindClass(entry->superclass)) {
    if (entry->name == target) return true;
  }
  return false;
}

HRESULT EventBus::DefineClass(const std::string& name, const std::string& superclass,
                              const std::vector<PropertyDef>& properties) {
  if (FindClass(name) != nullptr) return WBEM_E_ALREADY_EXISTS;
  std::vector<Object::Property> all;
  if (!superclass.empty()) {
    const ClassEntry* base = FindClass(superclass);
    if (base == nullptr) return WBEM_E_INVALID_SUPERCLASS;
    for (const Object::Property& inherited : base->object->properties()) {
      all.push_back({inherited.name, inherited.type, false, wbem::Variant(nullptr)});
    }
  }
  for (const PropertyDef& own : properties) {
    all.push_back({wbem::Utf8ToUtf16(own.name), own.type, true, wbem::Variant(nullptr)});
  }
  auto object = wbem::ComPtr<Object>::Adopt(
      new (std::nothrow) Object(wbem::Utf8ToUtf16(name), true, std::move(all)));
  if (!object) return WBEM_E_OUT_OF_MEMORY;
  classes_.push_back({Lower(name), Lower(superclass), std::move(object)});
  return WBEM_S_NO_ERROR;
}

wbem::ComPtr<IWbemClassObject> EventBus::NewInstance(
    const std::string& name, const std::vector<std::pair<std::string, wbem::Variant>>& values) {
  const ClassEntry* entry = FindClass(name);
  wbem::ComPtr<IWbemClassObject> instance;
  if (entry == nullptr || entry->object->SpawnInstance(0, instance.Out()) != WBEM_S_NO_ERROR) {
    return nullptr;
  }
  for (const auto& [property, value] : values) {
    wbem::Variant copy(value);
    const std::u16string wide = wbem::Utf8ToUtf16(property);
    if (instance->Put(wide.c_str(), 0, copy.ptr(), 0) != WBEM_S_NO_ERROR) return nullptr;
  }
  return instance;
}

HRESULT EventBus::GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                            IWbemCallResult** call_result) {
  NoCallResult(call_result);
  if (object == nullptr) return WBEM_E_INVALID_PARAMETER;
  *object = nullptr;
  std::string text = wbem::Utf16ToUtf8(View(path));
  // A full path names the machine and namespace first: \\.\root\zrv:Class.
  if (text.starts_with("\\\\")) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) return WBEM_E_INVALID_OBJECT_PATH;
    text.erase(0, colon + 1);
  }
  if (text.find_first_of(".=") != std::string::npos) return WBEM_E_NOT_FOUND;  // no instances kept
  const ClassEntry* entry = FindClass(text);
  if (entry == nullptr) return WBEM_E_NOT_FOUND;
  return entry->object->Clone(object);
}

HRESULT EventBus::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                             IWbemClassObject** out_params, IWbemCallResult** call_result) {
  NoCallResult(call_result);
  if (out_params != nullptr) *out_params = nullptr;
  return WBEM_E_INVALID_METHOD;
}

HRESULT EventBus::QueryObjectSink(LONG, IWbemObjectSink** sink) {
  if (sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  *sink = new (std::nothrow) Raiser(this);
  return *sink != nullptr ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
}

HRESULT EventBus::ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG,
                                             IWbemContext*, IWbemObjectSink* sink) {
  if (sink == nullptr || query == nullptr) return WBEM_E_INVALID_PARAMETER;
  if (!SameName(View(language), u"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
  Query parsed;
  if (!ParseQuery(wbem::Utf16ToUtf8(View(query)), parsed)) return WBEM_E_INVALID_QUERY;
  const ClassEntry* entry = FindClass(parsed.class_name);
  if (entry == nullptr) return WBEM_E_INVALID_CLASS;
  const std::u16string property = wbem::Utf8ToUtf16(parsed.property);
  if (!property.empty() &&
      entry->object->Get(property.c_str(), 0, nullptr, nullptr, nullptr) != WBEM_S_NO_ERROR) {
    return WBEM_E_INVALID_PROPERTY;
  }
  subscriptions_.push_back({entry->name, property, wbem::Utf8ToUtf16(parsed.value),
                            wbem::ComPtr<IWbemObjectSink>(sink)});
  return WBEM_S_NO_ERROR;
}

HRESULT EventBus::CancelAsyncCall(IWbemObjectSink* sink) {
  const auto removed = std::erase_if(subscriptions_, [&](const Subscription& subscription) {
    return subscription.sink.get() == sink;
  });
  return removed > 0 ? WBEM_S_NO_ERROR : WBEM_E_NOT_FOUND;
}

HRESULT EventBus::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult** call_result) {
  NoCallResult(call_result);
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT EventBus::PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                              IWbemCallResult** call_result) {
  NoCallResult(call_result);
  return WBEM_E_NOT_SUPPORTED;
}

HRESULT EventBus::Raise(IWbemClassObject* event) {
  if (event == nullptr) return WBEM_E_INVALID_PARAMETER;
  wbem::Variant class_name;
  if (event->Get(u"__CLASS", 0, class_name.Out(), nullptr, nullptr) != WBEM_S_NO_ERROR ||
      class_name.vt() != VT_BSTR || FindClass(class_name.AsUtf8()) == nullptr) {
    return WBEM_E_INVALID_OBJECT;
  }
  const std::string name = class_name.AsUtf8();
  // The receivers are chosen first and called with nothing held, so that a
  // receiver may raise events or cancel subscriptions while it handles this one.
  std::vector<wbem::ComPtr<IWbemObjectSink>> receivers;
  for (const Subscription& subscription : subscriptions_) {
    if (!IsA(name, subscription.class_name)) continue;
    if (!subscription.property.empty()) {
      wbem::Variant value;
      if (event->Get(subscription.property.c_str(), 0, value.Out(), nullptr, nullptr) !=
              WBEM_S_NO_ERROR ||
          value.vt() != VT_BSTR || View(value.get().bstrVal) != subscription.value) {
        continue;
      }
    }
    receivers.push_back(subscription.sink);
  }
  for (const wbem::ComPtr<IWbemObjectSink>& receiver : receivers) {
    // A receiver cancelled by an earlier one's handling gets nothing more.
    const bool still_subscribed =
        std::any_of(subscriptions_.begin(), subscriptions_.end(),
                    [&](const Subscription& s) { return s.sink == receiver; });
    if (!still_subscribed) continue;
    IWbemClassObject* objects[] = {event};
    receiver->Indicate(1, objects);
  }
  return WBEM_S_NO_ERROR;
}

}  // namespace embed
