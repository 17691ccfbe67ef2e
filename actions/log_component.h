// The component name every log line of the action manager carries (the
// library's, its action kinds' and its executors'), so that a host's log
// filter names one component.
#pragma once

namespace actions {

inline constexpr char kLogComponent[] = "ActionManager";

}  // namespace actions
