#include "settings/object.h"

#include <map>
#include <mutex>
#include <ostream>
#include <string>

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, const CRuntimeClass*, std::less<>> classes;
};

// Constructed on first use so that registration from another library's
// static initialiser cannot run before it exists; never destroyed, so that an
// unregistration during process exit cannot touch a dead map.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

const CRuntimeClass CObject::classCObject = {"CObject", 1, nullptr, nullptr};

std::unique_ptr<CObject> CRuntimeClass::CreateObject() const {
  return m_pfnCreateObject ? m_pfnCreateObject() : nullptr;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
  if (base == nullptr) return false;
  for (const CRuntimeClass* c = this; c != nullptr;
       c = c->m_pfnGetBaseClass ? c->m_pfnGetBaseClass() : nullptr) {
    if (c == base) return true;
  }
  return false;
}

const CRuntimeClass* CRuntimeClass::FromName(const char* class_name) {
  if (class_name == nullptr) return nullptr;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto it = r.classes.find(std::string_view(class_name));
  return it == r.classes.end() ? nullptr : it->second;
}

bool AmRegisterClass(const CRuntimeClass* runtime_class) {
  if (runtime_class == nullptr || runtime_class->m_lpszClassName == nullptr) return false;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return r.classes.emplace(runtime_class->m_lpszClassName, runtime_class).second;
}

void AmUnregisterClass(const CRuntimeClass* runtime_class) {
  if (runtime_class == nullptr || runtime_class->m_lpszClassName == nullptr) return;
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto it = r.classes.find(std::string_view(runtime_class->m_lpszClassName));
  if (it != r.classes.end() && it->second == runtime_class) r.classes.erase(it);
}

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(std::ostream&) const {}

bool CObject::IsKindOf(const CRuntimeClass* target) const {
  return GetRuntimeClass()->IsDerivedFrom(target);
}
