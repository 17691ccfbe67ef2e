#include "host/component_manager.h"

int CComponentManager::CompRecovery(IWbemServices* services, void* handle) {
  CompStop(handle);
  return CompStart(services, handle);
}

int CComponentManager::DeleteAll() { return 1; }
