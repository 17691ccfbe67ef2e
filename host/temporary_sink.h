// CTemporarySink: the host framework's base of a component's event sink.
//
// A subclass fills the profile name, the sink identifier and the ping event
// class name (protected fields) and the subscription query (SetWQLQuery) in
// its constructor, and implements ProcessEvent. Start(services) subscribes the
// sink to the query's events and keeps one reference to `services` for the
// subclass's use (GetServices); from then until Stop, the repository hands
// every matching event to Indicate, which calls ProcessEvent once per object.
//
// Virtual slots, in order: QueryInterface, AddRef, Release, Indicate,
// SetStatus (the object sink's COM entries), Start, Stop, ProcessEvent, then
// the destructor.
//
// Ownership: the sink is an ordinary C++ object owned by its component
// (created with new, destroyed with delete). It is also the IWbemObjectSink
// the repository delivers to, so AddRef and Release count references but
// never delete it. The destructor cancels a subscription that is still active
// and waits for a delivery in progress, then releases the services, so no
// delivery reaches a destroyed sink. (It cannot protect the subclass's own
// members: a subclass whose ProcessEvent uses them and that can be deleted
// while started must Stop in its own destructor.)
//
// Threads: deliveries never overlap, whoever calls Indicate (the repository
// delivers one at a time; direct callers are serialised too). Start, Stop and
// the destructor are for the host's thread; Stop may also be called from
// ProcessEvent. Check, the accessors and DecodeVariant may be called from any
// thread.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "wbem/com_object.h"
#include "wbem/com_ptr.h"

class CTemporarySink
    : public wbem::ComObject<CTemporarySink, IWbemObjectSink, wbem::Lifetime::kOwner> {
 public:
  CTemporarySink() = default;
  CTemporarySink(const CTemporarySink&) = delete;
  CTemporarySink& operator=(const CTemporarySink&) = delete;

  // QueryInterface, AddRef and Release come from wbem::ComObject: references
  // are counted for the repository's sake, and reaching zero does not delete
  // the sink (Lifetime::kOwner).
  // Calls ProcessEvent for each non-null object, in order. WBEM_S_NO_ERROR;
  // WBEM_E_INVALID_PARAMETER for a negative count or a null array.
  HRESULT Indicate(LONG count, IWbemClassObject** objects) override;
  HRESULT SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

  // Subscribes with the query (language "WQL") and keeps `services`. A sink
  // that is already started is stopped first. 1 on success; 0 for null
  // services, an empty query, or a subscription that the repository refused
  // (logged at level 0 for component "ZRVUtils" with its HRESULT).
  virtual int Start(IWbemServices* services);
  // Cancels the subscription, waiting for a delivery in progress (unless
  // called from that delivery). 1 when a subscription was cancelled, 0 when
  // none was active. The services stay available to GetServices until the
  // next Start or the destructor: a ProcessEvent that stops the sink may still
  // run its actions.
  virtual int Stop();
  // Handles one event; the result is the subclass's own.
  virtual int ProcessEvent(IWbemClassObject* event) = 0;
  virtual ~CTemporarySink();

  // 1 while subscribed (between a successful Start and Stop), else 0.
  int Check() const;

  const std::string& GetProfileName() const { return m_strProfileName; }
  const std::string& GetSinkId() const { return m_strSinkId; }
  const std::string& GetPingEventClass() const { return m_strPingEventClass; }
  const std::string& GetWQLQuery() const { return m_strQuery; }
  // The services given to the last successful Start (no new reference), or
  // null before it.
  IWbemServices* GetServices() const { return m_pServices.get(); }

  // The text form of a value, into `text`; 1 on success. On 0 `text` is left
  // as it was.
  //   VT_I1, VT_I2, VT_I4, VT_I8, VT_INT      signed decimal ("-5")
  //   VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_UINT unsigned decimal
  //   VT_R4, VT_R8   the shortest text that reads back to the same value
  //                  ("0.1", "100", "1e+21"; "nan", "inf", "-inf")
  //   VT_BOOL        "TRUE" (any non-zero value) or "FALSE"
  //   VT_BSTR        the string as UTF-8 (a null BSTR is "")
  //   VT_NULL, VT_EMPTY  "" (result 1)
  //   arrays, objects (VT_UNKNOWN, VT_DISPATCH) and every other type: 0
  // A uint32 property travels in VT_I4, so values above 2147483647 read
  // negative here, as the variant carries them.
  static int DecodeVariant(const VARIANT& value, std::string& text);

 protected:
  void SetWQLQuery(const std::string& query) { m_strQuery = query; }

  std::string m_strProfileName;
  std::string m_strSinkId;
  std::string m_strPingEventClass;

 private:
  std::string m_strQuery;
  wbem::ComPtr<IWbemServices> m_pServices;
  std::atomic<bool> m_bStarted{false};
  std::mutex m_control;             // Start, Stop, destructor
  std::recursive_mutex m_delivery;  // held for each Indicate
};
