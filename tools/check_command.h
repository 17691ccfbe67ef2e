// amctl check FILE... [--version N] [--strict] [--format text|json|sarif]
//
// Checks settings JSON, settings archives, scenarios and actionmanagerd's
// configuration without running or writing anything, and reports each
// problem with a stable code (tools/lint.h; docs/lint.md lists them).
//
// What a file is: a file whose first byte that is not blank is neither "{"
// nor "[", or that holds a NUL byte among its first four, is a settings
// archive (read with `version`); other files are JSON.
// A JSON object with "profiles" is a service configuration, one with any of a
// scenario's own fields ("profile", "events", "classes", "instances",
// "settings", "settings_archive", ...) a scenario, anything else settings.
//
// Output (on `out`):
//   text   one line per finding, "FILE:PLACE: CODE: message" ("FILE: CODE:
//          message" when the whole file is concerned); a count on `err`
//          when there are findings;
//   json   one array of {file, place, line, column, code, severity, message},
//          line and column where the place stands in the file's JSON text
//          (PlaceFieldPaths), null in an archive or without a place;
//   sarif  one SARIF 2.1.0 log: the code table as the driver's rules, each
//          finding a result with its line and column or its archive offset,
//          and its field path as a logical location.
//
// Exit status: 1 when a finding is an error (or, with `strict`, a warning),
// else 0; 1 also when the output cannot be written.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tools/lint.h"
#include "tools/exit_status.h"

namespace tools {

enum class CheckFormat { kText, kJson, kSarif };

struct CheckOptions {
  std::int32_t version = kDefaultArchiveVersion;
  bool strict = false;
  CheckFormat format = CheckFormat::kText;
};

// The findings of one file ("-": standard input).
Findings CheckFile(const std::string& path, std::int32_t version);

// The findings as the JSON array and as the SARIF log described above.
Json FindingsToJson(const Findings& findings);
Json FindingsToSarif(const Findings& findings);

ExitStatus CheckCommand(const std::vector<std::string>& files, const CheckOptions& options,
                        std::ostream& out, std::ostream& err);

}  // namespace tools
