#include "component/action_manager_sink.h"

#include <cstddef>
#include <new>
#include <utility>

#include "base/ascii.h"
#include "component/impl_action_rule.h"
#include "host/trace_utils.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"
#include "actions/log_component.h"

namespace {

constexpr std::size_t kInitialBuckets = 17;

// The query with every backslash doubled, as the query language reads a
// backslash inside a literal as an escape. Only the profile name can hold one.
// Double quotes are left as they are: a profile name holding one yields a
// query that the repository refuses at Start.
std::string BuildQuery(const std::string& profile_name) {
  static constexpr std::string_view kHead = "SELECT * FROM ZRV_Event WHERE ProfileName=\"";
  std::string query;
  query.reserve(kHead.size() + profile_name.size() * 2 + 1);
  query.append(kHead);
  for (const char c : profile_name) {
    query.push_back(c);
    if (c == '\\') query.push_back('\\');
  }
  query.push_back('"');
  return query;
}

}  // namespace

CActionManagerSink::CActionManagerSink(const std::string& profile_name,
                                       const CActionManagerSettings& settings)
    : m_mapRules(kInitialBuckets) {
  m_strProfileName = profile_name;
  m_strSinkId = "ACTIONMANAGER@" + profile_name;
  m_strPingEventClass = "ZRV_Event_Ping";
  SetWQLQuery(BuildQuery(profile_name));

  for (const auto& [name, rule] : settings.m_mapRules) {
    // The executors are built from a copy of the rule, so its actions run in
    // the order in which a copy enumerates them.
    const CActionRule copy(rule);
    // Class names are compared without regard to ASCII case, as the
    // repository compares them.
    AddRule(base::AsciiLowered(name), copy);
  }
}

CActionManagerSink::~CActionManagerSink() {
  // Deliveries come on the repository's thread. The base detaches from the
  // repository only in its own destructor, after the rule map is gone, so a
  // delivery could still reach the rules while they are destroyed. Detaching
  // here (the base's own cancellation, not the component's Stop) waits for a
  // delivery in progress; the host still decides whether Stop is called.
  CTemporarySink::Stop();
}

void CActionManagerSink::AddRule(const std::string& name, const CActionRule& rule) {
  // Built before the old one goes, so that a failed build leaves the map as
  // it was.
  auto executor = std::make_unique<CImplActionRule>(this, rule);
  m_mapRules.insert_or_assign(name, std::move(executor));
}

CImplActionRule* CActionManagerSink::FindRule(const std::string& lower_case_name) const {
  const auto it = m_mapRules.find(lower_case_name);
  return it == m_mapRules.end() ? nullptr : it->second.get();
}

int CActionManagerSink::ProcessEvent(IWbemClassObject* event) {
  wbem::Variant class_name;
  const HRESULT hr = event == nullptr
                         ? WBEM_E_INVALID_PARAMETER
                         : event->Get(u"__CLASS", 0, class_name.Out(), nullptr, nullptr);
  if (FAILED(hr)) {
    CTraceUtils::GetInstance()->LogMsg(0, actions::kLogComponent, "Failed getting event Name");
    return 0;
  }
  // A class name that is not a string names no class: the event matches no
  // rule at all, not even one filed under the empty name.
  if (class_name.vt() != VT_BSTR) return 1;

  try {
    const BSTR text = class_name.get().bstrVal;
    const std::string event_name =
        base::AsciiLowered(wbem::Utf16ToUtf8({text != nullptr ? text : u"", SysStringLen(text)}));
    const auto it = m_mapRules.find(event_name);
    if (it == m_mapRules.end()) return 1;
    return it->second->ExecuteActions(event, event_name);
  } catch (const std::bad_alloc&) {
    // Nothing may leave the delivery; the event is lost, and said so.
    CTraceUtils::GetInstance()->LogMsg(
        0, actions::kLogComponent, "Cannot process an event of profile %s: out of memory", m_strProfileName);
    return 0;
  }
}

int CActionManagerSink::Start(IWbemServices* services) { return CTemporarySink::Start(services); }

int CActionManagerSink::Stop() { return CTemporarySink::Stop(); }
