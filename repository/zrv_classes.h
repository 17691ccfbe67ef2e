// The event classes that the agent's host defines in the monitoring namespace
// before any profile's component starts: ZRV_Event, the base of every
// monitoring event (the profile, model, event id, event key and severity that
// the actions read), and ZRV_ActionResult, the result event that every action
// run reports. The component only reads these classes; it never defines them.
//
// Stateless and thread-safe. On failure a namespace may hold the first class
// without the second.
#pragma once

#include "repository/repository.h"

namespace repository {

// ZRV_Event: ProfileName, ModelName, EventId, event_key, severity, all strings.
repository::Class ZrvEventClass();

// ZRV_ActionResult, with its properties in the order the actions set them. It
// does not derive from ZRV_Event: a profile's subscription to ZRV_Event must
// not receive the results of its own actions.
repository::Class ZrvActionResultClass();

// Defines both classes in `ns`; the first failing Define's result, else
// WBEM_S_NO_ERROR.
HRESULT DefineZrvEventClasses(const repository::Namespace& ns);

}  // namespace repository
