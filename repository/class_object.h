// The repository's object model: class definitions and the one object type
// that implements IWbemClassObject for both classes and instances.
//
// A ClassDef is immutable once built and shared (std::shared_ptr) by the
// namespace that files it and by every object of the class, so an object
// stays valid when its class is later replaced. Properties are flattened: a
// class lists its superclasses' properties first, then its own, and an
// override keeps the inherited position but becomes local to the subclass.
//
// ClassDef::defaults never changes after the class is built, so objects may
// share it (see Object::State).
//
// Object is not thread-safe for mutation (see IWbemClassObject); its reference
// count is atomic.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "repository/kit_names.h"
#include "wbem/com_object.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"
#include "repository/provider.h"

namespace repository::detail {

// A null-terminated UTF-16 text as a view (null is empty).
inline std::u16string_view View(LPCWSTR s) { return {s, Utf16Length(s)}; }
// The look-up form of a name: names are compared without regard to ASCII case.
inline std::u16string Fold(std::u16string_view name) { return base::AsciiLowered(name); }
// Exact equality by bytes, which the standard char16_t traits compare one
// unit at a time; used where event matching compares texts per event.
inline bool SameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0);
}
bool IsValidName(std::u16string_view name);

struct PropertyDef {
  std::u16string name;    // as declared
  std::u16string folded;  // for look-up
  CIMTYPE type = CIM_STRING;
  bool key = false;
  std::u16string origin;  // folded name of the class that declares or last overrides it
};

class Object;

// A method's provider, shared by the class that declares the method and the
// subclasses that inherit it, so that replacing it reaches them all.
struct ProviderSlot {
  std::mutex mu;
  std::shared_ptr<const MethodProvider> provider;  // null: declared without a provider
};

// A method as a class files it (repository::MethodDef is what a caller
// declares; this is its UTF-16, signature-built form).
struct MethodDef {
  std::u16string name;
  std::u16string folded;
  ComPtr<IWbemClassObject> in_signature;   // null when the method takes no parameters
  ComPtr<IWbemClassObject> out_signature;  // declares ReturnValue
  std::shared_ptr<ProviderSlot> provider;
  std::u16string origin;
};

struct ClassDef {
  std::u16string name;
  std::u16string folded;
  std::u16string superclass;               // as declared; empty for a root class
  std::u16string ns;                       // namespace display name; empty for signatures
  std::vector<std::u16string> derivation;  // folded names: self, parent, ...
  std::vector<PropertyDef> properties;
  std::shared_ptr<std::vector<Variant>> defaults =
      std::make_shared<std::vector<Variant>>();  // parallel to properties
  std::vector<MethodDef> methods;
  std::vector<std::size_t> keys;  // indices into properties, declaration order
  std::u16string key_root;        // folded name of the class that declared the keys

  int FindProperty(std::u16string_view name) const;
  const MethodDef* FindMethod(std::u16string_view name) const;
  bool DerivesFrom(std::u16string_view folded_name) const;
  bool IsLocal(const PropertyDef& p) const { return p.origin == folded; }
};

// The private identity of this repository's objects, for QueryInterface.
inline constexpr IID IID_RepositoryObject = {
    0x5E0B1C7A, 0x2D4F, 0x4C61, {0x9A, 0x3B, 0x7E, 0x21, 0x54, 0x0D, 0x88, 0x6F}};

class Object final : public wbem::ComObject<Object, IWbemClassObject> {
 public:
  // A new object with one reference. Throws std::bad_alloc.
  static Object* NewClass(std::shared_ptr<const ClassDef> def);
  static Object* NewInstance(std::shared_ptr<const ClassDef> def);
  // This repository's object behind an interface, or null for a foreign one.
  static Object* From(IWbemClassObject* object);

  // Also known as IID_RepositoryObject.
  bool AnswersTo(REFIID riid) const { return riid == IID_RepositoryObject; }
  HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
  HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
  HRESULT BeginEnumeration(LONG flags) override;
  HRESULT Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
  HRESULT EndEnumeration() override;
  HRESULT Clone(IWbemClassObject** copy) override;
  HRESULT SpawnInstance(LONG flags, IWbemClassObject** instance) override;
  HRESULT GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                    IWbemClassObject** out_signature) override;

  const std::shared_ptr<const ClassDef>& def() const { return state_->def; }
  bool is_class() const { return is_class_; }
  const std::vector<Variant>& values() const {
    return state_->uses_defaults ? *state_->def->defaults : state_->values;
  }
  // The canonical key texts of an instance; false when a key is null.
  bool KeyTexts(std::vector<std::u16string>* texts) const;
  // `Class` or `Class.Key="value",...`.
  std::u16string RelPath() const;

 private:
  // An object's class and property values, shared between an object and its
  // clones and copied before the first write after it was shared, so that
  // cloning an event costs one allocation and one reference count, and no
  // BSTR copies. A fresh object's values are its class's defaults until the
  // first write. An embedded object in the values is never handed out (Get
  // gives a copy), so shared values are never changed.
  struct State {
    std::shared_ptr<const ClassDef> def;
    std::vector<Variant> values;  // when !uses_defaults
    bool uses_defaults;
  };

  friend class wbem::ComObject<Object, IWbemClassObject>;
  Object(std::shared_ptr<State> state, bool is_class, bool owns_state);
  ~Object() = default;
  HRESULT GetSystemProperty(std::u16string_view folded, VARIANT* value, CIMTYPE* type) const;
  bool EnumerationIncludes(std::size_t index) const;
  // The values, made this object's own first if they may be shared. Throws
  // std::bad_alloc.
  std::vector<Variant>& MutableValues();

  bool is_class_;
  std::shared_ptr<State> state_;
  // False while state_ may be shared. Atomic because Clone, a reading
  // operation, clears it and readers may clone from several threads.
  std::atomic<bool> owns_state_{false};
  // Enumeration state: -1 before BeginEnumeration; positions 0..kSystemCount-1
  // are the system properties, then the properties in order.
  int enum_pos_ = -1;
  LONG enum_flags_ = 0;
};

}  // namespace repository::detail
