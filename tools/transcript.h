// The record of a run, line by line in the order things happen, printed as a
// readable transcript or as JSON lines (see tools/run_command.h).
//
// Lines may be added from any thread (log lines and method calls come from
// the delivery thread); each is kept whole and in the order of the calls.
// A result event is added as a slot when it is indicated and filled later
// with the object a subscriber received, so that its line sits where the
// event happened although delivery is asynchronous. Flush prints what is
// recorded so far; call it only when no delivery is running (after the
// repository is idle), so that no slot is still waiting.
#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "tools/shared_readers.h"
#include "wbem/com_ptr.h"

namespace tools {

class Transcript {
 public:
  Transcript(bool jsonl, std::ostream& out) : jsonl_(jsonl), out_(out) {}

  // A dry run's record: method calls are marked "called": false, result
  // events "sent": false, and the dispatch and program lines below appear.
  void SetDryRun() { dry_run_ = true; }

  void Component(const char* operation, int result);
  void Log(int level, const std::string& component, const std::string& message);
  void MethodCall(const std::string& path, const std::string& method, Json in);
  // `indicated` is the object as indicated, used if no delivered copy comes.
  void ResultEventIndicated(wbem::ComPtr<IWbemClassObject> indicated);
  // Fills the open slots, oldest first, with the objects delivered since the
  // last call.
  void ResultEventsDelivered(const std::vector<wbem::ComPtr<IWbemClassObject>>& delivered);
  // Dispatch as the component decided it (dry run): the rule an event hit,
  // then each action with the limit's decision ("runs", "held_back",
  // "task_not_run").
  void Rule(std::size_t event, const std::string& rule, const std::string& event_id, int executed,
            int actions);
  void Action(std::size_t event, const std::string& name, const std::string& kind, int exec_limit,
              const char* decision);
  // A program the component would start (dry run): its command line, argument
  // vector, working directory and the variables that differ from the tool's
  // own environment (null for one the child would lack).
  void ProgramStart(const std::string& command_line, Json arguments, const std::string& directory,
                    Json environment);
  // `result` is null when the event did not reach the component.
  void Event(std::size_t index, const std::string& class_name, const Json& result);
  // A line of the tool's own, for the readable transcript only.
  void Note(const std::string& text);
  // The run was stopped by `signal` ("SIGINT") after `events` events.
  void Stopped(const std::string& signal, std::size_t events);

  // Prints every line recorded so far. False when the output failed, now or
  // before: once a write has failed nothing more is written.
  bool Flush();
  // The system error of the first failed write (EPIPE, ENOSPC...), or 0.
  int write_error() const { return write_error_; }

 private:
  struct Line {
    Json json;                               // null for a note
    std::string note;                        // the note's text
    wbem::ComPtr<IWbemClassObject> pending;  // a result event slot
  };

  void Add(Line line);
  std::string Readable(const Json& line) const;

  const bool jsonl_;
  bool dry_run_ = false;
  std::ostream& out_;
  std::mutex mu_;
  std::vector<Line> lines_;  // recorded, not yet printed
  int write_error_ = 0;      // only the flushing thread touches it
};

}  // namespace tools
