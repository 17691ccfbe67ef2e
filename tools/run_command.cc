#include "tools/run_command.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "component/action_manager_manager.h"
#include "component/dispatch_observer.h"
#include "host/trace_utils.h"
#include "repository/sinks.h"
#include "runner/process_start_hook.h"
#include "settings/action_info.h"
#include "tools/embedded.h"
#include "tools/settings_commands.h"
#include "tools/shared_readers.h"
#include "tools/stop_signals.h"
#include "tools/transcript.h"

namespace tools {
namespace {

// A program action may run for two minutes before the runner gives up on
// it, and an event's rule runs all its actions in one delivery.
constexpr auto kDeliveryTimeout = std::chrono::minutes(30);

// Sets variables for the run and puts back what was there before.
class EnvironmentOverride {
 public:
  explicit EnvironmentOverride(const std::vector<std::pair<std::string, std::string>>& variables) {
    for (const auto& [name, value] : variables) {
      const char* old = ::getenv(name.c_str());
      saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::setenv(name.c_str(), value.c_str(), 1);
    }
  }
  EnvironmentOverride(const EnvironmentOverride&) = delete;
  EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;
  ~EnvironmentOverride() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        ::setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Sends every line of the logger, whatever its level, into the transcript
// for as long as it lives: the transcript is the run's whole record.
class LogCapture {
 public:
  explicit LogCapture(Transcript& transcript)
      : threshold_(CTraceUtils::GetInstance()->GetThreshold()) {
    CTraceUtils::GetInstance()->SetLineSink(
        [&transcript](int level, const std::string& component, const std::string& message) {
          transcript.Log(level, component, message);
        });
    CTraceUtils::GetInstance()->SetThreshold(3);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    CTraceUtils::GetInstance()->SetLineSink({});
    CTraceUtils::GetInstance()->SetThreshold(threshold_);
  }

 private:
  const int threshold_;
};

// What a program start answers in a dry run: the output of a child that ran
// and succeeded, so that the action's result is a successful run's.
constexpr const char* kDryRunOutput = "(dry run: not started)";

// The variables of `child` (NAME=VALUE entries) that differ from the tool's
// own environment: new or changed ones with their value, removed ones null.
Json EnvironmentChanges(const std::vector<std::string>& child) {
  std::map<std::string, std::string> own;
  for (char** entry = ::environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals != std::string_view::npos) {
      own.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
  }
  std::map<std::string, Json> changes;
  for (const std::string& entry : child) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    std::string name = entry.substr(0, equals);
    std::string value = entry.substr(equals + 1);
    const auto it = own.find(name);
    if (it != own.end()) {
      const bool same = it->second == value;
      own.erase(it);
      if (same) continue;
    }
    changes[std::move(name)] = TextValue(value);
  }
  for (const auto& [name, value] : own) changes[name] = nullptr;
  Json json = Json::object();
  for (auto& [name, value] : changes) json[name] = std::move(value);
  return json;
}

// Sees every program start while it lives (runner/process_start_hook.h):
// counts the real ones, or, in a dry run, records each one in the
// transcript and answers it without starting anything.
class ProcessStartWatch {
 public:
  ProcessStartWatch(Transcript& transcript, bool dry_run) {
    AmSetProcessStartHook(
        [this, &transcript, dry_run](const AmProcessStart& start) -> std::optional<std::string> {
          if (!dry_run) {
            runs_.fetch_add(1, std::memory_order_relaxed);
            return std::nullopt;
          }
          Json arguments = Json::array();
          for (const std::string& argument : start.arguments)
            arguments.push_back(TextValue(argument));
          transcript.ProgramStart(start.command_line, std::move(arguments), start.directory,
                                  EnvironmentChanges(start.environment));
          return std::string(kDryRunOutput);
        });
  }
  ProcessStartWatch(const ProcessStartWatch&) = delete;
  ProcessStartWatch& operator=(const ProcessStartWatch&) = delete;
  ~ProcessStartWatch() { AmSetProcessStartHook({}); }

  std::size_t runs() const { return runs_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> runs_{0};
};

// Writes the component's dispatch decisions into the transcript while it
// lives (component/dispatch_observer.h), naming each action as the settings
// do: the executors follow the rule's enumeration order.
class DispatchWatch {
 public:
  DispatchWatch(Transcript& transcript, const CActionManagerSettings& settings,
                const std::atomic<std::size_t>& event)
      : settings_(SettingsToJson(settings)) {
    AmSetDispatchObserver([this, &transcript, &event](const AmDispatchStep& step) {
      const std::size_t index = event.load();
      if (step.action < 0) {
        transcript.Rule(index, step.rule, step.event_id, step.executed, step.actions);
        return;
      }
      const Json* action = FindAction(step.rule, static_cast<std::size_t>(step.action));
      const char* decision = step.decision == AmActionDecision::kRuns       ? "runs"
                             : step.decision == AmActionDecision::kHeldBack ? "held_back"
                                                                            : "task_not_run";
      transcript.Action(index,
                        action != nullptr ? action->value("name", std::string()) : std::string(),
                        action != nullptr ? action->value("kind", std::string()) : std::string(),
                        step.exec_limit, decision);
    });
  }
  DispatchWatch(const DispatchWatch&) = delete;
  DispatchWatch& operator=(const DispatchWatch&) = delete;
  ~DispatchWatch() { AmSetDispatchObserver({}); }

 private:
  const Json* FindAction(const std::string& rule, std::size_t index) const {
    for (const Json& candidate : settings_["rules"]) {
      if (base::AsciiLowered(candidate.value("event", std::string())) != rule) continue;
      const Json& actions = candidate["actions"];
      return index < actions.size() ? &actions[index] : nullptr;
    }
    return nullptr;
  }

  const Json settings_;
};

// The results of ProcessEvent since the last Take.
class ProcessedResults {
 public:
  void Add(int result) {
    std::lock_guard<std::mutex> lock(mu_);
    results_.push_back(result);
  }
  std::vector<int> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(results_, {});
  }

 private:
  std::mutex mu_;
  std::vector<int> results_;
};

// Reads the next event line of `reader`; false at the end of the stream or
// on a bad line (then `*error` is set, its place starting with the line).
// `*where` is "line N", to prefix the places of later problems with.
bool NextStreamEvent(LineReader& reader, std::size_t* line_number, ScenarioObject* event,
                     std::string* where, InputError* error) {
  std::string line;
  std::string why;
  for (;;) {
    const LineReader::Result got = reader.Next(&line, &why);
    if (got == LineReader::kEnd || got == LineReader::kCancelled) {
      error->message.clear();
      return false;
    }
    ++*line_number;
    *where = "line " + std::to_string(*line_number);
    if (got == LineReader::kError) {
      *error = {*where, "cannot read: " + why, {}};
      return false;
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json json;
    if (!ParseJson(line, &json, error)) {
      // The parser counts within the line; name the stream's line instead.
      const std::size_t column = error->place.find(", column");
      error->place = *where + (column == std::string::npos ? "" : error->place.substr(column));
      return false;
    }
    if (!ReadEvent(json, "", event, error)) {
      error->place = *where + (error->place.empty() ? "" : ": " + error->place);
      return false;
    }
    return true;
  }
}

class Run {
 public:
  Run(const Scenario& scenario, const std::string& scenario_name, Transcript& transcript)
      : scenario_(scenario),
        scenario_name_(scenario_name),
        transcript_(transcript),
        world_(scenario.ns) {}

  // Builds the world and checks that every event of the scenario converts;
  // invalid input only. The instances are made again, one at a time, when
  // raised: held all at once they would cost many times the scenario's size.
  bool Prepare(bool dry_run, InputError* error) {
    dry_run_ = dry_run;
    const MethodCallObserver observer = [this](const repository::MethodCall& call) {
      transcript_.MethodCall(call.path, call.method, PropertiesToJson(call.in, false));
    };
    if (!BuildWorld(scenario_, world_, observer, error)) return false;
    // A dry run's calls are answered by the repository itself, never by the
    // scenario's providers: the record is the same, the provider never runs.
    if (dry_run) world_.repository().RecordCallsOnly(observer);
    for (const ScenarioObject& event : scenario_.events) {
      wbem::ComPtr<IWbemClassObject> instance;
      if (!MakeInstance(world_.ns(), event, &scenario_.profile, &instance, error)) return false;
    }
    return true;
  }

  // Runs the profile; events of `stream` follow the scenario's. Returns the
  // exit status; invalid stream input and failures are reported to `err`.
  // With `stop`, a stop signal ends the raising of events (see
  // tools/stop_signals.h); the component is torn down all the same.
  ExitStatus Execute(int stream, const std::string& stream_name, const StopSignals* stop,
                     std::ostream& err) {
    stop_ = stop;
    // What is already written (the readable description) must go out before
    // anything runs, so that an output that takes nothing runs nothing.
    if (!transcript_.Flush()) return ReportOutputFailure(err);
    if (world_.CollectResults() != WBEM_S_NO_ERROR) {
      transcript_.Note("(no ZRV_ActionResult class: result events are not collected)");
    }
    services_ = ObservingServices::Create(
        world_.ns().Services(),
        [this](IWbemClassObject* object) {
          wbem::ComPtr<IWbemClassObject> copy;
          if (object->Clone(copy.Out()) != WBEM_S_NO_ERROR) copy = wbem::ComPtr(object);
          transcript_.ResultEventIndicated(std::move(copy));
        },
        [this](int result) { processed_.Add(result); });
    // A dry run's result events are recorded where they are indicated and
    // go no further: no subscriber of the namespace receives them.
    if (dry_run_) services_->HoldIndications();
    if (world_.ns().Services()->QueryObjectSink(0, raise_.Out()) != WBEM_S_NO_ERROR) {
      err << "amctl: the repository gives no sink to raise events with\n";
      return kFailed;
    }

    CActionManagerManager* manager = CActionManagerManager::GetInstance();
    if (manager == nullptr) {
      transcript_.Flush();
      err << "amctl: libActionManager.so refused to start (see its log above)\n";
      return kFailed;
    }
    const ProcessStartWatch programs(transcript_, dry_run_);
    std::optional<DispatchWatch> dispatch;
    if (dry_run_) dispatch.emplace(transcript_, *scenario_.settings, current_event_);
    void* handle = nullptr;
    const int created =
        manager->CompCreate(scenario_.profile.c_str(), &handle, scenario_.settings.get());
    transcript_.Component("CompCreate", created);
    ExitStatus status = kRan;
    const char* refused = nullptr;
    if (created == 0) {
      status = kFailed;
      refused = "CompCreate";
    } else {
      const int started = manager->CompStart(services_.get(), handle);
      transcript_.Component("CompStart", started);
      if (started == 0) {
        status = kFailed;
        refused = "CompStart";
      } else if (transcript_.Flush()) {
        // Events are raised only while the transcript can be written.
        status = RaiseAll(stream, stream_name, err);
      }
      transcript_.Component("CompStop", manager->CompStop(handle));
      transcript_.Component("CompDelete", manager->CompDelete(handle));
    }
    // The host owns the manager; it goes with the run so that nothing of the
    // library outlives it.
    delete manager;
    program_runs_ = programs.runs();
    world_.StopCollecting();
    if (!world_.WaitIdle(kDeliveryTimeout)) status = kFailed;
    const int signal = stop_ != nullptr ? stop_->signal() : 0;
    if (signal != 0) transcript_.Stopped(StopSignals::SignalName(signal), raised_);
    transcript_.Flush();
    if (refused != nullptr) {
      err << "amctl: " << refused << " returned 0 for profile "
          << Json(scenario_.profile).dump(-1, ' ', false, Json::error_handler_t::replace)
          << ": the component did not run (its log says why)\n";
    }
    if (signal != 0) {
      // The program groups still alive are killed when `stop` goes; the
      // count so far tells the user whether one was running.
      err << "amctl: stopped by " << StopSignals::SignalName(signal) << " after " << raised_
          << (raised_ == 1 ? " event" : " events") << "; process groups of running programs "
          << "killed: " << stop_->killed_groups() << "; the component was stopped and deleted\n";
      return static_cast<ExitStatus>(kStoppedBySignal + signal);
    }
    if (transcript_.write_error() != 0) return ReportOutputFailure(err);
    return status;
  }

  std::size_t program_runs() const { return program_runs_; }

 private:
  bool Stopping() const {
    return (stop_ != nullptr && stop_->signal() != 0) || transcript_.write_error() != 0;
  }

  // A reader that stopped reading ends the run quietly; any other failure
  // to write is said.
  ExitStatus ReportOutputFailure(std::ostream& err) const {
    const int error = transcript_.write_error();
    if (error == EPIPE) return kOutputClosed;
    err << "amctl: cannot write the transcript to standard output: " << std::strerror(error)
        << '\n';
    return kFailed;
  }

  ExitStatus RaiseAll(int stream, const std::string& stream_name, std::ostream& err) {
    const std::vector<ScenarioObject>& events = scenario_.events;
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (Stopping()) return kRan;
      wbem::ComPtr<IWbemClassObject> instance;
      InputError error;
      // Prepare converted it once: the repository cannot refuse it now.
      if (!MakeInstance(world_.ns(), events[i], &scenario_.profile, &instance, &error)) {
        transcript_.Flush();
        return ReportInvalidInput(err, scenario_name_, error);
      }
      if (!Raise(i, events[i].class_name, instance)) return kFailed;
    }
    if (stream < 0) return kRan;
    LineReader reader(stream, stop_ != nullptr ? stop_->cancel_fd() : -1);
    std::size_t line = 0;
    for (std::size_t index = events.size();; ++index) {
      if (Stopping()) return kRan;
      ScenarioObject event;
      std::string where;
      InputError error;
      wbem::ComPtr<IWbemClassObject> instance;
      if (!NextStreamEvent(reader, &line, &event, &where, &error)) {
        if (error.message.empty()) return kRan;
        transcript_.Flush();
        return ReportInvalidInput(err, stream_name, error);
      }
      if (!MakeInstance(world_.ns(), event, &scenario_.profile, &instance, &error)) {
        error.place = where + ": " + error.place;
        transcript_.Flush();
        return ReportInvalidInput(err, stream_name, error);
      }
      if (!Raise(index, event.class_name, instance)) return kFailed;
    }
  }

  // False when the delivery did not end in time.
  bool Raise(std::size_t index, const std::string& class_name,
             const wbem::ComPtr<IWbemClassObject>& event) {
    current_event_.store(index);
    IWbemClassObject* objects[] = {event.get()};
    const HRESULT indicated = raise_->Indicate(1, objects);
    if (indicated != WBEM_S_NO_ERROR) {
      transcript_.Note("(event " + std::to_string(index) +
                       " could not be raised: " + ResultText(indicated) + ")");
    }
    const bool idle = world_.WaitIdle(kDeliveryTimeout);
    ++raised_;
    transcript_.ResultEventsDelivered(world_.TakeResults());
    const std::vector<int> results = processed_.Take();
    transcript_.Event(index, class_name, results.empty() ? Json(nullptr) : Json(results.back()));
    if (!idle) transcript_.Note("(the component did not finish with the event in time)");
    // A failed write shows in Stopping() and ends the run after this event.
    transcript_.Flush();
    return idle;
  }

  const Scenario& scenario_;
  const std::string& scenario_name_;
  Transcript& transcript_;
  world::World world_;
  wbem::ComPtr<ObservingServices> services_;
  wbem::ComPtr<IWbemObjectSink> raise_;
  ProcessedResults processed_;
  const StopSignals* stop_ = nullptr;
  std::size_t raised_ = 0;  // events raised so far
  bool dry_run_ = false;
  std::atomic<std::size_t> current_event_{0};  // the event being delivered
  std::size_t program_runs_ = 0;
};


// A folder of its own under the system's temporary folder, removed with its
// content when the object goes.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::error_code ignored;
    std::string pattern =
        (std::filesystem::temp_directory_path(ignored) / "amctl-demo-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace

ExitStatus RunScenario(const Scenario& scenario, const std::string& scenario_name,
                       const RunOptions& options, std::ostream& out, std::ostream& err) {
  Transcript transcript(options.jsonl, out);
  if (options.dry_run) transcript.SetDryRun();
  Run run(scenario, scenario_name, transcript);
  InputError error;
  if (!run.Prepare(options.dry_run, &error)) return ReportInvalidInput(err, scenario_name, error);
  for (InputError warning : scenario.warnings) {
    warning.message += "; the action is left out";
    ReportInvalidInput(err, scenario_name, warning);
  }
  if (!options.jsonl) DescribeSettings(*scenario.settings, out);
  // The environment and the log capture last exactly as long as the
  // component runs.
  EnvironmentOverride environment(scenario.environment);
  LogCapture capture(transcript);
  const ExitStatus status = run.Execute(options.events_fd, options.events_name, options.stop, err);
  if (options.program_runs != nullptr) *options.program_runs = run.program_runs();
  return status;
}

ExitStatus RunCommand(const std::string& scenario_path, bool jsonl, const std::string& events,
                      bool dry_run, std::ostream& out, std::ostream& err) {
  if (scenario_path == "-" && events == "-") {
    err << "amctl: standard input cannot hold both the scenario and the events\n";
    return kUsage;
  }
  Scenario scenario;
  {
    // The document goes once read: the run needs only the scenario.
    Json json;
    if (!ReadJsonFile(scenario_path, &json, err)) return kInvalidInput;
    InputError error;
    // Relative paths start from the scenario's folder, or from the current
    // one for a scenario on standard input.
    const std::filesystem::path file = std::filesystem::absolute(
        std::filesystem::path(scenario_path == "-" ? "standard input" : scenario_path));
    if (!ReadScenario(json, file, &scenario, &error)) {
      return ReportInvalidInput(err, InputName(scenario_path), error);
    }
  }
  RunOptions options;
  options.jsonl = jsonl;
  options.dry_run = dry_run;
  int stream = -1;
  if (!events.empty()) {
    std::string why;
    stream = OpenInput(events, &why);
    if (stream < 0) return ReportInvalidInput(err, InputName(events), {"", "cannot read: " + why});
    options.events_fd = stream;
    options.events_name = InputName(events);
  }
  ExitStatus status = kRan;
  {
    const StopSignals stop;
    options.stop = &stop;
    status = RunScenario(scenario, InputName(scenario_path), options, out, err);
  }
  if (stream >= 0) ::close(stream);
  return status;
}

ExitStatus DemoCommand(bool jsonl, std::ostream& out, std::ostream& err) {
  TemporaryFolder folder;
  if (folder.path().empty()) {
    err << "amctl: cannot create a temporary folder for the demo\n";
    return kFailed;
  }
  // Declared after the folder, so that the programs' groups are gone before
  // the folder they ran in is removed.
  const StopSignals stop;
  {
    std::ofstream script(folder.path() / "scustom.pl", std::ios::binary);
    script.write(embedded::kScustomPl, static_cast<std::streamsize>(embedded::kScustomPlSize));
    if (!script.flush()) {
      err << "amctl: cannot write " << (folder.path() / "scustom.pl").string() << '\n';
      return kFailed;
    }
  }
  Json json;
  InputError error;
  const std::string_view text(embedded::kDemoScenario, embedded::kDemoScenarioSize);
  Scenario scenario;
  if (!ParseJson(text, &json, &error) ||
      !ReadScenario(json, folder.path() / "demo.json", &scenario, &error)) {
    return ReportInvalidInput(err, "(embedded demo scenario)", error);
  }
  scenario.environment.emplace_back("ZMO_HALBERD_DIR", folder.path().string());
  if (!jsonl) {
    out << "ActionManager demo: profile \"" << scenario.profile << "\", " << scenario.events.size()
        << " events, programs run in " << folder.path().string() << "\n\n";
  }
  RunOptions options;
  options.jsonl = jsonl;
  options.stop = &stop;
  return RunScenario(scenario, "(embedded demo scenario)", options, out, err);
}

}  // namespace tools
