// CObject, the root of the serialisable settings classes, and CRuntimeClass,
// the run-time class record that makes a class creatable by name and lets code
// ask whether an object is of a class or of a class derived from it.
//
// Each registered class declares AM_DECLARE_SERIAL(Class) in its body and
// AM_IMPLEMENT_SERIAL(Class, Base) in its source file, which give it the
// static record `classClass`, `GetRuntimeClass`, the static factory
// `CreateObject` and the static `_GetBaseClass`.
//
// The registry of creatable classes is process-wide. A class record always
// exists (IsKindOf works without the registry), but CRuntimeClass::FromName
// finds only classes that are registered. The registry is guarded by a mutex,
// so registration and look-up are thread-safe; objects themselves are not.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "settings/export.h"

class CArchive;
class CObject;

struct AM_EXPORT CRuntimeClass {
  const char* m_lpszClassName;
  std::uint16_t m_wSchema;
  // Null for classes that cannot be created by name (the object root and the
  // map base).
  std::unique_ptr<CObject> (*m_pfnCreateObject)();
  // Null for the object root.
  const CRuntimeClass* (*m_pfnGetBaseClass)();

  // A default-constructed instance, or null when the class has no factory.
  std::unique_ptr<CObject> CreateObject() const;
  // True when this class is `base` or derives from it; false for null.
  bool IsDerivedFrom(const CRuntimeClass* base) const;

  // The registered class of that exact name (case-sensitive), or null; null
  // for a null name.
  static const CRuntimeClass* FromName(const char* class_name);
};

// Files a class record under its name. Fails (false) when a class of the same
// name is already registered or the record has no name.
AM_EXPORT bool AmRegisterClass(const CRuntimeClass* runtime_class);
// Removes the record if it is the one registered under its name.
AM_EXPORT void AmUnregisterClass(const CRuntimeClass* runtime_class);

// The five virtual operations, in this slot order: run-time class, destructor,
// archive-only serialisation, validity check, dump. The last three do nothing
// unless a class says otherwise.
class AM_EXPORT CObject {
 public:
  virtual const CRuntimeClass* GetRuntimeClass() const;
  virtual ~CObject() = default;
  virtual void Serialize(CArchive& ar);
  virtual void AssertValid() const;
  virtual void Dump(std::ostream& out) const;

  // True when this object's class is `target` or derives from it.
  bool IsKindOf(const CRuntimeClass* target) const;

  static const CRuntimeClass classCObject;

 protected:
  CObject() = default;
  CObject(const CObject&) = default;
  CObject& operator=(const CObject&) = default;
};

// A class record without a factory: identity and base class only.
#define AM_DECLARE_DYNAMIC(class_name)                   \
 public:                                                 \
  static const CRuntimeClass class##class_name;          \
  static const CRuntimeClass* _GetBaseClass();           \
  const CRuntimeClass* GetRuntimeClass() const override; \
                                                         \
 private:

#define AM_DECLARE_SERIAL(class_name)             \
  AM_DECLARE_DYNAMIC(class_name)                  \
 public:                                          \
  static std::unique_ptr<CObject> CreateObject(); \
                                                  \
 private:

#define AM_IMPLEMENT_DYNAMIC(class_name, base_name)                                         \
  const CRuntimeClass* class_name::_GetBaseClass() { return &base_name::class##base_name; } \
  const CRuntimeClass class_name::class##class_name = {#class_name, 1, nullptr,             \
                                                       &class_name::_GetBaseClass};         \
  const CRuntimeClass* class_name::GetRuntimeClass() const { return &class##class_name; }

// A record with a factory: the class must be default-constructible.
#define AM_IMPLEMENT_SERIAL(class_name, base_name)                                                \
  std::unique_ptr<CObject> class_name::CreateObject() { return std::make_unique<class_name>(); }  \
  const CRuntimeClass* class_name::_GetBaseClass() { return &base_name::class##base_name; }       \
  const CRuntimeClass class_name::class##class_name = {#class_name, 1, &class_name::CreateObject, \
                                                       &class_name::_GetBaseClass};               \
  const CRuntimeClass* class_name::GetRuntimeClass() const { return &class##class_name; }
