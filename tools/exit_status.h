// The exit statuses of amctl and how its commands report invalid input.
//
// Every command returns one of these; only main turns it into the process's
// exit status. A message about invalid input names the file and the place:
//   amctl: settings.json: rules[0].actions[1].exec_limit: must be an integer from 0 to 65535
//   amctl: settings.bin: offset 12: a long needs 4 bytes, 2 remain
#pragma once

#include <ostream>
#include <string>

#include "tools/shared_readers.h"

namespace tools {

enum ExitStatus : int {
  kRan = 0,           // the command ran (whatever the actions it ran did)
  kFailed = 1,        // the command could not do its work: an output could not be
                      // written, the library refused a component call
  kUsage = 2,         // the command line is wrong
  kInvalidInput = 3,  // an input file is missing, unreadable or invalid; for the
                      // commands that talk to the daemon, also what the daemon
                      // refused as invalid (400, 413: its place is printed)
  // send, results, status: the daemon could not be reached, or answered 503
  // (a queue or the store full, the store failing, the daemon stopping, too
  // many connections). What it was sent was not taken; later it may be.
  kUnavailable = 4,
  // run and demo, stopped by SIGINT, SIGTERM or SIGHUP: this plus the
  // signal's number (130, 143, 129), as a shell reports a process that the
  // signal ended; the running program's group was killed and the component
  // torn down first.
  kStoppedBySignal = 128,
  // Standard output was closed by its reader (a pipe whose reader ended, as
  // in `amctl demo | head -1`): the run stopped and was torn down, quietly.
  // 128 plus SIGPIPE's number, as a shell reports a process that SIGPIPE
  // ended, so that pipelines see what they would see of other tools.
  kOutputClosed = 141,
};

inline ExitStatus ReportInvalidInput(std::ostream& err, const std::string& file,
                                     const InputError& error) {
  err << "amctl: " << (error.file.empty() ? file : error.file) << ": ";
  if (!error.place.empty()) err << error.place << ": ";
  err << error.message << '\n';
  return kInvalidInput;
}

}  // namespace tools
