// Registration of the settings classes with the process-wide class registry,
// so that CRuntimeClass::FromName can create them by name anywhere in the
// process. The library's load entry calls AmRegisterSettingsClasses and its
// unload entry AmUnregisterSettingsClasses; tests call them in a fixture.
//
// Loading and storing settings do not need the registry: records create the
// classes they name directly.
//
// Thread-safe (the registry takes its own lock), but a register/unregister
// pair is meant to bracket the library's life, not to race.
#pragma once

#include "settings/export.h"

// Registers CParamsList, the four action descriptions, CActionRule,
// CActionManagerSettings and the two list parameters. All or nothing: when
// one of them cannot be registered (a class of the same name is already
// registered), none stays registered and the result is false.
AM_EXPORT bool AmRegisterSettingsClasses();

// Unregisters whichever of those classes are registered by this library.
AM_EXPORT void AmUnregisterSettingsClasses();
