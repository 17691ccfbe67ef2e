// The daemon's core: it wires the world, the state store, the outputs, the
// profile set (service/profile_set.h) and the alert input
// (service/alert_input.h), and is the one way events get in.
//
// Acceptance (Submit) is all or nothing for a request: the profile set checks
// room, the state store numbers the events, and the set queues them under
// one lock; the caller waits for WaitDurable before acknowledging.
//
// State. The store (service/state_store.h) holds the queue, the execution
// counters and the history. The daemon installs the library's counter store
// (component/execution_counters.h) over a CounterTable loaded at start, and
// records each action outcome as a history row; a worker's finish commits
// the event's counter changes and history rows together. A folder "journal"
// left by an older version is read once at start: its unfinished events are
// stored as new events, then the folder is removed.
//
// Life cycle: Start (world, profiles, store, replay, workers), any number of
// Reloads, then BeginStop (no more acceptance), Drain (until the queues are
// empty or the deadline) and Shutdown (profiles torn down, store closed).
// Reload and the life cycle calls come from one thread (the signal loop);
// Submit, Validate and the accessors from any thread.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/action_metrics.h"
#include "service/alert_input.h"
#include "service/command_method.h"
#include "service/event_input.h"
#include "service/state_store.h"
#include "service/metrics.h"
#include "service/profile.h"
#include "service/profile_set.h"
#include "service/results.h"
#include "service/status.h"
#include "service_config/config.h"
#include "world/world.h"

namespace service {

class Daemon {
 public:
  explicit Daemon(CActionManagerManager* manager);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Builds everything and starts the workers; replayed events are queued
  // first. Why not, for the caller to log.
  [[nodiscard]] Status Start(Config config);

  // Checks one event: its form, its profile (ProfileName or the default),
  // that its class is an event class and its values fit; builds the instance
  // and the record to store. `path` names it in the status's place.
  [[nodiscard]] Status Validate(const scenario::Json& json, const std::string& path,
                                Incoming* out) const;
  // The alerts of an Alertmanager notification as checked events (see
  // service_config/alertmanager.h); kNoAlertInput (and nothing done) when the
  // configuration has no "alertmanager" object. A value refused by the
  // event's checks is reported at the label or annotation it came from.
  [[nodiscard]] Status MapAlertmanager(const scenario::Json& payload, AlertBatch* batch,
                                       std::vector<Incoming>* events) const;
  // Stores and queues `events` (all or none); why not when refused.
  Status Submit(std::vector<Incoming>&& events, std::vector<std::shared_ptr<Job>>* jobs);
  // Waits until the store holds `jobs` on disk; false when it failed (they
  // are then never processed).
  bool WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs);

  // Re-reads the configuration file and puts it in force (logging what
  // changed). Why not, for the caller to log, when it is invalid or changes
  // what only a restart can change; the running one then stays. Its outcome
  // is kept (last_reload_refusal, the reload metrics) until the next one.
  [[nodiscard]] Status Reload();
  void BeginStop();
  // Lets the queues empty until `deadline`; true when they did.
  bool Drain(std::chrono::steady_clock::time_point deadline);
  // Stops the workers after the events in hand, answers the waiters of what
  // is left (it stays in the store), deletes the profiles, closes the
  // store.
  void Shutdown();

  bool accepting() const { return profiles_.accepting(); }
  // Accepting, with a store that writes; `*why` says why not.
  bool ready(std::string* why = nullptr) const;
  StateStore* state() { return state_.get(); }
  std::vector<ProfileState> profile_states() const { return profiles_.States(); }
  Metrics& metrics() { return metrics_; }
  ResultStream& stream() { return stream_; }
  // A copy of what may change on reload.
  std::string token() const;
  std::chrono::seconds wait_time() const;
  const Config& config() const { return config_; }  // restart-only fields
  // Told when the store's writes start failing (why) and when they work
  // again (empty), from the store's thread.
  void SetHealthListener(std::function<void(const std::string& failure)> listener);
  // Why the last reload was refused; empty when it succeeded or none came.
  std::string last_reload_refusal() const;

 private:
  void LogTee(int priority, const std::string& component, const std::string& message);
  void Sample(Metrics& metrics);
  // Queues the store's unfinished events on their runners; drops (and
  // counts) those nothing can process any more.
  // Queues stored events for their profiles: this daemon's own at start, or
  // those `claimed` from a daemon that stopped.
  void Replay(std::vector<StateStore::Unfinished>& unfinished, bool claimed);
  Status BuildWorld();
  Status OpenState(std::vector<StateStore::Unfinished>* unfinished);
  // Moves the unfinished events of an older version's journal folder into
  // the store, then removes the folder.
  Status ImportJournal(std::vector<StateStore::Unfinished>* unfinished);
  void Record(const AmActionOutcome& outcome);
  Status ReloadFile();

  CActionManagerManager* manager_;
  Config config_;
  // Before the world: its providers refer to it.
  CommandMethods commands_;
  world::World* world_ = nullptr;
  std::unique_ptr<world::World> world_owner_;
  CounterTable counters_;
  HistoryBuffer history_;
  std::unique_ptr<StateStore> state_;
  ResultsFile results_;
  ResultStream stream_;
  Metrics metrics_;
  std::unique_ptr<ActionMetrics> action_metrics_;  // counts while the daemon runs
  Engine engine_;
  ProfileSet profiles_{engine_};

  // The reloadable settings besides the profiles. A reload swaps the profile
  // set first and these after it; a request in between may meet the new
  // profiles with the old token or alert mapping, each consistent by itself.
  mutable std::mutex settings_mu_;
  std::shared_ptr<const AlertInput> alerts_;  // replaced whole by a reload
  std::string token_;
  int wait_seconds_ = 60;
  std::string reload_refusal_;
  std::function<void(const std::string&)> health_listener_;
  bool shut_down_ = false;
};

}  // namespace service
