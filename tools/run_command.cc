#include "tools/run_command.h"

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "component/action_manager_manager.h"
#include "host/trace_utils.h"
#include "settings/action_info.h"
#include "tools/embedded.h"
#include "tools/settings_commands.h"
#include "tools/transcript.h"
#include "repository/sinks.h"

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

// Sends the logger's lines into the transcript for as long as it lives.
class LogCapture {
 public:
  explicit LogCapture(Transcript& transcript) {
    CTraceUtils::GetInstance()->SetLineSink(
        [&transcript](int level, const std::string& component, const std::string& message) {
          transcript.Log(level, component, message);
        });
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() { CTraceUtils::GetInstance()->SetLineSink({}); }
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

// Reads the next event line of `in`; false at the end of the stream or on a
// bad line (then `*error` is set).
bool NextStreamEvent(std::istream& in, std::size_t* line_number, ScenarioObject* event,
                     InputError* error) {
  std::string line;
  while (std::getline(in, line)) {
    ++*line_number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    const std::string where = "line " + std::to_string(*line_number);
    Json json;
    if (!ParseJson(line, &json, error)) {
      // The parser counts within the line; name the stream's line instead.
      const std::size_t column = error->place.find(", column");
      error->place = where + (column == std::string::npos ? "" : error->place.substr(column));
      return false;
    }
    if (!ReadEvent(json, "", event, error)) {
      error->place = where + (error->place.empty() ? "" : ": " + error->place);
      return false;
    }
    event->path = where;
    return true;
  }
  error->message.clear();
  return false;
}

class Run {
 public:
  Run(const Scenario& scenario, Transcript& transcript)
      : scenario_(scenario), transcript_(transcript), world_(scenario.ns) {}

  // Builds the world and converts the scenario's events; invalid input only.
  bool Prepare(InputError* error) {
    const MethodCallObserver observer = [this](const repository::MethodCall& call) {
      transcript_.MethodCall(call.path, call.method, PropertiesToJson(call.in, false));
    };
    if (!BuildWorld(scenario_, world_, observer, error)) return false;
    for (const ScenarioObject& event : scenario_.events) {
      wbem::ComPtr<IWbemClassObject> instance;
      if (!MakeInstance(world_.ns(), event, &scenario_.profile, &instance, error)) return false;
      events_.push_back(std::move(instance));
    }
    return true;
  }

  // Runs the profile; events of `stream` follow the scenario's. Returns the
  // exit status; invalid stream input is reported to `err`.
  ExitStatus Execute(std::istream* stream, const std::string& stream_name, std::ostream& err) {
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
    void* handle = nullptr;
    const int created =
        manager->CompCreate(scenario_.profile.c_str(), &handle, scenario_.settings.get());
    transcript_.Component("CompCreate", created);
    ExitStatus status = kRan;
    if (created == 0) {
      status = kFailed;
    } else {
      const int started = manager->CompStart(services_.get(), handle);
      transcript_.Component("CompStart", started);
      if (started == 0) status = kFailed;
      if (started != 0) status = RaiseAll(stream, stream_name, err);
      transcript_.Component("CompStop", manager->CompStop(handle));
      transcript_.Component("CompDelete", manager->CompDelete(handle));
    }
    // The host owns the manager; it goes with the run so that nothing of the
    // library outlives it.
    delete manager;
    world_.StopCollecting();
    if (!world_.WaitIdle(kDeliveryTimeout)) status = kFailed;
    if (!transcript_.Flush()) status = kFailed;
    return status;
  }

 private:
  ExitStatus RaiseAll(std::istream* stream, const std::string& stream_name, std::ostream& err) {
    for (std::size_t i = 0; i < events_.size(); ++i) {
      if (!Raise(i, scenario_.events[i].class_name, events_[i])) return kFailed;
    }
    if (stream == nullptr) return kRan;
    std::size_t line = 0;
    for (std::size_t index = events_.size();; ++index) {
      ScenarioObject event;
      InputError error;
      wbem::ComPtr<IWbemClassObject> instance;
      if (!NextStreamEvent(*stream, &line, &event, &error)) {
        if (error.message.empty()) return kRan;
        transcript_.Flush();
        return ReportInvalidInput(err, stream_name, error);
      }
      if (!MakeInstance(world_.ns(), event, &scenario_.profile, &instance, &error)) {
        transcript_.Flush();
        return ReportInvalidInput(err, stream_name, error);
      }
      if (!Raise(index, event.class_name, instance)) return kFailed;
    }
  }

  bool Raise(std::size_t index, const std::string& class_name,
             const wbem::ComPtr<IWbemClassObject>& event) {
    IWbemClassObject* objects[] = {event.get()};
    const HRESULT indicated = raise_->Indicate(1, objects);
    if (indicated != WBEM_S_NO_ERROR) {
      transcript_.Note("(event " + std::to_string(index) +
                       " could not be raised: " + ResultText(indicated) + ")");
    }
    const bool idle = world_.WaitIdle(kDeliveryTimeout);
    transcript_.ResultEventsDelivered(world_.TakeResults());
    const std::vector<int> results = processed_.Take();
    transcript_.Event(index, class_name, results.empty() ? Json(nullptr) : Json(results.back()));
    if (!idle) transcript_.Note("(the component did not finish with the event in time)");
    return transcript_.Flush() && idle;
  }

  const Scenario& scenario_;
  Transcript& transcript_;
  world::World world_;
  std::vector<wbem::ComPtr<IWbemClassObject>> events_;
  wbem::ComPtr<ObservingServices> services_;
  wbem::ComPtr<IWbemObjectSink> raise_;
  ProcessedResults processed_;
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
  Run run(scenario, transcript);
  InputError error;
  if (!run.Prepare(&error)) return ReportInvalidInput(err, scenario_name, error);
  if (!options.jsonl) DescribeSettings(*scenario.settings, out);
  // The environment and the log capture last exactly as long as the
  // component runs.
  EnvironmentOverride environment(scenario.environment);
  LogCapture capture(transcript);
  return run.Execute(options.events, options.events_name, err);
}

ExitStatus RunCommand(const std::string& scenario_path, bool jsonl, const std::string& events,
                      std::ostream& out, std::ostream& err) {
  Json json;
  if (!ReadJsonFile(scenario_path, &json, err)) return kInvalidInput;
  Scenario scenario;
  InputError error;
  if (!ReadScenario(json, std::filesystem::absolute(scenario_path), &scenario, &error)) {
    return ReportInvalidInput(err, scenario_path, error);
  }
  RunOptions options;
  options.jsonl = jsonl;
  std::ifstream file;
  if (events == "-") {
    options.events = &std::cin;
    options.events_name = "standard input";
  } else if (!events.empty()) {
    errno = 0;
    file.open(events);
    if (!file) {
      const std::string why = errno != 0 ? std::strerror(errno) : "cannot be opened";
      return ReportInvalidInput(err, events, {"", "cannot read: " + why, {}});
    }
    options.events = &file;
    options.events_name = events;
  }
  return RunScenario(scenario, scenario_path, options, out, err);
}

ExitStatus DemoCommand(bool jsonl, std::ostream& out, std::ostream& err) {
  TemporaryFolder folder;
  if (folder.path().empty()) {
    err << "amctl: cannot create a temporary folder for the demo\n";
    return kFailed;
  }
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
  return RunScenario(scenario, "(embedded demo scenario)", options, out, err);
}

}  // namespace tools
