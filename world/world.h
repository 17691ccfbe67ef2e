// World: the agent's surroundings in one object, for everything that hosts
// the component outside the agent (amctl, the service, the tests).
//
// It owns an in-memory repository with one monitoring namespace (root\zrv
// unless told otherwise), files the agent's standard event classes there on
// request, and collects the ZRV_ActionResult events that actions indicate.
// Everything else a host or a test needs (its own classes, providers,
// instances, a wrapped services pointer) it builds on ns() and repository().
//
// Ownership: the world owns the repository; handles and services taken from
// it stay usable while the world lives. The destructor stops collecting and
// shuts the repository down.
// Threads: one thread drives a world; the collector is filled on the
// repository's delivery threads and read under its own lock.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "repository/repository.h"
#include "repository/sinks.h"
#include "wbem/com_ptr.h"

namespace world {

// Non-system properties by name, each in MOF form ("\"text\"", NULL, TRUE, -5).
using Properties = std::map<std::string, std::string>;
Properties ReadProperties(IWbemClassObject* object);
// `text` as ReadProperties shows a string.
std::string Mof(const std::string& text);

class World {
 public:
  static constexpr std::string_view kMonitoringNamespace = "root\\zrv";
  static constexpr std::chrono::milliseconds kIdleTimeout = std::chrono::seconds(10);

  explicit World(std::string_view ns_name = kMonitoringNamespace);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Files ZRV_Event and, when `with_result_class`, ZRV_ActionResult.
  // WBEM_S_NO_ERROR, or the first refusal (a class of the same name that is
  // already filed differently, for one).
  HRESULT DefineStandardClasses(bool with_result_class = true) const;
  // Subscribes the collector to ZRV_ActionResult; fails when the class is not
  // filed. Collecting ends with StopCollecting or the world.
  HRESULT CollectResults();
  void StopCollecting();
  bool collecting() const { return collecting_; }

  // A new, unfiled instance of `event_class` with `values`; on failure the
  // result says why and `*event` is empty.
  HRESULT NewEvent(std::string_view event_class, const repository::PropertyValues& values,
                   wbem::ComPtr<IWbemClassObject>* event) const;

  // Waits until every queued delivery is done; false on time-out.
  [[nodiscard]] bool WaitIdle(std::chrono::milliseconds timeout = kIdleTimeout) const {
    return repository_.WaitIdle(timeout);
  }
  // Waits for idle, then hands over the result events collected so far.
  std::vector<wbem::ComPtr<IWbemClassObject>> TakeResults();

  repository::Repository& repository() { return repository_; }
  const repository::Namespace& ns() const { return ns_; }
  repository::CollectingSink* results() const { return results_.get(); }

 private:
  repository::Repository repository_;
  repository::Namespace ns_;
  wbem::ComPtr<repository::CollectingSink> results_;
  bool collecting_ = false;
};

}  // namespace world
