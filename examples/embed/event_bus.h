// embed::EventBus: the smallest management services an agent could hand the
// component, written on the installed interface kit alone. A real agent hands
// over its repository connection; this one knows event classes and nothing
// else, which is all a profile of program and task actions uses:
//
//   - classes with properties (and one superclass), fetched by name
//     (GetObject) and turned into instances (SpawnInstance);
//   - instances whose properties are read, written and enumerated (the
//     program action exports the properties the event's own class declares);
//   - subscriptions to "SELECT * FROM Class [WHERE Prop = "text"]", matched
//     against an event's class and its superclasses;
//   - QueryObjectSink, through which events are raised: the example's own and
//     the component's result events.
//
// Methods and instance paths are not kept: ExecMethod answers
// WBEM_E_INVALID_METHOD (a built-in action then reports its failure),
// PutClass and PutInstance WBEM_E_NOT_SUPPORTED.
//
// Delivery is synchronous, on the thread that raises the event, with no lock
// held (a subscriber may raise further events while it handles one). The bus
// is meant for one thread: the component requires that deliveries to one sink
// never overlap, and raising from a single thread guarantees it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "wbem/com_object.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"

namespace embed {

class Object;

// A property of a class: its name and CIM type. Values start out null.
struct PropertyDef {
  std::string name;
  CIMTYPE type = CIM_STRING;
};

class EventBus final : public wbem::ComObject<EventBus, IWbemServices> {
 public:
  EventBus();

  // Files class `name` with the properties of `superclass` (empty: none)
  // followed by its own. WBEM_E_INVALID_SUPERCLASS for an unknown superclass,
  // WBEM_E_ALREADY_EXISTS for a class of that name.
  HRESULT DefineClass(const std::string& name, const std::string& superclass,
                      const std::vector<PropertyDef>& properties);

  // A new instance of class `name` with `values` put into it (each must be a
  // declared property). Null for an unknown class or property.
  wbem::ComPtr<IWbemClassObject> NewInstance(
      const std::string& name, const std::vector<std::pair<std::string, wbem::Variant>>& values);

  HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context, IWbemClassObject** object,
                    IWbemCallResult** call_result) override;
  HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                     IWbemClassObject* in_params, IWbemClassObject** out_params,
                     IWbemCallResult** call_result) override;
  HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) override;
  HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext* context, IWbemObjectSink* sink) override;
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override;
  HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                   IWbemCallResult** call_result) override;
  HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                      IWbemCallResult** call_result) override;

  // Hands `event` to every subscriber whose query it matches, in subscription
  // order. WBEM_E_INVALID_OBJECT when the event has no known class.
  HRESULT Raise(IWbemClassObject* event);

 private:
  friend class wbem::ComObject<EventBus, IWbemServices>;  // deletes through the destructor
  ~EventBus();

  struct Subscription {
    std::string class_name;  // lower case
    std::u16string property;  // empty: no condition
    std::u16string value;
    wbem::ComPtr<IWbemObjectSink> sink;
  };

  struct ClassEntry {
    std::string name;        // lower case
    std::string superclass;  // lower case, empty for none
    wbem::ComPtr<Object> object;
  };

  // The class filed under `name` (any letter case), or null.
  const ClassEntry* FindClass(const std::string& name) const;
  // True when class `name` is `ancestor` or derives from it.
  bool IsA(const std::string& name, const std::string& ancestor) const;

  std::vector<ClassEntry> classes_;
  std::vector<Subscription> subscriptions_;
};

}  // namespace embed
