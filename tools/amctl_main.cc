// amctl: author and inspect ActionManager settings, run profiles against
// events. The command line is parsed here and nowhere else; each command is a
// function returning an ExitStatus (tools/exit_status.h).
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "tools/check_command.h"
#include "tools/daemon_commands.h"
#include "tools/embedded.h"
#include "tools/exit_status.h"
#include "tools/log_control.h"
#include "tools/run_command.h"
#include "tools/settings_commands.h"
#include "tools/test_command.h"

namespace {

using tools::ExitStatus;

// Log levels shown on standard error: failures, per-event detail and
// programs' outcomes always; the library's notices (its load and unload,
// archive notices) only when asked for.
constexpr int kQuietLogLevel = 2;
constexpr int kVerboseLogLevel = 3;

// The first argument that is not an option, for the names a command level
// takes; empty when every argument is an option.
std::string_view FirstWord(int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    if (argv[i][0] != '-' || std::strcmp(argv[i], "-") == 0) return argv[i];
  }
  return {};
}

// CLI11 reports a word that names no subcommand as an extra argument, or as
// a missing subcommand; name it instead. Returns false after reporting.
bool CommandsAreKnown(int argc, char** argv) {
  const std::string_view command = FirstWord(argc, argv, 1);
  if (command.empty() || command == "run" || command == "demo" || command == "explain" ||
      command == "test" || command == "check" || command == "schema" || command == "send" ||
      command == "results" || command == "status") {
    return true;
  }
  std::string_view unknown = command;
  const char* known = "settings, run, explain, test, demo, check, schema, send, results, status";
  if (command == "settings") {
    int at = 1;
    while (at < argc && argv[at] != command) ++at;
    const std::string_view sub = FirstWord(argc, argv, at + 1);
    if (sub.empty() || sub == "encode" || sub == "decode") return true;
    unknown = sub;
    known = "settings encode, settings decode";
  }
  std::cerr << "amctl: unknown command \"" << unknown << "\" (commands: " << known
            << "; see amctl --help)\n";
  return false;
}

// Which of the standard streams the process was started without.
struct ClosedStreams {
  bool input = false;
  bool output = false;
};

// A closed standard stream gets /dev/null, so that no file the process opens
// later (an archive, a pipe to a program) takes its number and receives what
// was meant for the stream; the caller is told, to refuse to use it.
ClosedStreams OccupyClosedStreams() {
  ClosedStreams closed;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
    if (fd == 0) closed.input = true;
    if (fd == 1) closed.output = true;
  }
  return closed;
}

// amctl schema NAME: one of the JSON Schemas of docs/schema/, as built in.
ExitStatus PrintSchema(const std::string& name) {
  struct Schema {
    const char* name;
    const char* text;
    std::size_t size;
  };
  const Schema schemas[] = {
      {"settings", tools::embedded::kSettingsSchema, tools::embedded::kSettingsSchemaSize},
      {"scenario", tools::embedded::kScenarioSchema, tools::embedded::kScenarioSchemaSize},
      {"service", tools::embedded::kServiceSchema, tools::embedded::kServiceSchemaSize},
  };
  for (const Schema& schema : schemas) {
    if (name != schema.name) continue;
    errno = 0;
    std::cout.write(schema.text, static_cast<std::streamsize>(schema.size));
    std::cout.flush();
    if (std::cout) return tools::kRan;
    const int error = errno != 0 ? errno : EIO;
    if (error == EPIPE) return tools::kOutputClosed;
    std::cerr << "amctl: cannot write the schema to standard output: " << std::strerror(error)
              << '\n';
    return tools::kFailed;
  }
  std::cerr << "amctl: no schema \"" << name << "\" (schemas: settings, scenario, service)\n";
  return tools::kUsage;
}

}  // namespace

int main(int argc, char** argv) {
  const ClosedStreams closed = OccupyClosedStreams();
  // A closed pipe shows as EPIPE on the write, which the commands report;
  // programs that actions run get default dispositions back.
  ::signal(SIGPIPE, SIG_IGN);

  CLI::App app{"amctl: author and inspect ActionManager settings, run profiles against events"};
  app.require_subcommand(1);
  app.fallthrough(false);
  app.set_version_flag("--version", "amctl " AM_VERSION " (settings archives, versions " +
                                        std::to_string(tools::kMinArchiveVersion) + " to " +
                                        std::to_string(tools::kMaxArchiveVersion) + ")");

  CLI::App* settings = app.add_subcommand("settings", "Convert settings between JSON and archives");
  settings->require_subcommand(1);

  std::string json_path;
  std::string out_path;
  std::string archive_path;
  std::int32_t version = tools::kDefaultArchiveVersion;
  bool verbose = false;
  bool strict = false;
  const auto versions = CLI::Range(tools::kMinArchiveVersion, tools::kMaxArchiveVersion);
  const char* verbose_help = "Also show the library's notices (log level 3) on standard error";

  CLI::App* encode = settings->add_subcommand("encode", "Store settings JSON as an archive");
  encode->add_option("SETTINGS.json", json_path, "Settings in JSON, - for standard input")
      ->required();
  encode->add_option("-o,--output", out_path, "Archive to write, - for standard output")
      ->required();
  encode->add_option("--version", version, "Archive version to store with")
      ->capture_default_str()
      ->check(versions);
  encode->add_flag("-v,--verbose", verbose, verbose_help);

  CLI::App* decode = settings->add_subcommand("decode", "Print an archive's settings as JSON");
  decode->add_option("IN.bin", archive_path, "Archive to read, - for standard input")->required();
  decode->add_option("--version", version, "Archive version it was stored with")
      ->capture_default_str()
      ->check(versions);
  decode->add_flag("--strict", strict,
                   "Refuse an archive with an action of unknown class instead of leaving it out");
  decode->add_flag("-v,--verbose", verbose, verbose_help);

  std::string scenario_path;
  std::string events;
  bool jsonl = false;
  CLI::App* run = app.add_subcommand("run", "Run a profile of the library against events");
  run->add_option("SCENARIO.json", scenario_path, "Scenario to run, - for standard input")
      ->required();
  run->add_flag("--jsonl", jsonl, "Write one JSON object a line");
  run->add_option("--events", events,
                  "Further events, one JSON object a line, from a file or - for standard input");
  bool dry_run = false;
  run->add_flag("--dry-run", dry_run,
                "Run the real dispatch and execution limits, but call no method and start no "
                "program; show what each action would do");
  run->add_flag("-v,--verbose", verbose, verbose_help);

  CLI::App* explain =
      app.add_subcommand("explain", "Show what a scenario's events would do (amctl run --dry-run)");
  explain->add_option("SCENARIO.json", scenario_path, "Scenario to explain, - for standard input")
      ->required();
  explain->add_flag("--jsonl", jsonl, "Write one JSON object a line");
  explain->add_option(
      "--events", events,
      "Further events, one JSON object a line, from a file or - for standard input");
  explain->add_flag("-v,--verbose", verbose, verbose_help);

  std::vector<std::string> test_scenarios;
  std::string junit;
  CLI::App* test =
      app.add_subcommand("test", "Run scenarios and check each against its expect block");
  test->add_option("SCENARIO.json", test_scenarios, "Scenarios to run and check")->required();
  test->add_option("--junit", junit, "Also write the results as JUnit XML to this file");
  test->add_flag("-v,--verbose", verbose,
                 "Show the transcript of a failing scenario and the library's notices");

  CLI::App* demo = app.add_subcommand("demo", "Run the built-in demo scenario");
  demo->add_flag("--jsonl", jsonl, "Write one JSON object a line");
  demo->add_flag("-v,--verbose", verbose, verbose_help);

  std::vector<std::string> check_files;
  std::string format = "text";
  CLI::App* check = app.add_subcommand(
      "check", "Check settings, archives, scenarios and service configurations; writes nothing");
  check->add_option("FILE", check_files, "Files to check, - for standard input")->required();
  check->add_option("--version", version, "Archive version of settings archives")
      ->capture_default_str()
      ->check(versions);
  check->add_flag("--strict", strict, "Fail (exit 1) on warnings too");
  check->add_option("--format", format, "Output: text, json or sarif")
      ->capture_default_str()
      ->check(CLI::IsMember({"text", "json", "sarif"}));

  std::string schema_name;
  CLI::App* schema =
      app.add_subcommand("schema", "Print the JSON Schema of settings, scenarios or the service");
  schema->add_option("NAME", schema_name, "settings, scenario or service")->required();

  // The commands that talk to a running daemon share how they reach it.
  tools::DaemonTarget target;
  const auto add_target = [&target](CLI::App* command, bool socket) {
    CLI::Option* url = command->add_option(
        "--url", target.url, "The daemon's HTTP listener (default " + tools::DefaultDaemonUrl() + ")");
    if (socket) {
      command->add_option("--socket", target.socket, "The daemon's Unix socket instead of --url")
          ->excludes(url);
    }
    command->add_option("--token-file", target.token_file,
                        "The bearer token's file (the daemon's token_file or read_token_file)");
    command->add_option("--ca-file", target.ca_file,
                        "https: the certificates to trust instead of the system's");
  };
  std::vector<std::string> send_files;
  bool wait = false;
  CLI::App* send = app.add_subcommand("send", "Send events to a running actionmanagerd");
  send->add_option("FILE", send_files,
                   "Events as POST /v1/events takes them; - or none for standard input");
  send->add_flag("--wait", wait, "Wait until the events are processed and show their outcomes");
  add_target(send, true);

  tools::ResultsOptions results_options;
  CLI::App* results =
      app.add_subcommand("results", "Show the history of a running actionmanagerd, newest first");
  CLI::Option* follow = results->add_flag(
      "--follow", results_options.follow, "Show results as they happen, until SIGINT or SIGTERM");
  for (const auto& [name, field, help] :
       {std::tuple{"--profile", &results_options.profile, "Only this profile's rows"},
        std::tuple{"--event-id", &results_options.event_id, "Only this EventId's rows"},
        std::tuple{"--since", &results_options.since,
                   "From this time on (Unix seconds or 2026-12-07T06:00:00Z)"},
        std::tuple{"--until", &results_options.until, "Before this time"}}) {
    results->add_option(name, *field, help)->excludes(follow);
  }
  results->add_option("--limit", results_options.limit, "Rows per page (1 to 1000; default 100)")
      ->check(CLI::Range(1, 1000))
      ->excludes(follow);
  results->add_flag("--all", results_options.all, "Every page, not only the first")
      ->excludes(follow);
  results->add_flag("--json", results_options.json, "Write one JSON object a line");
  add_target(results, false);

  std::string status_event_id;
  bool status_json = false;
  CLI::App* status_command = app.add_subcommand(
      "status", "Show a running actionmanagerd's profiles, queues and state store");
  status_command->add_option("--event-id", status_event_id,
                             "Also show this EventId's execution counters");
  status_command->add_flag("--json", status_json, "Write the answer as one JSON object");
  add_target(status_command, false);

  if (!CommandsAreKnown(argc, argv)) {
    tools::ShowLogLinesUpTo(kQuietLogLevel);
    return tools::kUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    tools::ShowLogLinesUpTo(kQuietLogLevel);
    // Help and the version are a successful run; anything else is a usage error.
    const int code = app.exit(e, std::cout, std::cerr);
    return code == 0 ? tools::kRan : tools::kUsage;
  }
  tools::ShowLogLinesUpTo(verbose ? kVerboseLogLevel : kQuietLogLevel);

  const bool writes_output = decode->parsed() || run->parsed() || explain->parsed() ||
                             test->parsed() || demo->parsed() || check->parsed() ||
                             schema->parsed() || send->parsed() || results->parsed() ||
                             status_command->parsed() || (encode->parsed() && out_path == "-");
  if (closed.output && writes_output) {
    std::cerr << "amctl: cannot write to standard output: it is closed\n";
    return tools::kFailed;
  }
  const bool check_reads_input =
      check->parsed() &&
      std::find(check_files.begin(), check_files.end(), "-") != check_files.end();
  const bool reads_input =
      (encode->parsed() && json_path == "-") || (decode->parsed() && archive_path == "-") ||
      ((run->parsed() || explain->parsed()) && (scenario_path == "-" || events == "-")) ||
      check_reads_input ||
      (send->parsed() && (send_files.empty() ||
                          std::find(send_files.begin(), send_files.end(), "-") != send_files.end()));
  if (closed.input && reads_input) {
    std::cerr << "amctl: standard input: cannot read: it is closed\n";
    return tools::kInvalidInput;
  }

  ExitStatus status = tools::kUsage;
  if (encode->parsed()) {
    status = tools::EncodeSettings(json_path, out_path, version, std::cerr);
  } else if (decode->parsed()) {
    status = tools::DecodeSettings(archive_path, version, strict, std::cout, std::cerr);
  } else if (run->parsed()) {
    status = tools::RunCommand(scenario_path, jsonl, events, dry_run, std::cout, std::cerr);
  } else if (explain->parsed()) {
    status = tools::RunCommand(scenario_path, jsonl, events, true, std::cout, std::cerr);
  } else if (test->parsed()) {
    status = tools::TestCommand(test_scenarios, junit, verbose, std::cout, std::cerr);
  } else if (demo->parsed()) {
    status = tools::DemoCommand(jsonl, std::cout, std::cerr);
  } else if (check->parsed()) {
    tools::CheckOptions options;
    options.version = version;
    options.strict = strict;
    options.format = format == "json"    ? tools::CheckFormat::kJson
                     : format == "sarif" ? tools::CheckFormat::kSarif
                                         : tools::CheckFormat::kText;
    status = tools::CheckCommand(check_files, options, std::cout, std::cerr);
  } else if (schema->parsed()) {
    status = PrintSchema(schema_name);
  } else if (send->parsed()) {
    status = tools::SendCommand(target, send_files, wait, std::cout, std::cerr);
  } else if (results->parsed()) {
    status = tools::ResultsCommand(target, results_options, std::cout, std::cerr);
  } else if (status_command->parsed()) {
    status = tools::StatusCommand(target, status_event_id, status_json, std::cout, std::cerr);
  }
  return status;
}
