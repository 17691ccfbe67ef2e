#include "component/action_manager_manager.h"

#include <mutex>
#include <new>

#include "component/action_manager_sink.h"
#include "component/library_state.h"
#include "host/trace_utils.h"
#include "settings/action_manager_settings.h"
#include "settings/object.h"
#include "actions/log_component.h"

namespace {


// Guards the singleton pointer. The host is expected to make its first call
// alone, but a lock costs nothing here and turns a racing first call into a
// wait instead of two managers. Constant-initialised and with nothing to
// release, so it serves at any point of load, unload and exit.
std::mutex g_singleton_mutex;

CActionManagerSink* AsSink(void* handle) { return static_cast<CActionManagerSink*>(handle); }

}  // namespace

CActionManagerManager* CActionManagerManager::m_pToTheSingleInst = nullptr;

int CTaskMessageSink::ProcessMessage(unsigned, std::uintptr_t, std::intptr_t) {
  CTraceUtils::GetInstance()->LogMsg(3, "TasksManager",
                                     "Message ZRV2K_EXECTASK successfully processed...");
  return 1;
}

CActionManagerManager* CActionManagerManager::GetInstance() {
  if (!component::IsLibraryUsable()) return nullptr;
  std::lock_guard lock(g_singleton_mutex);
  if (m_pToTheSingleInst == nullptr) m_pToTheSingleInst = new (std::nothrow) CActionManagerManager;
  return m_pToTheSingleInst;
}

CActionManagerManager::CActionManagerManager() : m_pTaskSink(new (std::nothrow) CTaskMessageSink) {
  // Without a subscriber the component still runs its profiles; it only
  // cannot acknowledge task messages, which it does nothing else with.
  if (m_pTaskSink != nullptr) {
    CDispatcher::GetInstance()->Subscribe(m_pTaskSink.get(), kExecTaskMessage);
  }
}

CActionManagerManager::~CActionManagerManager() {
  if (m_pTaskSink != nullptr) {
    CDispatcher::GetInstance()->Unsubscribe(m_pTaskSink.get(), kExecTaskMessage);
  }
  m_pTaskSink.reset();
  DeleteAll();
  // The host may destroy the singleton; a later GetInstance must then build a
  // new one rather than hand out a dangling pointer.
  std::lock_guard lock(g_singleton_mutex);
  if (m_pToTheSingleInst == this) m_pToTheSingleInst = nullptr;
}

int CActionManagerManager::CompCreate(const char* profile, void** handle, CObject* settings) {
  if (settings == nullptr ||
      !settings->IsKindOf(&CActionManagerSettings::classCActionManagerSettings)) {
    CTraceUtils::GetInstance()->LogMsg(
        0, actions::kLogComponent, "Cannot create action manager %s: bad type of settings", profile);
    return 0;
  }
  if (profile == nullptr || handle == nullptr) {
    CTraceUtils::GetInstance()->LogMsg(
        0, actions::kLogComponent, "Cannot create action manager %s: no profile name or no handle", profile);
    return 0;
  }
  try {
    *handle = new CActionManagerSink(profile, *static_cast<CActionManagerSettings*>(settings));
    return 1;
  } catch (const std::bad_alloc&) {
    // Whatever was built of the sink has been destroyed by the unwinding.
    CTraceUtils::GetInstance()->LogMsg(0, actions::kLogComponent,
                                       "Cannot create action manager %s: out of memory", profile);
    return 0;
  }
}

int CActionManagerManager::CompDelete(void* handle) {
  delete AsSink(handle);
  return 1;
}

int CActionManagerManager::CompStop(void* handle) {
  return handle == nullptr ? 0 : AsSink(handle)->Stop();
}

int CActionManagerManager::CompStart(IWbemServices* services, void* handle) {
  return handle == nullptr ? 0 : AsSink(handle)->Start(services);
}

int CActionManagerManager::CompCheck(IWbemServices*, void* handle) {
  return handle == nullptr ? 0 : AsSink(handle)->Check();
}
