// The COM-style interfaces of the repository, with the operation names and
// argument order of the management interface they stand in for.
//
// Reference counting is real: every pointer handed out through an out-parameter
// carries one reference that the receiver must Release (wbem::ComPtr does it by
// construction). On failure an out-parameter is set to null, so there is
// nothing to release.
//
// Text arguments typed `const BSTR` are read up to their NUL, so a BSTR or any
// NUL-terminated UTF-16 text may be passed. Names (classes, properties,
// methods, namespaces) are compared without regard to ASCII case; values are
// compared exactly.
//
// Contexts (IWbemContext) and call-result objects (IWbemCallResult) are not
// supported: pass null. A non-null call-result out-parameter is set to null.
#pragma once

#include <cstdint>
#include <cstring>

#include "wbem/oleauto.h"

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
  bool operator==(const GUID& other) const { return std::memcmp(this, &other, sizeof *this) == 0; }
};
using IID = GUID;
using REFIID = const IID&;

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
inline constexpr IID IID_IWbemObjectSink = {
    0x7C857801, 0x7381, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
inline constexpr IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  // Objects die through Release, never through delete on an interface.
  ~IUnknown() = default;
};

struct IWbemContext;
struct IWbemCallResult;

// A class or an instance. An object may be read from several threads at once;
// Put, Begin/Next/EndEnumeration and Release of the last reference need the
// object to themselves.
struct IWbemClassObject : IUnknown {
  // Reads a property or a system property (`__CLASS`, `__SUPERCLASS`,
  // `__GENUS`, `__NAMESPACE`, `__RELPATH`, `__PATH`). `value` (a VARIANT the
  // caller has initialised; it is overwritten, not cleared), `type` and
  // `flavor` may each be null. Flags must be 0. WBEM_E_NOT_FOUND for an unknown
  // name; on failure `value` is left as it was.
  virtual HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;
  // Sets a property. `type` 0 converts `value` to the declared type; a non-zero
  // `type` must equal it. Conversions (see wbem/cim.h): integer variants by
  // value, truncated to the type's width; VT_BSTR into the string-like types;
  // VT_NULL (or a null `value`) into any; the declared type's own variant type
  // as it is. Anything else: WBEM_E_TYPE_MISMATCH, and the property keeps its
  // value. On a class object Put sets the default that new instances start
  // with. WBEM_E_READ_ONLY for a system property.
  virtual HRESULT Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) = 0;
  // Starts an enumeration of property names. Flags: 0 (system properties,
  // then all others), WBEM_FLAG_LOCAL_ONLY (those the class declares or
  // overrides), WBEM_FLAG_PROPAGATED_ONLY (those inherited unchanged),
  // WBEM_FLAG_SYSTEM_ONLY, WBEM_FLAG_NONSYSTEM_ONLY, each optionally with
  // WBEM_FLAG_KEYS_ONLY or WBEM_FLAG_REFS_ONLY.
  virtual HRESULT BeginEnumeration(LONG flags) = 0;
  // The next property: name (a new BSTR), value, type and flavor, each
  // optional. WBEM_S_NO_MORE_DATA at the end; WBEM_E_UNEXPECTED without
  // BeginEnumeration.
  virtual HRESULT Next(LONG flags, BSTR* name, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;
  virtual HRESULT EndEnumeration() = 0;
  // A new object with the same class and values.
  virtual HRESULT Clone(IWbemClassObject** copy) = 0;
  // A new instance of this class with the class's defaults.
  virtual HRESULT SpawnInstance(LONG flags, IWbemClassObject** instance) = 0;
  // Copies of a method's signatures (class objects whose properties are the
  // parameters). A method without in-parameters gives a null in-signature.
  // Either out-parameter may be null. WBEM_E_NOT_FOUND for an unknown method;
  // WBEM_E_ILLEGAL_OPERATION on an instance.
  virtual HRESULT GetMethod(LPCWSTR name, LONG flags, IWbemClassObject** in_signature,
                            IWbemClassObject** out_signature) = 0;
};

// Receives objects: events from a subscription, or results.
struct IWbemObjectSink : IUnknown {
  virtual HRESULT Indicate(LONG count, IWbemClassObject** objects) = 0;
  virtual HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) = 0;
};

// One namespace of the repository. Thread-safe.
struct IWbemServices : IUnknown {
  // A copy of a class (`Class`) or an instance (`Class.Key=Value,...`), by a
  // path relative to this namespace or a full path `\\.\NAMESPACE:...`.
  // WBEM_E_NOT_FOUND for a missing class or instance, WBEM_E_INVALID_OBJECT_PATH
  // for a malformed path, WBEM_E_INVALID_NAMESPACE for an unknown namespace.
  virtual HRESULT GetObject(const BSTR path, LONG flags, IWbemContext* context,
                            IWbemClassObject** object, IWbemCallResult** call_result) = 0;
  // Runs a method's provider, synchronously, on a class path or an instance
  // path. The provider's HRESULT is returned as it is; `out_params` receives the
  // out-parameter object when that HRESULT is a success. WBEM_E_INVALID_CLASS
  // for a missing class, WBEM_E_NOT_FOUND for a missing instance,
  // WBEM_E_INVALID_METHOD for a missing method, WBEM_E_PROVIDER_NOT_CAPABLE for
  // a method without a provider.
  virtual HRESULT ExecMethod(const BSTR path, const BSTR method, LONG flags, IWbemContext* context,
                             IWbemClassObject* in_params, IWbemClassObject** out_params,
                             IWbemCallResult** call_result) = 0;
  // A sink whose Indicate raises its objects as events in this namespace.
  virtual HRESULT QueryObjectSink(LONG flags, IWbemObjectSink** sink) = 0;
  // Subscribes `sink` to the events that match `query` (language "WQL"; the
  // subset `SELECT * FROM Class [WHERE Prop = "text" [AND ...]]`). Delivery is
  // asynchronous, in indication order, one delivery at a time per sink.
  // WBEM_E_INVALID_QUERY_TYPE, WBEM_E_INVALID_QUERY, WBEM_E_INVALID_CLASS,
  // WBEM_E_INVALID_PROPERTY.
  virtual HRESULT ExecNotificationQueryAsync(const BSTR language, const BSTR query, LONG flags,
                                             IWbemContext* context, IWbemObjectSink* sink) = 0;
  // Ends every subscription of `sink` in this namespace. Returns only after a
  // delivery to `sink` in progress on another thread has finished; called from
  // within that delivery it returns at once and no further delivery follows.
  // WBEM_E_NOT_FOUND when `sink` has no subscription here.
  virtual HRESULT CancelAsyncCall(IWbemObjectSink* sink) = 0;
  // Files a copy of a class object (its current defaults included).
  virtual HRESULT PutClass(IWbemClassObject* object, LONG flags, IWbemContext* context,
                           IWbemCallResult** call_result) = 0;
  // Files a copy of an instance under its keys.
  virtual HRESULT PutInstance(IWbemClassObject* instance, LONG flags, IWbemContext* context,
                              IWbemCallResult** call_result) = 0;
};

namespace wbem {

// The interface id of an interface type, for ComPtr::As.
template <typename T>
struct InterfaceId;
template <>
struct InterfaceId<IUnknown> {
  static constexpr const IID& value = IID_IUnknown;
};
template <>
struct InterfaceId<IWbemClassObject> {
  static constexpr const IID& value = IID_IWbemClassObject;
};
template <>
struct InterfaceId<IWbemObjectSink> {
  static constexpr const IID& value = IID_IWbemObjectSink;
};
template <>
struct InterfaceId<IWbemServices> {
  static constexpr const IID& value = IID_IWbemServices;
};

}  // namespace wbem
