#include "component/impl_action_rule.h"

#include <chrono>
#include <limits>
#include <utility>

#include "actions/action_report.h"
#include "component/action_manager_sink.h"
#include "component/dispatch_observer_internal.h"
#include "component/execution_counters.h"
#include "host/trace_utils.h"
#include "component/action_kinds.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"
#include "actions/log_component.h"

namespace {


CImplActionRule::ExecutorFactory g_test_factory = nullptr;

}  // namespace

CImplActionRule::CImplActionRule(CActionManagerSink* sink, const CActionRule& rule)
    : m_pSink(sink) {
  m_lstExecutors.reserve(static_cast<std::size_t>(rule.GetCount()));
  for (const auto& [name, action] : rule) {
    if (action == nullptr) continue;
    if (auto executor = CreateExecutor(*action)) m_lstExecutors.push_back(std::move(executor));
  }
}

CImplActionRule::~CImplActionRule() = default;

std::unique_ptr<CImplBaseActionInfo> CImplActionRule::CreateExecutor(const CBaseActionInfo& info) {
  if (g_test_factory != nullptr) {
    if (auto executor = g_test_factory(info)) return executor;
  }
  return component::CreateActionExecutor(info);
}

void CImplActionRule::SetExecutorFactoryForTesting(ExecutorFactory factory) {
  g_test_factory = factory;
}

std::int32_t CImplActionRule::GetExecutionCount(const std::string& event_id) const {
  const auto it = m_mapCounters.find(event_id);
  return it == m_mapCounters.end() ? 0 : it->second;
}

std::string CImplActionRule::ReadEventIdKey(IWbemClassObject* event,
                                            const std::string& event_name) {
  wbem::Variant id;
  const HRESULT hr = event == nullptr ? WBEM_E_INVALID_PARAMETER
                                      : event->Get(u"EventId", 0, id.Out(), nullptr, nullptr);
  if (FAILED(hr)) {
    CTraceUtils::GetInstance()->LogMsg(
        0, actions::kLogComponent, "The event '%s'is malformed. The property %S of  was not found", event_name,
        u"EventId");
    return kNoEventId;
  }
  if (id.vt() == VT_BSTR) {
    const BSTR text = id.get().bstrVal;
    return wbem::Utf16ToUtf8({text != nullptr ? text : u"", SysStringLen(text)});
  }
  // An id that travels as a number (a uint32 property, say) counts under its
  // decimal text, so that 7 and "7" name the same event. A null id, or one
  // without a text form, is no id at all.
  if (id.IsNull()) return kNoEventId;
  std::string text;
  if (CTemporarySink::DecodeVariant(id.get(), text) == 0) return kNoEventId;
  return text;
}

int CImplActionRule::ExecuteActions(IWbemClassObject* event, const std::string& event_name) {
  int result = 1;
  const std::string key = ReadEventIdKey(event, event_name);
  static const std::string kNoProfile;
  const std::string& profile = m_pSink != nullptr ? m_pSink->GetProfileName() : kNoProfile;
  // A host's store replaces the map for this delivery; when it fails, the
  // map counts instead, so that a delivery is never refused for it.
  std::shared_ptr<const AmExecutionCounterStore> store = component::ExecutionCounterStore();
  const AmCounterKey counter_key{profile, event_name, key};
  std::int32_t count = 0;
  bool stored = false;
  if (store) {
    try {
      count = store->load(counter_key);
      stored = true;
    } catch (...) {
      store.reset();
    }
  }
  auto counter = m_mapCounters.find(key);
  if (!stored) count = counter == m_mapCounters.end() ? 0 : counter->second;

  CTraceUtils::GetInstance()->LogMsg(
      1, actions::kLogComponent, "Executing actions triggred by the event '%s' already executed %ld times",
      event_name, count);

  const bool observed = component::DispatchObserved();
  const bool outcomes = component::OutcomeObserved();
  const auto total = static_cast<std::int32_t>(m_lstExecutors.size());
  const auto report = [&](std::int32_t index, std::uint16_t limit, AmActionDecision decision) {
    component::ReportDispatchStep({event_name, key, count, index, total, limit, decision});
  };
  const auto conclude = [&](std::int32_t index, AmActionDecision decision,
                            const actions::ActionReport& run, double seconds) {
    const auto& executor = *m_lstExecutors[static_cast<std::size_t>(index)];
    component::ReportActionOutcome({profile, event_name, key, index,
                                    component::ActionKindOf(executor), decision, run.indicated,
                                    run.result_code, run.return_code, seconds, run.output,
                                    run.error});
  };
  if (observed) report(-1, 0, AmActionDecision::kRuns);

  bool all_allowed = true;
  for (std::int32_t index = 0; index < total; ++index) {
    const auto& executor = m_lstExecutors[static_cast<std::size_t>(index)];
    const std::uint16_t limit = executor->GetExecutionLimit();
    if (limit != 0 && static_cast<std::int32_t>(limit) <= count) {
      if (observed) report(index, limit, AmActionDecision::kHeldBack);
      if (outcomes) conclude(index, AmActionDecision::kHeldBack, {}, 0);
      CTraceUtils::GetInstance()->LogMsg(0, actions::kLogComponent,
                                         "The action triggred by the event '%s' won't be executed "
                                         "becuse it has been already executed %ld times",
                                         event_name, count);
      all_allowed = false;
      continue;
    }
    // Task actions belong to the agent's task component: they count towards
    // the limit but are never run here.
    if (executor->IsKindOf(&CImplTaskActionInfo::classCImplTaskActionInfo)) {
      if (observed) report(index, limit, AmActionDecision::kTaskNotRun);
      if (outcomes) conclude(index, AmActionDecision::kTaskNotRun, {}, 0);
      continue;
    }
    if (observed) report(index, limit, AmActionDecision::kRuns);
    actions::ActionReport run;
    const auto start = std::chrono::steady_clock::now();
    {
      actions::ScopedActionReport open(&run);
      if (executor->Execute(m_pSink, event) == 0) result = 0;
    }
    if (outcomes) {
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      conclude(index, AmActionDecision::kRuns, run, took.count());
    }
  }

  if (all_allowed) {
    // Without a limit the count could otherwise wrap after 2^31 deliveries and
    // let limited actions of the same id run again.
    const std::int32_t next = count == std::numeric_limits<std::int32_t>::max() ? count : count + 1;
    if (stored) {
      try {
        store->save(counter_key, next);
        return result;
      } catch (...) {
      }
    }
    if (counter == m_mapCounters.end()) {
      m_mapCounters.emplace(key, next);
    } else {
      counter->second = next;
    }
  }
  return result;
}
