#include "component/library_state.h"

#include <atomic>

#include "actions/log_component.h"
#include "host/trace_utils.h"
#include "settings/action_manager_settings.h"

namespace component {
namespace {

std::atomic<bool> g_usable{true};
std::atomic<bool> g_registered{false};

void LogSettingsArchived(const SettingsArchived& archived) {
  CTraceUtils::GetInstance()->LogMsg(
      3, actions::kLogComponent,
      archived.storing ? "Serialized %d action rules" : "De-serialized %d action rules",
      archived.rule_count);
}

}  // namespace

bool AttachLibrary(bool (*register_classes)()) {
  CTraceUtils::GetInstance()->LogMsg(3, actions::kLogComponent, "Initializing ActionManager.dll");
  SetSettingsArchiveObserver(&LogSettingsArchived);
  const bool ok = register_classes != nullptr && register_classes();
  g_registered.store(ok);
  g_usable.store(ok);
  return ok;
}

void DetachLibrary(void (*unregister_classes)()) {
  CTraceUtils::GetInstance()->LogMsg(3, actions::kLogComponent, "Terminating ActionManager.dll");
  if (g_registered.exchange(false) && unregister_classes != nullptr) unregister_classes();
  SetSettingsArchiveObserver(nullptr);
}

bool IsLibraryUsable() { return g_usable.load(); }

}  // namespace component
