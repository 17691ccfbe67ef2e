#include <dlfcn.h>

#include "runner/platform/dynamic_library.h"

namespace runner::platform {

void* OpenModule(const std::string& name) {
  if (name.empty()) return nullptr;
  const bool as_given =
      name.find('/') != std::string::npos || (name.size() > 3 && name.ends_with(".so"));
  if (as_given) return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (void* module = ::dlopen(("lib" + name + ".so").c_str(), RTLD_NOW | RTLD_LOCAL)) {
    return module;
  }
  return ::dlopen((name + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(void* module, const std::string& symbol) {
  if (module == nullptr || symbol.empty()) return nullptr;
  return ::dlsym(module, symbol.c_str());
}

}  // namespace runner::platform
