// The in-memory repository and the C++ way to set it up.
//
// A Repository holds namespaces; each namespace holds classes, instances and
// event subscriptions, and is reached through IWbemServices like the real
// thing. Tests and tools build their world with the small API below:
//
//   repository::Repository repo;
//   repository::Namespace ns = repo.OpenNamespace("root\\zrv");
//   ns.Define(repository::Class("ZRV_Event")
//                 .Property("ProfileName", CIM_STRING)
//                 .Property("EventId", CIM_STRING)
//                 .Property("severity", CIM_STRING));
//   ns.Define(repository::Class("Disk_Full", "ZRV_Event")
//                 .Property("Drive", CIM_STRING)
//                 .Property("Free", CIM_UINT32));
//   ns.Define(repository::Class("Disk")
//                 .Key("Id", CIM_STRING)
//                 .Method(repository::MethodDef("Reset")
//                             .In("Force", CIM_BOOLEAN)
//                             .Returns(CIM_UINT32)
//                             .Provider([](repository::MethodCall& call) {
//                               return call.Return(call.Arg("Force").get().boolVal ? 1 : 0);
//                             })));
//   ns.AddInstance("Disk", {{"Id", "C:"}});
//
//   auto events = repository::CollectingSink::Create();
//   ns.Subscribe("SELECT * FROM ZRV_Event WHERE ProfileName=\"P\"", events.get());
//   ns.Raise("Disk_Full", {{"ProfileName", "P"}, {"EventId", "7"}, {"Free", 10}});
//   repo.WaitIdle();                      // every queued event delivered
//   events->Objects();                    // the Disk_Full event
//   wbem::ComPtr<IWbemServices> services = ns.Services();  // for the component
//
// Every call returns an HRESULT (WBEM_S_NO_ERROR on success) and never throws.
// Names are compared without regard to ASCII case. A Repository is
// thread-safe; destroying it cancels every subscription (waiting for running
// deliveries) and drops classes, providers and instances, after which services
// pointers that are still held answer WBEM_E_SHUTTING_DOWN.
//
// Providers run on the thread that calls ExecMethod. Do not let a provider own
// the Repository: destroying the Repository is what breaks the cycle.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repository/kit_names.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "repository/provider.h"

namespace repository {

namespace detail {
class Core;
}

// A method: its parameters, its return type and the provider that runs it.
// The out-signature always declares ReturnValue (uint32 unless Returns says
// otherwise). A method without In parameters has no in-signature.
class MethodDef {
 public:
  explicit MethodDef(std::string name) : name_(std::move(name)) {}
  MethodDef& In(std::string name, CIMTYPE type) {
    in_.emplace_back(std::move(name), type);
    return *this;
  }
  MethodDef& Out(std::string name, CIMTYPE type) {
    out_.emplace_back(std::move(name), type);
    return *this;
  }
  MethodDef& Returns(CIMTYPE type) {
    return_type_ = type;
    return *this;
  }
  MethodDef& Provider(MethodProvider provider) {
    provider_ = std::move(provider);
    return *this;
  }

 private:
  friend class detail::Core;
  std::string name_;
  std::vector<std::pair<std::string, CIMTYPE>> in_;
  std::vector<std::pair<std::string, CIMTYPE>> out_;
  CIMTYPE return_type_ = CIM_UINT32;
  MethodProvider provider_;
};

// A class definition. Declaring a property that the superclass already has
// overrides it: same type required, the key flag is inherited, the subclass
// may give a new default, and the property counts as the subclass's own for
// WBEM_FLAG_LOCAL_ONLY. Keys cannot be real, object or array typed, and a
// subclass cannot add keys when its superclass has some. A method of the same
// name as an inherited one overrides it.
class Class {
 public:
  explicit Class(std::string name, std::string superclass = {})
      : name_(std::move(name)), superclass_(std::move(superclass)) {}
  Class& Property(std::string name, CIMTYPE type, Variant default_value = nullptr) {
    properties_.push_back({std::move(name), type, false, std::move(default_value)});
    return *this;
  }
  Class& Key(std::string name, CIMTYPE type) {
    properties_.push_back({std::move(name), type, true, Variant(nullptr)});
    return *this;
  }
  Class& Method(MethodDef method) {
    methods_.push_back(std::move(method));
    return *this;
  }

 private:
  friend class detail::Core;
  struct Prop {
    std::string name;
    CIMTYPE type;
    bool key;
    Variant default_value;
  };
  std::string name_;
  std::string superclass_;
  std::vector<Prop> properties_;
  std::vector<MethodDef> methods_;
};

// Property values by name; each value is converted to the declared type as
// Put with CIM type 0 does.
using PropertyValues = std::vector<std::pair<std::string, Variant>>;

// A handle to one namespace; cheap to copy. Handles and services stay usable
// after the Repository is gone, answering WBEM_E_SHUTTING_DOWN.
class Namespace {
 public:
  const std::string& name() const { return name_; }

  // Files a class. WBEM_E_INVALID_SUPERCLASS, WBEM_E_INVALID_PARAMETER (bad or
  // duplicate names), WBEM_E_INVALID_PROPERTY_TYPE, WBEM_E_TYPE_MISMATCH (an
  // override with another type, or a default that does not convert),
  // WBEM_E_CANNOT_BE_KEY; replacing a class that has subclasses or instances:
  // WBEM_E_CLASS_HAS_CHILDREN / WBEM_E_CLASS_HAS_INSTANCES.
  HRESULT Define(const Class& cls) const;
  // Replaces the provider of a method declared by `class_name` (subclasses
  // that inherit the method without overriding it follow).
  HRESULT SetProvider(std::string_view class_name, std::string_view method,
                      MethodProvider provider) const;
  // A new, unfiled instance with the class's defaults and `values`.
  HRESULT NewInstance(std::string_view class_name, const PropertyValues& values,
                      ComPtr<IWbemClassObject>* instance) const;
  // Files an instance (creating or replacing by its keys).
  HRESULT AddInstance(std::string_view class_name, const PropertyValues& values) const;
  // Raises an event: a new instance, indicated as QueryObjectSink's sink does.
  HRESULT Raise(std::string_view class_name, const PropertyValues& values) const;
  HRESULT Raise(IWbemClassObject* event) const;
  // The namespace's services (one new reference).
  ComPtr<IWbemServices> Services() const;
  // ExecNotificationQueryAsync("WQL", query, 0, nullptr, sink) / CancelAsyncCall(sink).
  HRESULT Subscribe(std::string_view query, IWbemObjectSink* sink) const;
  HRESULT Unsubscribe(IWbemObjectSink* sink) const;

 private:
  friend class Repository;
  Namespace(std::shared_ptr<detail::Core> core, std::string name)
      : core_(std::move(core)), name_(std::move(name)) {}
  std::shared_ptr<detail::Core> core_;
  std::string name_;
};

class Repository {
 public:
  Repository();
  ~Repository();
  Repository(const Repository&) = delete;
  Repository& operator=(const Repository&) = delete;

  // The namespace of that name, created when absent. Backslashes and slashes
  // both separate its parts ("root\\zrv" and "root/zrv" are one namespace);
  // each part is letters, digits and underscores. For any other name the
  // handle's calls fail with WBEM_E_INVALID_NAMESPACE.
  Namespace OpenNamespace(std::string_view name);
  // Services of an existing namespace; WBEM_E_INVALID_NAMESPACE otherwise.
  HRESULT Connect(std::string_view ns, ComPtr<IWbemServices>* services) const;

  // Waits until every event indicated so far, and every event those
  // deliveries indicated in turn, has been delivered or dropped by a
  // cancellation. False when `timeout` ran out, or when called from within a
  // delivery of this repository (which could never see it idle).
  [[nodiscard]] bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // From now on, every ExecMethod that resolves (namespace, class, method,
  // instance, provider all found, exactly as for a real call) is handed to
  // `recorder` instead of the method's provider, and answers
  // WBEM_S_NO_ERROR with ReturnValue 0 (converted to the declared return
  // type; left NULL when 0 does not convert) and every other out-parameter
  // NULL. A call that does not resolve fails as it always does. An empty
  // function runs providers again. Thread-safe; a call already past the
  // choice finishes with the choice it saw.
  //
  // This is the dry run's seam: the lowest point at which a call is still
  // the caller's exact path and in-parameters, and the last before anything
  // the provider does.
  void RecordCallsOnly(CallRecorder recorder);

 private:
  std::shared_ptr<detail::Core> core_;
};

}  // namespace repository
