// Where a rule's execution counters live. By default each CImplActionRule
// keeps its own in memory, so they start at zero with every CompCreate. A
// host that must keep them across restarts installs a counter store: from
// then on every rule reads the count of an event id from it before it runs
// its actions and writes the new count back after them, instead of using its
// own map. The counting rule is the library's either way: the count of an
// event id grows by one for each delivery that held back no action, and
// saturates at the largest 32-bit count; the store only keeps the numbers.
//
// Counters are keyed by the component's profile (its sink's), the rule (the
// lower-cased event class) and the event id's counter key (as in
// AmDispatchStep), so a component re-created for the same profile finds the
// counts of the one before it.
//
// Both functions run on the delivery thread of the profile's sink, one
// delivery at a time per profile, and must not call back into the component.
// An exception from either leaves that delivery to the rule's own map.
// Installing and removing are thread-safe; with no store, dispatch pays one
// relaxed atomic load per event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "settings/export.h"

struct AmCounterKey {
  const std::string& profile;
  const std::string& rule;
  const std::string& event_id;
};

struct AmExecutionCounterStore {
  // The count of `key`; 0 when there is none.
  std::function<std::int32_t(const AmCounterKey& key)> load;
  // The count of `key` after a delivery that held nothing back.
  std::function<void(const AmCounterKey& key, std::int32_t count)> save;
};

// Installs `store` for every rule from now on; a store with either function
// empty removes it, and the rules use their own maps again.
AM_EXPORT void AmSetExecutionCounterStore(AmExecutionCounterStore store);

namespace component {
// The installed store, or null (for CImplActionRule).
std::shared_ptr<const AmExecutionCounterStore> ExecutionCounterStore();
}  // namespace component
