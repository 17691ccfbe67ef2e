// amctl: author and inspect ActionManager settings, run profiles against
// events. The command line is parsed here and nowhere else; each command is a
// function returning an ExitStatus (tools/exit_status.h).
#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <string>

#include "host/trace_utils.h"
#include "tools/exit_status.h"
#include "tools/run_command.h"
#include "tools/settings_commands.h"

namespace {

using tools::ExitStatus;

// Storing and loading log a notice per archive; a converter's user wants them
// only when asking.
void QuietUnless(bool verbose) {
  if (!verbose) CTraceUtils::GetInstance()->SetThreshold(2);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"amctl: author and inspect ActionManager settings, run profiles against events"};
  app.require_subcommand(1);
  app.fallthrough(false);

  CLI::App* settings = app.add_subcommand("settings", "Convert settings between JSON and archives");
  settings->require_subcommand(1);

  std::string json_path;
  std::string out_path;
  std::string archive_path;
  std::int32_t version = tools::kDefaultArchiveVersion;
  bool verbose = false;

  CLI::App* encode = settings->add_subcommand("encode", "Store settings JSON as an archive");
  encode->add_option("SETTINGS.json", json_path, "Settings in JSON")->required();
  encode->add_option("-o,--output", out_path, "Archive to write")->required();
  encode->add_option("--version", version, "Archive version to store with")->capture_default_str();
  encode->add_flag("-v,--verbose", verbose, "Show the library's log notices");

  CLI::App* decode = settings->add_subcommand("decode", "Print an archive's settings as JSON");
  decode->add_option("IN.bin", archive_path, "Archive to read")->required();
  decode->add_option("--version", version, "Archive version it was stored with")
      ->capture_default_str();
  decode->add_flag("-v,--verbose", verbose, "Show the library's log notices");

  std::string scenario_path;
  std::string events;
  bool jsonl = false;
  CLI::App* run = app.add_subcommand("run", "Run a profile of the library against events");
  run->add_option("SCENARIO.json", scenario_path, "Scenario to run")->required();
  run->add_flag("--jsonl", jsonl, "Write one JSON object a line");
  run->add_option("--events", events,
                  "Further events, one JSON object a line, from a file or - for standard input");

  CLI::App* demo = app.add_subcommand("demo", "Run the built-in demo scenario");
  demo->add_flag("--jsonl", jsonl, "Write one JSON object a line");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help is a successful run; anything else is a usage error.
    const int code = app.exit(e, std::cout, std::cerr);
    return code == 0 ? tools::kRan : tools::kUsage;
  }

  ExitStatus status = tools::kUsage;
  if (encode->parsed()) {
    QuietUnless(verbose);
    status = tools::EncodeSettings(json_path, out_path, version, std::cerr);
  } else if (decode->parsed()) {
    QuietUnless(verbose);
    status = tools::DecodeSettings(archive_path, version, std::cout, std::cerr);
  } else if (run->parsed()) {
    status = tools::RunCommand(scenario_path, jsonl, events, std::cout, std::cerr);
  } else if (demo->parsed()) {
    status = tools::DemoCommand(jsonl, std::cout, std::cerr);
  }
  return status;
}
