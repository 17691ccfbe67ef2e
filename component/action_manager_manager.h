// CActionManagerManager: the ActionManager component as the host drives it.
//
// The host obtains the one manager of the process with GetInstance and runs
// each monitoring profile through CompCreate, CompStart, CompCheck, CompStop
// and CompDelete. A profile's component handle is its CActionManagerSink; the
// manager keeps no list of handles, each belongs to the caller of CompCreate.
// The settings given to CompCreate are copied, never kept.
//
// The manager owns a CTaskMessageSink, subscribed with the dispatcher for
// message 1131 (ZRV2K_EXECTASK) for as long as the manager lives.
//
// Ownership: the host owns the manager (the library never destroys it) and
// the handles. Threads: the operations of one profile must come from one
// thread at a time; those of different profiles touch disjoint sinks.
#pragma once

#include <cstdint>
#include <memory>

#include "host/component_manager.h"
#include "host/dispatcher.h"
#include "settings/export.h"
#include "wbem/interfaces.h"

class CObject;

// The subscriber for the task message: acknowledges every message it gets.
class AM_EXPORT CTaskMessageSink : public CSinkComponent {
 public:
  ~CTaskMessageSink() override = default;
  // Logs "Message ZRV2K_EXECTASK successfully processed..." at level 3 for
  // "TasksManager" and returns 1, whatever the message is.
  int ProcessMessage(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override;
};

class AM_EXPORT CActionManagerManager final : public CComponentManager {
 public:
  // The dispatcher message a manager subscribes its task subscriber for.
  static constexpr unsigned kExecTaskMessage = 1131;

  // The manager of the process, built on the first call. Null when the
  // library failed to load (its settings classes could not be registered:
  // nothing of it is usable) or when memory ran out; a later call tries
  // again. Calls are serialised, so a first call may race with another.
  static CActionManagerManager* GetInstance();

  // Not virtual (the host destroys the manager through this class, which is
  // final). Unsubscribes and destroys the task subscriber, then lets the base drop
  // what it tracks. Sinks still alive are left to their holders. After it,
  // GetInstance builds a new manager.
  ~CActionManagerManager();

  // 1: a new component for `profile` built from a copy of `settings`, its
  // handle in *handle. 0, *handle untouched: `settings` is not a
  // CActionManagerSettings (logged "Cannot create action manager %s: bad
  // type of settings", also for null settings); a null profile or handle
  // (logged "... no profile name or no handle"); memory ran out while
  // building (logged "... out of memory"; nothing of the component is left).
  int CompCreate(const char* profile, void** handle, CObject* settings) override;
  // Destroys the component without the host's Stop (it only detaches from the
  // repository, waiting for a delivery in progress); an empty handle is
  // accepted. Always 1. The three below return 0 for an empty handle.
  int CompDelete(void* handle) override;
  // The sink's Stop: 1 when a subscription was cancelled.
  int CompStop(void* handle) override;
  // The sink's Start with `services`: 1 when subscribed.
  int CompStart(IWbemServices* services, void* handle) override;
  // The sink's Check (1 while subscribed); `services` is not used.
  int CompCheck(IWbemServices* services, void* handle) override;

  // The task subscriber, or null when it could not be created.
  CTaskMessageSink* GetTaskMessageSink() const { return m_pTaskSink.get(); }

 protected:
  CActionManagerManager();

 private:
  static CActionManagerManager* m_pToTheSingleInst;

  std::unique_ptr<CTaskMessageSink> m_pTaskSink;
};
