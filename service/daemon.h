// The daemon's core: the world, the profiles, the journal and the outputs,
// and the one way events get in.
//
// Acceptance (Submit) is all or nothing for a request: under one lock it
// checks that the daemon accepts, that every profile concerned has room, and
// journals the events (Journal::Submit assigns consecutive numbers), then
// queues them; the caller waits for WaitDurable before acknowledging. Because
// numbering and queueing happen under the same lock, a profile's events are
// queued in the order of their numbers, which is the order of acceptance.
//
// Life cycle: Start (world, profiles, journal replay, workers), any number of
// Reloads, then BeginStop (no more acceptance), Drain (until the queues are
// empty or the deadline) and Shutdown (profiles torn down, journal closed).
// Reload and the life cycle calls come from one thread (the signal loop);
// Submit, Validate and the accessors from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/action_metrics.h"
#include "service/command_method.h"
#include "service_config/config.h"
#include "service/event_input.h"
#include "service/journal.h"
#include "service/metrics.h"
#include "service/profile.h"
#include "service/results.h"
#include "service/status.h"
#include "world/world.h"

namespace service {

// One event, checked and ready to be journaled.
struct Incoming {
  std::string profile;
  scenario::ScenarioObject event;
  wbem::ComPtr<IWbemClassObject> instance;
  std::string payload;
};

class Daemon {
 public:
  explicit Daemon(CActionManagerManager* manager);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // Builds everything and starts the workers; replayed events are queued
  // first. False with `*error` (logged by the caller).
  [[nodiscard]] bool Start(Config config, std::string* error);

  // Checks one event: its form, its profile (ProfileName or the default),
  // that its class is an event class and its values fit; builds the instance.
  // `path` names it in messages.
  [[nodiscard]] bool Validate(const scenario::Json& json, const std::string& path, Incoming* out,
                              scenario::InputError* error) const;
  // The alerts of an Alertmanager notification as checked events (see
  // service_config/alertmanager.h); `*enabled` false (and nothing done) when the
  // configuration has no "alertmanager" object. A value refused by the
  // event's checks is reported at the label or annotation it came from.
  [[nodiscard]] bool MapAlertmanager(const scenario::Json& payload, bool* enabled,
                                     AlertBatch* batch, std::vector<Incoming>* events,
                                     scenario::InputError* error) const;
  // Journals and queues `events` (all or none); why not when refused.
  Status Submit(std::vector<Incoming>&& events, std::vector<std::shared_ptr<Job>>* jobs);
  // Waits until the journal holds `jobs` on disk; false when it failed.
  bool WaitDurable(const std::vector<std::shared_ptr<Job>>& jobs);

  // Re-reads the configuration file; false (and logged) when it is invalid
  // or changes what only a restart can change; the running one stays.
  bool Reload();
  void BeginStop();
  // Lets the queues empty until `deadline`; true when they did.
  bool Drain(std::chrono::steady_clock::time_point deadline);
  // Stops the workers after the events in hand, answers the waiters of what
  // is left (it stays in the journal), deletes the profiles, closes the
  // journal.
  void Shutdown();

  bool accepting() const { return accepting_.load(); }
  bool ready() const { return ready_.load() && accepting_.load(); }
  Metrics& metrics() { return metrics_; }
  ResultStream& stream() { return stream_; }
  // A copy of what may change on reload.
  std::string token() const;
  std::chrono::seconds wait_time() const;
  const Config& config() const { return config_; }  // restart-only fields

 private:
  struct AlertInput {
    AlertmanagerConfig config;
    ClassShape firing;
    ClassShape resolved;
  };

  void LogTee(int priority, const std::string& component, const std::string& message);
  void Sample(Metrics& metrics);
  // Queues the journal's unfinished events on their runners; drops (and
  // counts) those nothing can process any more.
  void Replay(std::vector<Journal::Unfinished>& unfinished);
  // New components for the profiles of `fresh` that are new or changed;
  // false (logged) when one is refused.
  bool BuildChanged(const Config& fresh, std::map<std::string, std::unique_ptr<Component>>* built);
  // Puts `fresh`'s reloadable settings, `built` and `alerts` in force under
  // the acceptance lock; "N re-created, N added, N removed".
  std::string Swap(const Config& fresh, std::map<std::string, std::unique_ptr<Component>>& built,
                   std::shared_ptr<const AlertInput> alerts);
  bool BuildWorld(std::string* error);
  // The properties `class_name` declares, inherited ones included.
  bool Shape(const std::string& class_name, ClassShape* shape, std::string* error) const;
  // The alert mapping of `config` with its classes' shapes; false when a
  // mapped property is not one the classes declare or cannot take text.
  bool PrepareAlerts(const AlertmanagerConfig& config, std::shared_ptr<const AlertInput>* out,
                     std::string* error) const;

  CActionManagerManager* manager_;
  Config config_;
  // Before the world: its providers refer to it.
  CommandMethods commands_;
  world::World* world_ = nullptr;
  std::unique_ptr<world::World> world_owner_;
  Journal journal_;
  ResultsFile results_;
  ResultStream stream_;
  Metrics metrics_;
  std::unique_ptr<ActionMetrics> action_metrics_;  // counts while the daemon runs
  Engine engine_;

  mutable std::mutex accept_mu_;  // acceptance, the runner map, the reloadable settings
  std::map<std::string, std::unique_ptr<ProfileRunner>> runners_;
  std::vector<std::unique_ptr<ProfileRunner>> retired_;  // removed by a reload, draining
  std::string default_profile_;
  std::shared_ptr<const AlertInput> alerts_;  // replaced whole by a reload
  std::string token_;
  std::size_t queue_limit_ = 0;
  int wait_seconds_ = 60;
  std::atomic<bool> accepting_{false};
  std::atomic<bool> ready_{false};
  bool shut_down_ = false;
};

}  // namespace service
