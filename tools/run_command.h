// amctl run / amctl demo: one profile of the real library against events.
//
// The run, as the agent's host would do it:
//   1. builds the repository (tools/scenario_world.h) and sets the scenario's
//      environment variables (restored afterwards);
//   2. CompCreate with the settings and CompStart with a services pointer of
//      the namespace, through CActionManagerManager of libActionManager.so,
//      which the tool links and which is therefore loaded before main;
//   3. raises the events one by one through QueryObjectSink, and after each
//      waits until every queued event is delivered before it reports the
//      event;
//   4. CompStop and CompDelete.
//
// What happens is reported line by line, in the order it happens: component
// calls, log lines (the logger's line sink), method calls (the scenario's
// providers), result events (collected by a subscription to
// ZRV_ActionResult and placed where they were indicated) and, after each
// delivery, the result of the component's ProcessEvent. The same input gives
// the same output. With `jsonl` each line is a JSON object:
//   {"type":"component","operation":"CompCreate","result":1}
//   {"type":"log","level":0,"component":"ActionManager","message":"..."}
//   {"type":"method_call","path":"...","method":"Restart","in":{"Reason":"k1"}}
//   {"type":"result_event","properties":{...}}
//   {"type":"event","index":0,"class":"Disk_Full","result":1}
// "result" of an event is null when the event did not reach the component
// (it did not match the profile's subscription).
//
// Not thread-safe: a run installs the process's log line sink and changes
// its environment for its duration; one run at a time per process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

#include "tools/exit_status.h"
#include "tools/shared_readers.h"

namespace tools {

class StopSignals;

struct RunOptions {
  bool jsonl = false;
  // Further events, one JSON object a line, read after the scenario's own
  // until the stream ends; -1 for none. The descriptor is borrowed.
  // `events_name` names the stream in messages ("standard input").
  int events_fd = -1;
  std::string events_name;
  // Stops the run on SIGINT, SIGTERM and SIGHUP; null for none. Borrowed.
  const StopSignals* stop = nullptr;
  // A dry run: the real dispatch and execution limits, but every method call
  // is answered by the repository without its provider and no program is
  // started (see docs/scenario-json.md, "Dry run"). The transcript then also
  // shows the rule each event hit, the limit's decision for each action and
  // each program start that was left out.
  bool dry_run = false;
  // When not null, receives the number of programs the run started.
  std::size_t* program_runs = nullptr;
};

// Runs a scenario already read. `scenario_name` names it in messages.
ExitStatus RunScenario(const Scenario& scenario, const std::string& scenario_name,
                       const RunOptions& options, std::ostream& out, std::ostream& err);

// amctl run SCENARIO.json [--jsonl] [--events -|FILE]; "-" for the scenario
// reads it from standard input (relative paths then start from the current
// folder).
ExitStatus RunCommand(const std::string& scenario_path, bool jsonl, const std::string& events,
                      bool dry_run, std::ostream& out, std::ostream& err);

// amctl demo [--jsonl]: the embedded scenario, with scustom.pl written to a
// temporary folder (removed afterwards) that "ZMO_HALBERD_DIR" points at.
ExitStatus DemoCommand(bool jsonl, std::ostream& out, std::ostream& err);

}  // namespace tools
