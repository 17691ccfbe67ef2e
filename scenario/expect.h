// A scenario's expected outcome (its "expect" block) and the check of a run's
// record against it.
//
//   "expect": {
//     "method_calls":  [{"path": "...", "method": "Cleanup", "in": {"Reason": "C: is full"}}],
//     "result_events": [{"MsgInfo": "...", "return_code": 0}],
//     "process_event": [1, null],
//     "logs":          [{"level": 2, "component": "ActionManager", "text": "..."},
//                       {"regex": "executed with RETCODE: 0"}],
//     "program_runs":  1
//   }
//
// Every key is optional; what is absent is not checked. Matching:
//   - method_calls, result_events: one expected entry per actual one, in
//     order (the counts must agree); each entry is a subset match: every
//     field it names must equal the actual one (for "in", every named
//     in-parameter), fields it leaves out are not compared;
//   - process_event: exactly, in order (null: the event did not reach the
//     profile);
//   - logs: each expected line is found in order among the run's log lines,
//     other lines in between are allowed; "text" equals the whole message,
//     "regex" (ECMAScript) is searched in it; "level" and "component", when
//     given, must equal;
//   - program_runs: exactly the number of programs the run started.
//
// Reading never throws; checking is a pure function of the record.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "scenario/json_input.h"

namespace scenario {

struct ExpectedLog {
  std::optional<std::int64_t> level;
  std::optional<std::string> component;
  std::optional<std::string> text;
  std::optional<std::string> regex_text;
  std::optional<std::regex> regex;
};

struct Expectations {
  std::optional<std::vector<Json>> method_calls;
  std::optional<std::vector<Json>> result_events;
  std::optional<std::vector<Json>> process_event;  // integers or null
  std::optional<std::vector<ExpectedLog>> logs;
  std::optional<std::int64_t> program_runs;
};

// Reads the "expect" value at `path`; the first problem goes to `problems`.
Expectations ReadExpectations(Problems& problems, const Json& value, const std::string& path);

// What a run did, as its JSON transcript lines show it.
struct RunRecord {
  std::vector<Json> method_calls;   // {"path", "method", "in"}
  std::vector<Json> result_events;  // the properties of each
  std::vector<Json> process_event;  // each event's result
  std::vector<Json> logs;           // {"level", "component", "message"}
  std::size_t program_runs = 0;
};

// Sorts transcript lines ({"type": ...}) into a record; other lines are left out.
void AddToRecord(const Json& line, RunRecord* record);

// One line per unmet expectation, naming the entry, e.g.
// `result_events[1].MsgInfo: expected "ok", got "failed"`; empty when all are met.
std::vector<std::string> CheckExpectations(const Expectations& expect, const RunRecord& record);

}  // namespace scenario
