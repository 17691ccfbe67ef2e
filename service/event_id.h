// The EventId rule of events taken over HTTP and the socket.
//
// The execution limits count by EventId, so an event without one (absent or
// null) cannot share a stand-in with every other such event: it is either
// refused or, when the configuration asks for it, given an id of its own.
#pragma once

#include <string>

#include "scenario/scenario.h"

namespace service {

// The message of a refused event (placed at properties.EventId).
extern const char kMissingEventIdMessage[];

// True when `event` has an EventId (any case) with a value. Otherwise, with
// `generate`, gives it a new one, in `event` and in `*received` (the event's
// JSON as received, which the journal keeps) alike, and returns true; without
// `generate`, changes nothing and returns false.
[[nodiscard]] bool EnsureEventId(bool generate, scenario::ScenarioObject* event,
                                 scenario::Json* received);

// "amd-" and 32 hex digits from the kernel's random source: unique for every
// practical purpose, and recognisable as generated.
std::string NewEventId();

}  // namespace service
