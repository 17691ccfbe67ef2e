// AM_EXPORT marks what leaves libActionManager.so.
//
// The library is compiled with hidden visibility, so only classes and
// functions carrying AM_EXPORT are seen by the host and by the agent's
// configuration side. Every exported settings class carries it, and so do the
// types they hand out (archive, exception, object root, lists, maps), because
// an exception or a dynamic_cast across the library boundary needs the type's
// run-time type information to be visible on both sides.
#pragma once

#define AM_EXPORT __attribute__((visibility("default")))
