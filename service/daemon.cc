#include "service/daemon.h"

#include <stdlib.h>

#include <thread>
#include <utility>

#include "host/trace_utils.h"
#include "scenario/scenario_world.h"
#include "service/children.h"
#include "wbem/holders.h"
#include "service/log.h"

namespace service {
namespace {

using scenario::InputError;
using scenario::Json;

using scenario::SameName;

std::string Describe(const InputError& error) {
  std::string text = error.file.empty() ? "" : error.file + ": ";
  if (!error.place.empty()) text += error.place + ": ";
  return text + error.message;
}

}  // namespace

Daemon::Daemon(CActionManagerManager* manager) : manager_(manager) {}

Daemon::~Daemon() {
  Shutdown();
  SetLogTee({});
}

bool Daemon::BuildWorld(std::string* error) {
  world_owner_ = std::make_unique<world::World>(config_.ns);
  world_ = world_owner_.get();
  scenario::Scenario described;
  described.ns = config_.ns;
  described.standard_classes = config_.standard_classes;
  described.classes = config_.classes;
  described.instances = config_.instances;
  InputError input;
  const std::filesystem::path folder = config_.file.parent_path();
  // Each command runs in the configuration's folder, where its relative
  // paths point. ReadConfig prepared every command once already.
  const auto commands = [this, &folder](const scenario::ScenarioClass& cls,
                                        const scenario::ScenarioMethod& method) {
    CommandPlan plan;
    InputError wrong;
    if (!PrepareCommand(cls, method, ClassKeys(config_.classes, cls), folder, &plan, &wrong)) {
      return repository::MethodProvider(
          [](repository::MethodCall&) -> HRESULT { return WBEM_E_PROVIDER_FAILURE; });
    }
    return commands_.Provider(std::move(plan));
  };
  if (!scenario::BuildWorld(described, *world_, {}, &input, commands)) {
    *error = config_.file.string() + ": " + Describe(input);
    return false;
  }
  return true;
}

bool Daemon::Shape(const std::string& class_name, ClassShape* shape, std::string* error) const {
  wbem::ComPtr<IWbemClassObject> instance;
  const HRESULT made = world_->ns().NewInstance(class_name, {}, &instance);
  if (made != WBEM_S_NO_ERROR || instance->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY) != WBEM_S_NO_ERROR) {
    *error = "no instance of \"" + class_name + "\": " + scenario::ResultText(made);
    return false;
  }
  shape->clear();
  for (;;) {
    wbem::Bstr name;
    CIMTYPE type = 0;
    if (instance->Next(0, name.Out(), nullptr, &type, nullptr) != WBEM_S_NO_ERROR) break;
    shape->push_back({name.ToUtf8(), type});
  }
  instance->EndEnumeration();
  return true;
}

bool Daemon::PrepareAlerts(const AlertmanagerConfig& config,
                           std::shared_ptr<const AlertInput>* out, std::string* error) const {
  auto input = std::make_shared<AlertInput>();
  input->config = config;
  if (config.enabled) {
    if (!Shape(config.firing_class, &input->firing, error)) return false;
    if (!config.resolved_class.empty() && !Shape(config.resolved_class, &input->resolved, error)) {
      return false;
    }
    for (const auto& [name, source] : config.properties) {
      for (const auto& [class_name, shape] :
           {std::pair{&config.firing_class, &input->firing},
            std::pair{&config.resolved_class, &input->resolved}}) {
        if (class_name->empty()) continue;
        const PropertyType* found = nullptr;
        for (const PropertyType& property : *shape) {
          if (SameName(property.name, name)) found = &property;
        }
        if (found == nullptr || !FillableFromText(found->type)) {
          *error = config_.file.string() + ": alertmanager.properties." + name + ": " +
                   (found == nullptr ? "is not a property of " + *class_name
                                     : "is an object or array property, which text cannot fill");
          return false;
        }
      }
    }
  }
  *out = std::move(input);
  return true;
}

bool Daemon::MapAlertmanager(const Json& payload, bool* enabled, AlertBatch* batch,
                             std::vector<Incoming>* events, InputError* error) const {
  std::shared_ptr<const AlertInput> input;
  AlertTargets targets;
  {
    std::lock_guard<std::mutex> lock(accept_mu_);
    input = alerts_;
    targets.default_profile = default_profile_;
    for (const auto& [name, runner] : runners_) targets.profiles.insert(name);
  }
  *enabled = input != nullptr && input->config.enabled;
  if (!*enabled) return false;
  targets.firing = input->firing;
  targets.resolved = input->resolved;
  if (!MapAlerts(payload, input->config, targets, batch, error)) return false;
  events->resize(batch->events.size());
  for (std::size_t i = 0; i < batch->events.size(); ++i) {
    const AlertEvent& event = batch->events[i];
    if (!Validate(event.event, event.path, &(*events)[i], error)) {
      error->place = AlertPlace(event, error->place);
      return false;
    }
  }
  return true;
}

bool Daemon::Start(Config config, std::string* error) {
  config_ = std::move(config);
  // The environment is the process's and the programs' own: set once, before
  // any thread of ours could read it.
  for (const auto& [name, value] : config_.environment) ::setenv(name.c_str(), value.c_str(), 1);
  CTraceUtils::GetInstance()->SetThreshold(config_.log_level);
  // This module's own copy of the log, so that its tee sees the library's
  // lines (the program puts its copy back when the module is done).
  InstallJournalLog();
  SetLogTee([this](int priority, const std::string& component, const std::string& message) {
    LogTee(priority, component, message);
  });
  if (!BuildWorld(error)) return false;
  if (!PrepareAlerts(config_.alertmanager, &alerts_, error)) return false;
  if (!config_.results_file.empty() && !results_.Open(config_.results_file, error)) return false;
  engine_.world = world_;
  engine_.journal = &journal_;
  engine_.results = config_.results_file.empty() ? nullptr : &results_;
  engine_.stream = &stream_;
  engine_.metrics = &metrics_;
  engine_.manager = manager_;
  metrics_.SetSampler([this](Metrics& metrics) { Sample(metrics); });
  action_metrics_ = std::make_unique<ActionMetrics>(&metrics_);
  default_profile_ = config_.default_profile;
  token_ = config_.listen.token;
  queue_limit_ = config_.queue_limit;
  wait_seconds_ = config_.wait_seconds;

  for (const ProfileConfig& profile : config_.profiles) {
    std::unique_ptr<Component> component = Component::Create(engine_, profile, error);
    if (!component) return false;
    runners_[profile.name] = std::make_unique<ProfileRunner>(profile.name, engine_,
                                                             std::move(component), queue_limit_);
  }
  std::vector<Journal::Unfinished> unfinished;
  ResultsFile* results = engine_.results;
  if (!journal_.Open(config_.state_dir / "journal", config_.journal_max_bytes,
                     config_.journal_segment_bytes,
                     [results] {
                       if (results != nullptr) results->Sync();
                     },
                     &unfinished, error)) {
    *error = "journal: " + *error;
    return false;
  }
  // Replayed events go first, in their order, whatever the queue limit.
  Replay(unfinished);
  for (auto& [name, runner] : runners_) runner->Start();
  accepting_ = true;
  ready_ = true;
  return true;
}

void Daemon::Replay(std::vector<Journal::Unfinished>& unfinished) {
  std::size_t replayed = 0;
  for (Journal::Unfinished& record : unfinished) {
    auto job = std::make_shared<Job>();
    job->seq = record.seq;
    job->payload = std::move(record.payload);
    Json json;
    InputError input;
    const Json* event = nullptr;
    if (scenario::ParseJson(job->payload, &json, &input) && json.is_object() &&
        json.contains("profile") && json["profile"].is_string() && json.contains("event")) {
      job->profile = json["profile"].get<std::string>();
      event = &json["event"];
    }
    const auto runner = runners_.find(job->profile);
    if (event == nullptr || !scenario::ReadEvent(*event, "", &job->event, &input) ||
        runner == runners_.end()) {
      // Nothing can process it any more: say so and let it go.
      const std::string why = event == nullptr ? "its journal record is not readable"
                              : runner == runners_.end()
                                  ? "its profile \"" + job->profile + "\" is no longer configured"
                                  : Describe(input);
      Log(kPriorityErr, "journaled event " + std::to_string(job->seq) + " dropped: " + why);
      metrics_.Dropped(job->profile, RowOf(Reason::kNotReplayable).label);
      journal_.Finish(job->seq);
      continue;
    }
    runner->second->Push(std::move(job));
    ++replayed;
  }
  metrics_.Replayed(static_cast<double>(replayed));
  if (replayed > 0) {
    Log(kPriorityNotice, "replaying " + std::to_string(replayed) +
                             " accepted events that were not finished before the last stop");
  }
}

bool Daemon::Validate(const Json& json, const std::string& path, Incoming* out,
                      InputError* error) const {
  InputError input;
  if (!scenario::ReadEvent(json, "", &out->event, &input)) {
    *error = {EventPlace(path, input.place), input.message};
    return false;
  }
  std::string profile;
  bool given = false;
  for (const auto& [name, value] : out->event.properties) {
    if (!SameName(name, "ProfileName")) continue;
    if (!value.is_string()) {
      *error = {EventPlace(path, "properties." + name), "must be a string naming a profile"};
      return false;
    }
    profile = value.get<std::string>();
    given = true;
  }
  {
    std::lock_guard<std::mutex> lock(accept_mu_);
    if (!given) {
      profile = default_profile_;
      if (profile.empty()) {
        *error = {EventPlace(path, "properties.ProfileName"),
                  "is required: more than one profile runs and none is the default"};
        return false;
      }
    }
    if (runners_.find(profile) == runners_.end()) {
      *error = {EventPlace(path, "properties.ProfileName"),
                "\"" + profile + "\" is not a running profile"};
      return false;
    }
  }
  if (!IsEventClass(config_, out->event.class_name)) {
    *error = {EventPlace(path, "class"),
              "\"" + out->event.class_name + "\" is not ZRV_Event nor derived from it"};
    return false;
  }
  if (!scenario::MakeInstance(world_->ns(), out->event, &profile, &out->instance, &input)) {
    *error = {EventPlace(path, input.place), input.message};
    return false;
  }
  out->profile = std::move(profile);
  Json payload = Json::object();
  payload["profile"] = out->profile;
  payload["event"] = json;
  out->payload = payload.dump(-1, ' ', false, Json::error_handler_t::replace);
  return true;
}

Status Daemon::Submit(std::vector<Incoming>&& events, std::vector<std::shared_ptr<Job>>* jobs) {
  std::lock_guard<std::mutex> lock(accept_mu_);
  if (!accepting_) return {Reason::kStopping, "", ""};
  std::map<std::string, std::size_t> counts;
  for (const Incoming& event : events) ++counts[event.profile];
  for (const auto& [profile, count] : counts) {
    const auto runner = runners_.find(profile);
    if (runner == runners_.end()) {
      return {Reason::kInvalid, "\"" + profile + "\" is not a running profile", ""};
    }
    if (!runner->second->HasRoom(count)) {
      return {Reason::kQueueFull, "the queue of profile \"" + profile + "\" is full", ""};
    }
  }
  std::vector<std::string> payloads;
  payloads.reserve(events.size());
  for (const Incoming& event : events) payloads.push_back(event.payload);
  std::uint64_t first = 0;
  switch (journal_.Submit(payloads, &first)) {
    case Journal::SubmitResult::kOk:
      break;
    case Journal::SubmitResult::kFull:
      return {Reason::kJournalFull, "", ""};
    case Journal::SubmitResult::kFailed:
      return {Reason::kJournalFailed, "", ""};
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    auto job = std::make_shared<Job>();
    job->seq = first + i;
    job->profile = std::move(events[i].profile);
    job->event = std::move(events[i].event);
    job->payload = std::move(events[i].payload);
    job->instance = std::move(events[i].instance);
    jobs->push_back(job);
    metrics_.Accepted(job->profile);
    runners_.at(job->profile)->Push(std::move(job));
  }
  return Status::Ok();
}

bool Daemon::WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs) {
  return jobs.empty() || journal_.WaitDurable(jobs.back()->seq);
}

bool Daemon::Reload() {
  Config fresh;
  InputError input;
  if (!ReadConfig(config_.file, &fresh, &input)) {
    Log(kPriorityErr, "reload refused, the running configuration stays: " +
                          config_.file.string() + ": " + Describe(input));
    return false;
  }
  if (fresh.restart_fingerprint != config_.restart_fingerprint) {
    Log(kPriorityErr,
        "reload refused, the running configuration stays: listen, socket, state_dir, journal, "
        "results_file, namespace, standard_classes, classes, instances and environment change "
        "only with a restart");
    return false;
  }
  std::string refused;
  std::shared_ptr<const AlertInput> alerts;
  if (!PrepareAlerts(fresh.alertmanager, &alerts, &refused)) {
    Log(kPriorityErr, "reload refused, the running configuration stays: " + refused);
    return false;
  }
  std::map<std::string, std::unique_ptr<Component>> built;
  if (!BuildChanged(fresh, &built)) return false;
  const std::string counts = Swap(fresh, built, std::move(alerts));
  CTraceUtils::GetInstance()->SetThreshold(fresh.log_level);
  for (auto it = retired_.begin(); it != retired_.end();) {
    if ((*it)->Finished()) {
      it = retired_.erase(it);  // joins and deletes its component
    } else {
      ++it;
    }
  }
  Log(kPriorityNotice, "configuration reloaded: " + counts + ", the other profiles keep running");
  return true;
}

bool Daemon::BuildChanged(const Config& fresh,
                          std::map<std::string, std::unique_ptr<Component>>* built) {
  for (const ProfileConfig& profile : fresh.profiles) {
    std::string fingerprint;
    {
      std::lock_guard<std::mutex> lock(accept_mu_);
      const auto runner = runners_.find(profile.name);
      if (runner != runners_.end()) fingerprint = runner->second->fingerprint();
    }
    if (fingerprint == profile.fingerprint) continue;
    std::string error;
    std::unique_ptr<Component> component = Component::Create(engine_, profile, &error);
    if (!component) {
      Log(kPriorityErr, "reload refused, the running configuration stays: " + error);
      return false;
    }
    (*built)[profile.name] = std::move(component);
  }
  return true;
}

std::string Daemon::Swap(const Config& fresh, std::map<std::string, std::unique_ptr<Component>>& built,
                         std::shared_ptr<const AlertInput> alerts) {
  int recreated = 0, added = 0, removed = 0;
  {
    std::lock_guard<std::mutex> lock(accept_mu_);
    for (auto& [name, component] : built) {
      const auto runner = runners_.find(name);
      if (runner != runners_.end()) {
        runner->second->Replace(std::move(component));
        ++recreated;
      } else {
        auto fresh_runner =
            std::make_unique<ProfileRunner>(name, engine_, std::move(component), fresh.queue_limit);
        fresh_runner->Start();
        runners_[name] = std::move(fresh_runner);
        ++added;
      }
    }
    for (auto it = runners_.begin(); it != runners_.end();) {
      bool kept = false;
      for (const ProfileConfig& profile : fresh.profiles) kept |= profile.name == it->first;
      if (kept) {
        it->second->SetLimit(fresh.queue_limit);
        ++it;
        continue;
      }
      it->second->FinishQueue();  // what was accepted for it still runs
      retired_.push_back(std::move(it->second));
      it = runners_.erase(it);
      ++removed;
    }
    default_profile_ = fresh.default_profile;
    alerts_ = std::move(alerts);
    token_ = fresh.listen.token;
    queue_limit_ = fresh.queue_limit;
    wait_seconds_ = fresh.wait_seconds;
    config_.profiles = fresh.profiles;
    config_.stop_seconds = fresh.stop_seconds;
  }
  return std::to_string(recreated) + " re-created, " + std::to_string(added) + " added, " +
         std::to_string(removed) + " removed";
}

void Daemon::BeginStop() {
  std::lock_guard<std::mutex> lock(accept_mu_);
  accepting_ = false;
  ready_ = false;
}

bool Daemon::Drain(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    std::size_t waiting = 0;
    {
      std::lock_guard<std::mutex> lock(accept_mu_);
      for (const auto& [name, runner] : runners_) waiting += runner->depth();
      for (const auto& runner : retired_) waiting += runner->depth();
    }
    if (waiting == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Daemon::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  BeginStop();
  std::vector<std::unique_ptr<ProfileRunner>> runners;
  {
    std::lock_guard<std::mutex> lock(accept_mu_);
    for (auto& [name, runner] : runners_) runners.push_back(std::move(runner));
    for (auto& runner : retired_) runners.push_back(std::move(runner));
    runners_.clear();
    retired_.clear();
  }
  for (auto& runner : runners) runner->StopNow();
  // A command in hand would hold its profile's worker up to its time-out.
  commands_.StopAll();
  std::size_t left = 0;
  for (auto& runner : runners) {
    runner->Join();
    for (const std::shared_ptr<Job>& job : runner->TakeQueue()) {
      job->processed_before_stop = false;
      job->Complete();
      ++left;
    }
  }
  if (left > 0) {
    Log(kPriorityNotice, std::to_string(left) +
                             " accepted events stay in the journal for the next start");
  }
  runners.clear();  // CompStop and CompDelete of every profile
  stream_.Close();
  journal_.Close();
  results_.Sync();
}

std::string Daemon::token() const {
  std::lock_guard<std::mutex> lock(accept_mu_);
  return token_;
}

std::chrono::seconds Daemon::wait_time() const {
  std::lock_guard<std::mutex> lock(accept_mu_);
  return std::chrono::seconds(wait_seconds_);
}

void Daemon::LogTee(int priority, const std::string& component, const std::string& message) {
  // Called with the logger's lock held: nothing here may log.
  if (!stream_.wants_logs()) return;
  Json line = Json::object();
  line["priority"] = priority;
  line["component"] = component;
  line["message"] = message;
  stream_.Publish("log", line.dump(-1, ' ', false, Json::error_handler_t::replace), true);
}

void Daemon::Sample(Metrics& metrics) {
  metrics.SetChildren(static_cast<double>(ListChildren().size()));
  metrics.SetJournal(static_cast<double>(journal_.file_bytes()),
                     static_cast<double>(journal_.live_count()));
}

}  // namespace service
