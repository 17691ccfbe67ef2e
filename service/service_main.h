// The daemon's run, from a configuration file to exit, as the module's entry
// point: actionmanagerd (main.cc) loads libActionManager.so as the agent
// does, gets the manager, then loads this module and calls
// ActionManagerdRun. The module links the library's exported settings
// classes, which the daemon needs to read settings; loading it after the
// library makes it share that one copy.
//
// Signals: the caller blocks SIGTERM, SIGINT and SIGHUP in every thread
// before any thread starts; the run takes them through a signalfd.
//   SIGHUP   re-read the configuration (sd_notify RELOADING=1, then READY=1)
//   SIGTERM  (or SIGINT) stop accepting, finish the event in hand and the
//            queues until stop_seconds, tear the profiles down, exit 0; a
//            second one meanwhile kills the children's process groups.
// sd_notify READY=1 once every profile has started and the listeners are up.
//
// Exit status: 0 after a stop, 1 when the daemon could not start, 3 for an
// invalid configuration.
#pragma once

class CActionManagerManager;

extern "C" __attribute__((visibility("default"))) int ActionManagerdRun(
    const char* config_path, CActionManagerManager* manager);

// The name main.cc looks the entry up by.
inline constexpr char kActionManagerdEntry[] = "ActionManagerdRun";
