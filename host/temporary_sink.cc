#include "host/temporary_sink.h"

#include "host/trace_utils.h"
#include "wbem/variant_text.h"
#include "wbem/holders.h"

HRESULT CTemporarySink::Indicate(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && objects == nullptr)) return WBEM_E_INVALID_PARAMETER;
  std::lock_guard lock(m_delivery);
  for (LONG i = 0; i < count; ++i) {
    if (objects[i] == nullptr) continue;
    try {
      ProcessEvent(objects[i]);
    } catch (...) {
      // An event handler that throws loses that event, not the sink.
      CTraceUtils::GetInstance()->LogMsg(
          0, "ZRVUtils", "Sink %s: an exception escaped from ProcessEvent", m_strSinkId);
    }
  }
  return WBEM_S_NO_ERROR;
}

HRESULT CTemporarySink::SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) {
  return WBEM_S_NO_ERROR;
}

int CTemporarySink::Start(IWbemServices* services) {
  if (services == nullptr || m_strQuery.empty()) {
    CTraceUtils::GetInstance()->LogMsg(0, "ZRVUtils", "Sink %s: cannot start without %s",
                                       m_strSinkId, services == nullptr ? "services" : "a query");
    return 0;
  }
  Stop();
  std::lock_guard lock(m_control);
  // Kept before subscribing: the first delivery may come at once.
  m_pServices = wbem::ComPtr<IWbemServices>(services);
  const wbem::Bstr language("WQL");
  const wbem::Bstr query(m_strQuery);
  const HRESULT hr =
      services->ExecNotificationQueryAsync(language.get(), query.get(), 0, nullptr, this);
  if (hr != WBEM_S_NO_ERROR) {
    m_pServices.Reset();
    CTraceUtils::GetInstance()->LogMsg(0, "ZRVUtils",
                                       "Sink %s: subscription with query '%s' failed (hres=%lu)",
                                       m_strSinkId, m_strQuery, hr);
    return 0;
  }
  m_bStarted = true;
  return 1;
}

int CTemporarySink::Stop() {
  wbem::ComPtr<IWbemServices> services;
  {
    std::lock_guard lock(m_control);
    if (!m_bStarted.exchange(false)) return 0;
    services = m_pServices;
  }
  // Not under m_control: a delivery that is waited for may itself call Stop
  // or Check.
  const HRESULT hr = services->CancelAsyncCall(this);
  if (hr != WBEM_S_NO_ERROR) {
    CTraceUtils::GetInstance()->LogMsg(0, "ZRVUtils", "Sink %s: cancelling failed (hres=%lu)",
                                       m_strSinkId, hr);
  }
  return 1;
}

CTemporarySink::~CTemporarySink() {
  Stop();
  // A delivery that stopped the sink from within may still be running.
  std::lock_guard wait_for_delivery(m_delivery);
  m_pServices.Reset();
}

int CTemporarySink::Check() const { return m_bStarted ? 1 : 0; }

int CTemporarySink::DecodeVariant(const VARIANT& value, std::string& text) {
  return wbem::FormatVariant(value, &text) ? 1 : 0;
}
