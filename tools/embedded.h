// Files built into amctl so that the demo needs nothing from the disk: the
// demo scenario (tools/demo/demo_scenario.json) and the program wrapper
// (examples/scustom.pl); and the JSON Schemas of docs/schema/ that `amctl
// schema` prints. Copied in at build time by tools/embed_files.cmake.
// Each array holds the file's bytes followed by a NUL that the size leaves out.
#pragma once

#include <cstddef>

namespace tools::embedded {

extern const char kDemoScenario[];
extern const std::size_t kDemoScenarioSize;
extern const char kScustomPl[];
extern const std::size_t kScustomPlSize;
extern const char kSettingsSchema[];
extern const std::size_t kSettingsSchemaSize;
extern const char kScenarioSchema[];
extern const std::size_t kScenarioSchemaSize;
extern const char kServiceSchema[];
extern const std::size_t kServiceSchemaSize;

}  // namespace tools::embedded
