// The core itself: namespaces and shutdown.
#include "repository/core.h"

#include "repository/cim.h"
#include "wbem/unicode.h"

namespace repository::detail {
namespace {

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

}  // namespace repository::detail
