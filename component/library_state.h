// The load and unload steps of libActionManager.so, and whether the load
// succeeded.
//
// A function run when a shared library is loaded cannot make the load fail,
// so a failed load is recorded instead: when the settings classes cannot be
// registered (another copy of them is registered already), the library marks
// itself unusable. CActionManagerManager::GetInstance then refuses (null), so
// the host sees the failure at its first call and nothing of the library
// runs; the classes of the other copy stay registered and untouched, also at
// unload.
//
// A program that links the component statically (the tests) never runs these
// steps: the library counts as usable and registers nothing by itself.
//
// Thread-safe: the state is atomic. The steps themselves run once each, while
// the loader holds its lock.
#pragma once

namespace component {

// Logs "Initializing ActionManager.dll" (level 3, "ActionManager"), installs
// the settings' archive observer, which logs "Serialized %d action rules" and
// "De-serialized %d action rules" (level 3) at every store and load, then
// registers the settings classes with `register_classes`. False, and the
// library unusable, when that fails.
bool AttachLibrary(bool (*register_classes)());

// Logs "Terminating ActionManager.dll" (level 3, "ActionManager"), then, if
// the attach registered the classes, unregisters them with
// `unregister_classes`, and removes the archive observer.
void DetachLibrary(void (*unregister_classes)());

// False only after a failed AttachLibrary (until the next successful one).
bool IsLibraryUsable();

}  // namespace component
