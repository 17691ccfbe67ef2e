#include "service/daemon.h"

#include <openssl/evp.h>
#include <stdlib.h>

#include <thread>
#include <utility>

#include "component/execution_counters.h"
#include "host/trace_utils.h"
#include "scenario/scenario_world.h"
#include "service/action_log.h"
#include "service/children.h"
#include "service/event_id.h"
#include "service/journal.h"
#include "service/log.h"
#include "service/pg_state.h"
#include "service/sqlite_state.h"
#include "wbem/holders.h"

#include "base/hex.h"
#include "base/utf8.h"

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

// "a changes only with a restart", "a, b and c change only with a restart".
std::string RestartRefusal(const std::vector<std::string>& fields) {
  std::string names;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) names += i + 1 == fields.size() ? " and " : ", ";
    names += fields[i];
  }
  return names + (fields.size() == 1 ? " changes" : " change") + " only with a restart";
}

// The record stored for an accepted event: its profile and the event as it
// was received (with the EventId the daemon may have added). ReadStored is
// its one reader; a replayed event comes back in the form intake made.
std::string StoredRecord(const std::string& profile, Json received) {
  Json record = Json::object();
  record["profile"] = profile;
  record["event"] = std::move(received);
  return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// `payload` back into `out` (its instance is made when it is processed);
// why not, when the record is not one StoredRecord wrote or its event no
// longer reads. `out->profile` is set whenever the record names one.
bool ReadStored(std::string payload, Incoming* out, std::string* why) {
  Json json;
  InputError input;
  if (!scenario::ParseJson(payload, &json, &input) || !json.is_object() ||
      !json.contains("profile") || !json["profile"].is_string() || !json.contains("event")) {
    *why = "its stored record is not readable";
    return false;
  }
  out->profile = json["profile"].get<std::string>();
  if (!scenario::ReadEvent(json["event"], "", &out->event, &input)) {
    *why = Describe(input);
    return false;
  }
  out->payload = std::move(payload);
  return true;
}

// Each profile's settings as a SHA-256 digest: daemons sharing a database
// compare them before one takes over another's events.
std::map<std::string, std::string> Fingerprints(const std::vector<ProfileConfig>& profiles) {
  std::map<std::string, std::string> digests;
  for (const ProfileConfig& profile : profiles) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(profile.fingerprint.data(), profile.fingerprint.size(), digest, &size,
                   EVP_sha256(), nullptr) != 1) {
      size = 0;  // an empty digest matches no peer's: nothing is taken over
    }
    digests[profile.name] =
        base::ToHex(std::string_view(reinterpret_cast<const char*>(digest), size));
  }
  return digests;
}

}  // namespace

Daemon::Daemon(CActionManagerManager* manager) : manager_(manager) {}

Daemon::~Daemon() {
  Shutdown();
  SetLogTee({});
}

namespace {

const char* DecisionName(AmActionDecision decision) {
  switch (decision) {
    case AmActionDecision::kHeldBack:
      return "held_back";
    case AmActionDecision::kTaskNotRun:
      return "task_not_run";
    case AmActionDecision::kRuns:
      break;
  }
  return "ran";
}

}  // namespace

void Daemon::Record(const AmActionOutcome& outcome) {
  HistoryRow row;
  row.profile = outcome.profile;
  row.rule = outcome.rule;
  row.action = outcome.action;
  row.kind = ActionKindName(outcome.kind);
  row.event_id = outcome.event_id;
  row.decision = DecisionName(outcome.decision);
  row.result_event = outcome.result_event;
  row.result_code = outcome.result_code;
  row.return_value = outcome.return_value;
  row.seconds = outcome.seconds;
  row.time_ms = NowMs();
  // Any bytes a program printed, as text every store and JSON takes.
  row.output = base::ToValidUtf8(outcome.output.substr(0, kHistoryOutputBytes));
  row.error = base::ToValidUtf8(outcome.error.substr(0, kHistoryOutputBytes));
  history_.Add(std::move(row));
}

bool Daemon::ready(std::string* why) const {
  if (!profiles_.accepting()) return false;
  std::string failure;
  if (state_ != nullptr && !state_->healthy(&failure)) {
    if (why != nullptr) *why = "the state database cannot be written: " + failure;
    return false;
  }
  return true;
}

void Daemon::SetHealthListener(std::function<void(const std::string& failure)> listener) {
  std::lock_guard<std::mutex> lock(settings_mu_);
  health_listener_ = std::move(listener);
}

Status Daemon::BuildWorld() {
  world_owner_ = std::make_unique<world::World>(config_.ns);
  world_ = world_owner_.get();
  const scenario::Scenario described = DescribedWorld(config_);
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
    return {Reason::kFailed, config_.file.string() + ": " + Describe(input), ""};
  }
  return Status::Ok();
}

Status Daemon::MapAlertmanager(const Json& payload, AlertBatch* batch,
                               std::vector<Incoming>* events) const {
  std::shared_ptr<const AlertInput> input;
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    input = alerts_;
  }
  if (input == nullptr || !input->enabled()) return {Reason::kNoAlertInput, "", ""};
  AlertTargets targets;
  profiles_.Targets(&targets);
  const auto check = [this](const Json& event, const std::string& path, Incoming* out) {
    return Validate(event, path, out);
  };
  return input->Map(payload, std::move(targets), check, batch, events);
}

Status Daemon::Start(Config config) {
  config_ = std::move(config);
  // The environment is the process's and the programs' own: set once, before
  // any thread of ours could read it.
  for (const auto& [name, value] : config_.environment) ::setenv(name.c_str(), value.c_str(), 1);
  SetLogThreshold(config_.log_level);
  // This module's own copy of the log, so that its tee sees the library's
  // lines (the program puts its copy back when the module is done).
  InstallJournalLog();
  SetLogTee([this](int priority, const std::string& component, const std::string& message) {
    LogTee(priority, component, message);
  });
  if (Status built = BuildWorld(); !built.ok()) return built;
  if (Status prepared = AlertInput::Prepare(config_.alertmanager, config_.classes, *world_,
                                            config_.file, &alerts_);
      !prepared.ok()) {
    return prepared;
  }
  if (!config_.results_file.empty()) {
    if (Status opened = results_.Open(config_.results_file); !opened.ok()) return opened;
  }
  engine_.world = world_;
  engine_.counters = &counters_;
  engine_.history = &history_;
  engine_.results = config_.results_file.empty() ? nullptr : &results_;
  engine_.stream = &stream_;
  engine_.metrics = &metrics_;
  engine_.manager = manager_;
  metrics_.SetSampler([this](Metrics& metrics) { Sample(metrics); });
  metrics_.StateHealthy(true);
  action_metrics_ = std::make_unique<ActionMetrics>(
      &metrics_, [this](const AmActionOutcome& outcome) { Record(outcome); });
  token_ = config_.listen.token;
  wait_seconds_ = config_.wait_seconds;
  if (Status created =
          profiles_.Create(config_.profiles, config_.default_profile, config_.queue_limit);
      !created.ok()) {
    return created;
  }
  std::vector<StateStore::Unfinished> unfinished;
  if (Status opened = OpenState(&unfinished); !opened.ok()) return opened;
  if (Status imported = ImportJournal(&unfinished); !imported.ok()) return imported;
  engine_.state = state_.get();
  state_->SetProfiles(Fingerprints(config_.profiles));
  AmSetExecutionCounterStore({[this](const AmCounterKey& key) {
                                if (const auto shared =
                                        state_->SharedCount(key.profile, key.rule, key.event_id)) {
                                  return *shared;
                                }
                                return counters_.Get(key.profile, key.rule, key.event_id, NowMs());
                              },
                              [this](const AmCounterKey& key, std::int32_t count) {
                                counters_.Set(key.profile, key.rule, key.event_id, count, NowMs());
                              }});
  // Replayed events go first, in their order, whatever the queue limit.
  Replay(unfinished, false);
  profiles_.Start();
  metrics_.ConfigLoaded(true);
  return Status::Ok();
}

Status Daemon::OpenState(std::vector<StateStore::Unfinished>* unfinished) {
  StateOptions options;
  options.counter_ttl = config_.state.counter_ttl;
  options.history_days = config_.state.history_days;
  options.history_rows = config_.state.history_rows;
  options.max_queued_bytes = config_.journal_max_bytes;
  options.on_health = [this](const std::string& failure) {
    metrics_.StateHealthy(failure.empty());
    std::function<void(const std::string&)> listener;
    {
      std::lock_guard<std::mutex> lock(settings_mu_);
      listener = health_listener_;
    }
    if (listener) listener(failure);
  };
  options.on_claimed = [this](std::vector<UnfinishedEvent> events) {
    Replay(events, true);
  };
  if (config_.state.kind == StateKind::kPostgresql) {
    state_ = std::make_unique<PgState>(
        PgConfig{config_.state.connection, config_.state.node,
                 std::chrono::seconds(config_.state.lease_seconds)},
        &counters_);
  } else {
    state_ = std::make_unique<SqliteState>(config_.state_dir / "state.db", &counters_);
  }
  std::vector<CounterRow> counters;
  std::string error;
  if (!state_->Open(options, unfinished, &counters, &error)) {
    state_.reset();
    return {Reason::kFailed, "state database " + error, ""};
  }
  counters_.Load(std::move(counters));
  return Status::Ok();
}

Status Daemon::ImportJournal(std::vector<StateStore::Unfinished>* unfinished) {
  const std::filesystem::path dir = config_.state_dir / "journal";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) return Status::Ok();
  std::vector<JournalEvent> old;
  std::string error;
  if (!ReadJournal(dir, &old, &error)) {
    return {Reason::kFailed, "journal " + dir.string() + ": " + error, ""};
  }
  std::vector<std::string> payloads;
  for (JournalEvent& record : old) payloads.push_back(std::move(record.payload));
  std::uint64_t first = 0;
  if (!payloads.empty()) {
    // More than journal.max_bytes stops the start: raise it for the move.
    if (state_->Submit(payloads, &first) != StateStore::SubmitResult::kOk ||
        !state_->WaitDurable(first + payloads.size() - 1)) {
      return {Reason::kFailed, "cannot store the events of the journal " + dir.string(), ""};
    }
  }
  // Stored: from here a crash replays them from the store, not the folder.
  std::filesystem::remove_all(dir, ec);
  if (ec) {
    return {Reason::kFailed, "cannot remove the journal " + dir.string() + ": " + ec.message(), ""};
  }
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    unfinished->push_back({first + i, std::move(payloads[i])});
  }
  Log(kPriorityNotice, "moved " + std::to_string(payloads.size()) +
                           " unfinished events from the journal " + dir.string() +
                           " into the state database and removed the journal");
  return Status::Ok();
}

void Daemon::Replay(std::vector<StateStore::Unfinished>& unfinished, bool claimed) {
  std::size_t replayed = 0;
  for (StateStore::Unfinished& record : unfinished) {
    auto job = std::make_shared<Job>();
    job->seq = record.seq;
    std::string why;
    const bool readable = ReadStored(std::move(record.payload), job.get(), &why);
    const std::uint64_t seq = job->seq;
    const std::string profile = job->profile;
    if (!readable || !profiles_.Requeue(std::move(job))) {
      // Nothing can process it any more: say so and let it go.
      if (readable) why = "its profile \"" + profile + "\" is no longer configured";
      Log(kPriorityErr, "stored event " + std::to_string(seq) + " dropped: " + why);
      metrics_.Dropped(profile, RowOf(Reason::kNotReplayable).label);
      FinishRecord record;
      record.seq = seq;
      record.state = "dropped";
      record.outcome = Json{{"seq", seq}, {"profile", profile}, {"dropped", why}}.dump(
          -1, ' ', false, Json::error_handler_t::replace);
      (void)state_->Finish(std::move(record));
      continue;
    }
    ++replayed;
  }
  metrics_.Replayed(static_cast<double>(replayed));
  if (replayed > 0) {
    Log(kPriorityNotice, (claimed ? "taking over " : "replaying ") + std::to_string(replayed) +
                             (claimed ? " accepted events of a daemon that stopped"
                                      : " accepted events that were not finished before the last stop"));
  }
}

Status Daemon::Validate(const Json& json, const std::string& path, Incoming* out) const {
  const auto invalid = [&path](const std::string& place, std::string message) -> Status {
    return {Reason::kInvalid, std::move(message), EventPlace(path, place)};
  };
  InputError input;
  if (!scenario::ReadEvent(json, "", &out->event, &input)) {
    return invalid(input.place, input.message);
  }
  // Refused only once the event is otherwise sound, so that its first
  // problem is the one named.
  Json received = json;
  const bool identified = EnsureEventId(config_.generate_event_id, &out->event, &received);
  std::string profile;
  bool given = false;
  for (const auto& [name, value] : out->event.properties) {
    if (!SameName(name, "ProfileName")) continue;
    if (!value.is_string()) {
      return invalid("properties." + name, "must be a string naming a profile");
    }
    profile = value.get<std::string>();
    given = true;
  }
  if (Status resolved = profiles_.Resolve(given, &profile); !resolved.ok()) {
    return invalid(resolved.place, resolved.message);
  }
  if (!IsEventClass(config_, out->event.class_name)) {
    return invalid("class", "\"" + out->event.class_name + "\" is not ZRV_Event nor derived from it");
  }
  if (!scenario::MakeInstance(world_->ns(), out->event, &profile, &out->instance, &input)) {
    return invalid(input.place, input.message);
  }
  const auto properties = json.find("properties");
  const auto required = scenario::RequiredProperties(config_.classes, out->event.class_name);
  if (const auto* missing =
          scenario::MissingRequired(required, properties == json.end() ? nullptr : &*properties)) {
    return invalid("properties." + missing->first, "is required by class " + missing->second);
  }
  if (!identified) return invalid("properties.EventId", kMissingEventIdMessage);
  out->profile = std::move(profile);
  out->payload = StoredRecord(out->profile, std::move(received));
  return Status::Ok();
}

Status Daemon::Submit(std::vector<Incoming>&& events, std::vector<std::shared_ptr<Job>>* jobs) {
  const auto journal = [this](const std::vector<std::string>& payloads,
                              std::uint64_t* first) -> Status {
    switch (state_->Submit(payloads, first)) {
      case StateStore::SubmitResult::kOk:
        break;
      case StateStore::SubmitResult::kFull:
        return {Reason::kJournalFull, "", ""};
      case StateStore::SubmitResult::kClosed:
        return {Reason::kStopping, "", ""};
      case StateStore::SubmitResult::kUnavailable:
        return {Reason::kJournalFailed, "", ""};
    }
    return Status::Ok();
  };
  return profiles_.Admit(std::move(events), journal, jobs);
}

bool Daemon::WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs) {
  // One request's events may have gone into more than one commit.
  bool durable = true;
  for (const auto& job : jobs) durable = state_->WaitDurable(job->seq) && durable;
  return durable;
}

Status Daemon::Reload() {
  // The results file is let go whether or not the configuration is good:
  // logrotate reloads to have it reopened.
  if (Status reopened = results_.Reopen(); !reopened.ok()) {
    Log(kPriorityErr, "cannot reopen the results file: " + reopened.text());
  }
  Status reloaded = ReloadFile();
  metrics_.ConfigLoaded(reloaded.ok());
  std::lock_guard<std::mutex> lock(settings_mu_);
  reload_refusal_ = reloaded.ok() ? "" : reloaded.text();
  return reloaded;
}

std::string Daemon::last_reload_refusal() const {
  std::lock_guard<std::mutex> lock(settings_mu_);
  return reload_refusal_;
}

Status Daemon::ReloadFile() {
  Config fresh;
  InputError input;
  if (!ReadConfig(config_.file, &fresh, &input)) {
    return {Reason::kFailed, config_.file.string() + ": " + Describe(input), ""};
  }
  if (const auto changed = RestartOnlyChanges(config_, fresh); !changed.empty()) {
    return {Reason::kFailed, RestartRefusal(changed), ""};
  }
  std::shared_ptr<const AlertInput> alerts;
  if (Status prepared =
          AlertInput::Prepare(fresh.alertmanager, config_.classes, *world_, config_.file, &alerts);
      !prepared.ok()) {
    return prepared;
  }
  ProfileSet::Built built;
  if (Status made = profiles_.Build(fresh.profiles, &built); !made.ok()) return made;
  const std::string counts =
      profiles_.Swap(fresh.profiles, built, fresh.default_profile, fresh.queue_limit);
  {
    std::lock_guard<std::mutex> lock(settings_mu_);
    alerts_ = std::move(alerts);
    token_ = fresh.listen.token;
    wait_seconds_ = fresh.wait_seconds;
    config_.profiles = fresh.profiles;
    config_.stop_seconds = fresh.stop_seconds;
  }
  state_->SetProfiles(Fingerprints(fresh.profiles));
  SetLogThreshold(fresh.log_level);
  Log(kPriorityNotice, "configuration reloaded: " + counts + ", the other profiles keep running");
  return Status::Ok();
}

void Daemon::BeginStop() { profiles_.BeginStop(); }

bool Daemon::Drain(std::chrono::steady_clock::time_point deadline) {
  return profiles_.Drain(deadline);
}

void Daemon::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  if (state_ != nullptr) state_->StopRetrying();
  // A command in hand would hold its profile's worker up to its time-out.
  const std::size_t left = profiles_.Shutdown([this] { commands_.StopAll(); });
  if (left > 0) {
    Log(kPriorityNotice, std::to_string(left) + " accepted events stay stored for the next start");
  }
  AmSetExecutionCounterStore({});
  stream_.Close();
  if (state_ != nullptr) state_->Close();
  results_.Sync();
}

std::string Daemon::token() const {
  std::lock_guard<std::mutex> lock(settings_mu_);
  return token_;
}

std::chrono::seconds Daemon::wait_time() const {
  std::lock_guard<std::mutex> lock(settings_mu_);
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
  if (state_ != nullptr) {
    metrics.SetState(static_cast<double>(state_->file_bytes()),
                     static_cast<double>(state_->queued()));
    metrics.StateWriteFailures(static_cast<double>(state_->write_failures()));
  }
}

}  // namespace service
