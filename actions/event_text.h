// The event's identity texts as the executors read them: "ModelName",
// "EventId", "event_key" and "severity", each passed on in the result event
// and, for a program, in its environment.
//
// One rule for every executor: the text is "None" unless the property holds
// a value with a text form. A string is taken as it is; a number or a boolean
// gives the host's DecodeVariant text (an event id 7 is "7"); null, and a
// value DecodeVariant refuses (an object), give "None".
//
// Only a property the event cannot give at all (its class does not declare it,
// or there is no event) is a failed read, which the callers report for
// EventId and event_key as "The property ... was not found". A declared
// property left null was found: the sender chose to give no value, "None"
// already says so in the result, and a line claiming the property is missing
// would send the operator to the class definition, which is right.
//
// Thread-safe; the caller keeps the event.
#pragma once

#include <string>

#include "wbem/interfaces.h"

namespace actions {

// The text of `name` into `*text` ("None" when it has none, as above). False
// only when the property cannot be read.
bool ReadEventText(IWbemClassObject* event, const char16_t* name, std::string* text);

}  // namespace actions
