// The library's load and unload entry. Compiled only into libActionManager.so
// (never into the static component library), so that only a process that
// loads the real library runs it.
//
// A failed registration cannot fail the load itself; see
// component/library_state.h for how the library then refuses to be used.
#include "component/library_state.h"
#include "settings/registry.h"

namespace {

__attribute__((constructor)) void ActionManagerLoad() {
  component::AttachLibrary(&AmRegisterSettingsClasses);
}

__attribute__((destructor)) void ActionManagerUnload() {
  component::DetachLibrary(&AmUnregisterSettingsClasses);
}

}  // namespace
