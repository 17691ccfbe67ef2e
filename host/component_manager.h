// CComponentManager: the host framework's base of a component's manager.
//
// The host loads a component library, obtains its manager (a singleton of a
// class derived from this one) and drives it once per monitoring profile
// through the virtual operations below, in this slot order: CompRecovery,
// CompCreate, CompDelete, CompStop, CompStart, CompCheck. A component handle
// is an untyped pointer that CompCreate hands to the host and the host passes
// back to every later operation; what it points to is the component's
// business. Results are 1 for success and 0 for failure unless an operation
// says otherwise.
//
// The base keeps no list of handles (each handle belongs to the caller of
// CompCreate), so DeleteAll has nothing of its own to destroy.
//
// Thread-safety is the derived class's: the host calls the operations of one
// profile from one thread at a time.
#pragma once

#include "wbem/interfaces.h"

class CObject;  // the root of the settings classes, defined by the settings library

class CComponentManager {
 public:
  // Public and not virtual: the host destroys a manager through its own class.
  ~CComponentManager() = default;

  CComponentManager(const CComponentManager&) = delete;
  CComponentManager& operator=(const CComponentManager&) = delete;

  // Restarts a component after the repository connection was lost: CompStop
  // (its result is not examined), then CompStart with the new services, whose
  // result is returned.
  virtual int CompRecovery(IWbemServices* services, void* handle);
  // Builds the component of profile `profile` from `settings`; on success
  // stores its handle in `*handle` and returns 1. On failure `*handle` is
  // left as it was.
  virtual int CompCreate(const char* profile, void** handle, CObject* settings) = 0;
  // Destroys a component; an empty handle is accepted.
  virtual int CompDelete(void* handle) = 0;
  virtual int CompStop(void* handle) = 0;
  virtual int CompStart(IWbemServices* services, void* handle) = 0;
  virtual int CompCheck(IWbemServices* services, void* handle) = 0;

  // Destroys what the base tracks (nothing: handles belong to their callers)
  // and returns 1. A derived manager calls it once from its destructor.
  int DeleteAll();

 protected:
  CComponentManager() = default;
};
