// amctl test SCENARIO... [--junit FILE] [-v]: runs each scenario for real and
// checks the run against the scenario's "expect" block (scenario/expect.h).
//
// For each scenario one line, "PASS FILE" or "FAIL FILE", and under a
// failure one indented line per unmet expectation; then a summary line. With
// `verbose`, a failing scenario's whole JSON transcript follows its diff.
// A scenario without an "expect" block fails: it states nothing to check.
// A scenario that cannot be read is reported on `err` as invalid input and
// counted as an error; the others still run.
//
// Exit status: 0 when every scenario passed, 1 when one failed (or its run
// could not be done, or the JUnit file could not be written), 3 when one was
// invalid input (this wins over 1). `junit` (when not empty) receives JUnit
// XML: one testsuite for the run, one testcase per scenario, a failure
// element with the diff, an error element for invalid input.
//
// Not thread-safe: the runs change the process's environment and log sink.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/exit_status.h"

namespace tools {

ExitStatus TestCommand(const std::vector<std::string>& scenarios, const std::string& junit,
                       bool verbose, std::ostream& out, std::ostream& err);

// `text` escaped for XML character data and attribute values; characters XML
// 1.0 cannot carry become U+FFFD.
std::string XmlEscape(const std::string& text);

}  // namespace tools
