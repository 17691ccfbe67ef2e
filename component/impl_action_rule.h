// CImplActionRule: one rule of a running profile, ready to run. It holds one
// executor per action of the rule it was built from, in the rule's
// enumeration order, and the rule's execution counters: per event id text,
// how many deliveries ran without holding back any action. While a host has
// installed a counter store (component/execution_counters.h), the counts are
// read from and written to it instead, under the same rule.
//
// Ownership: owned by its sink's rule map; owns its executors (each with its
// own copy of its description) and its counters. The sink it was built for is
// not owned and must outlive it. The rule it was built from is not kept.
//
// Threads: not thread-safe. ExecuteActions reads and writes the counters
// without a lock, so deliveries to one rule must not overlap (the sink's base
// serialises them).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "actions/impl_base_action_info.h"
#include "settings/action_info.h"
#include "settings/action_rule.h"
#include "wbem/interfaces.h"

class CActionManagerSink;

class CImplActionRule {
 public:
  // The counter key of an event without a readable event id, and of one whose
  // event id is null or has no text form (an array, an object): such events
  // carry no id, so they share one counter.
  static constexpr const char* kNoEventId = "None";

  // Builds one executor per action of `rule`, chosen by the action's run-time
  // class (built-in, then task, then program); an action of no known kind is
  // dropped. Throws std::bad_alloc when memory runs out (the caller, the
  // sink's builder, turns that into a failed CompCreate).
  CImplActionRule(CActionManagerSink* sink, const CActionRule& rule);
  ~CImplActionRule();

  CImplActionRule(const CImplActionRule&) = delete;
  CImplActionRule& operator=(const CImplActionRule&) = delete;

  // Runs the executors in order for `event`, holding back each whose limit is
  // reached for the event's id; task actions are never run. `event_name` (the
  // lower-cased class name the rule is filed under) only appears in log
  // lines. 1 when every action that ran returned nonzero (also when none
  // ran), 0 otherwise. The counter of the event id grows by one when no
  // action was held back; it saturates at the largest 32-bit count.
  int ExecuteActions(IWbemClassObject* event, const std::string& event_name);

  // The executors in run order; they stay the rule's.
  const std::vector<std::unique_ptr<CImplBaseActionInfo>>& GetExecutors() const {
    return m_lstExecutors;
  }
  // The counter of an event id text in the rule's own map (0 when there is
  // none yet; the map is not used while a counter store is installed).
  std::int32_t GetExecutionCount(const std::string& event_id) const;

  // The executor for one description, chosen by its run-time class; null for
  // a description of no known kind.
  static std::unique_ptr<CImplBaseActionInfo> CreateExecutor(const CBaseActionInfo& info);

  // Test seam: a factory consulted before the built-in kinds, so that tests
  // can run executors they observe. It returns null to leave a description to
  // the ordinary choice. Null removes it. Not thread-safe: set it while no
  // sink is being built.
  using ExecutorFactory = std::unique_ptr<CImplBaseActionInfo> (*)(const CBaseActionInfo& info);
  static void SetExecutorFactoryForTesting(ExecutorFactory factory);

 private:
  // The counter key of `event` (see kNoEventId); logs a missing event id.
  static std::string ReadEventIdKey(IWbemClassObject* event, const std::string& event_name);

  CActionManagerSink* m_pSink;
  std::vector<std::unique_ptr<CImplBaseActionInfo>> m_lstExecutors;
  std::unordered_map<std::string, std::int32_t> m_mapCounters;
};
