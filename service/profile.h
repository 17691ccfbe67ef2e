// How events reach a profile's component, one after another.
//
// Concurrency model. Each profile has a ProfileRunner: a bounded queue and one
// worker thread that hands the profile's events to its component one at a
// time, in the order they were accepted, and waits for each to finish before
// it takes the next; the repository's delivery thread of the profile's sink
// runs ProcessEvent meanwhile. Profiles run side by side, so a slow action in
// one profile delays only that profile's queue; when that queue is full, new
// events for it are refused (503) while other profiles keep accepting.
//
// The process has one current directory and program actions change it for
// the time of a run (and build their environment from the process's). A
// profile whose settings hold a program action therefore holds the engine's
// program lock for the whole of each delivery: program-running profiles take
// turns, event by event, while profiles without program actions (built-in
// and task actions only, which never touch the directory) run alongside.
// The environment is set once at start and never changed while workers run.
//
// A Job is one accepted event, from acceptance to its outcome; callers of
// wait mode wait on it. A Component is one CompCreate..CompDelete of a
// profile, with the observing services that tell its result events and its
// ProcessEvent answers apart by event. A reload swaps a runner's component
// between two events; the old one is stopped and deleted by the worker.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "component/action_manager_manager.h"
#include "scenario/json_input.h"
#include "scenario/observing_services.h"
#include "scenario/scenario.h"
#include "service_config/config.h"
#include "service/state_store.h"
#include "service/metrics.h"
#include "service/results.h"
#include "service/status.h"
#include "wbem/com_ptr.h"
#include "world/world.h"

namespace service {

using scenario::Json;

// One event in the one form it has from intake to the worker: checked
// (Daemon::Validate) or read back from the store at replay.
struct Incoming {
  std::string profile;
  scenario::ScenarioObject event;
  std::string payload;  // the stored text: {"profile": ..., "event": {...}}
  // Built at acceptance; null for a replayed event until it is processed.
  wbem::ComPtr<IWbemClassObject> instance;
};

// An accepted event: its number in the store, and its outcome.
struct Job : Incoming {
  std::uint64_t seq = 0;

  // The outcome; filled by the worker, read after WaitDone.
  std::optional<int> result;
  Status dropped;  // why it was not processed (ok: it was)
  Json result_events = Json::array();
  // What its actions' programs and commands printed: {"rule", "action",
  // "kind", "stdout", "stderr"} for each action that printed anything.
  Json output = Json::array();
  bool processed_before_stop = true;

  // Until the outcome is known or `deadline`; true when known.
  bool WaitDone(std::chrono::steady_clock::time_point deadline);
  bool done() const;
  void Complete();
  // {"seq", "profile", "class", "result", "result_events"[, "output"][, "dropped"]}
  Json Outcome() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

// What every runner uses; owned by the daemon, outliving the runners.
struct Engine {
  world::World* world = nullptr;
  StateStore* state = nullptr;
  CounterTable* counters = nullptr;  // the changes a delivery made, for its finish
  HistoryBuffer* history = nullptr;
  ResultsFile* results = nullptr;  // null: no results file
  ResultStream* stream = nullptr;
  Metrics* metrics = nullptr;
  CActionManagerManager* manager = nullptr;
  std::mutex program_lock;
};

class Component {
 public:
  // CompCreate and CompStart into `*out`; why not when the library refused.
  [[nodiscard]] static Status Create(Engine& engine, const ProfileConfig& profile,
                                     std::unique_ptr<Component>* out);
  // CompStop, then CompDelete.
  ~Component();
  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  bool has_program_actions() const { return has_program_actions_; }
  const std::string& fingerprint() const { return fingerprint_; }
  // Raises the job's event and waits until ProcessEvent returned. Ok, or
  // why the event was not processed.
  Status Deliver(Job& job);

 private:
  Component(Engine& engine, const ProfileConfig& profile);
  void Indicated(IWbemClassObject* object);
  void Processed(int result);

  Engine& engine_;
  const std::string profile_;
  const bool has_program_actions_;
  const std::string fingerprint_;
  wbem::ComPtr<scenario::ObservingServices> services_;
  void* handle_ = nullptr;
  bool started_ = false;
  std::mutex mu_;
  std::condition_variable processed_cv_;
  Job* current_ = nullptr;
  bool processed_ = false;
};

class ProfileRunner {
 public:
  ProfileRunner(std::string name, Engine& engine, std::unique_ptr<Component> component,
                std::size_t limit);
  // Stops after the event in hand and joins.
  ~ProfileRunner();
  ProfileRunner(const ProfileRunner&) = delete;
  ProfileRunner& operator=(const ProfileRunner&) = delete;

  const std::string& name() const { return name_; }
  void Start();

  // Whether `count` more events fit the queue.
  bool HasRoom(std::size_t count) const;
  // Queues a job; replayed jobs are queued whatever the limit.
  void Push(std::shared_ptr<Job> job);
  void SetLimit(std::size_t limit);
  // Uses `next` from the next event on.
  void Replace(std::unique_ptr<Component> next);
  std::string fingerprint() const;

  // The worker ends once the queue is empty.
  void FinishQueue();
  // The worker ends after the event in hand.
  void StopNow();
  bool Finished() const;
  void Join();
  // Events left in the queue (after Join).
  std::deque<std::shared_ptr<Job>> TakeQueue();
  std::size_t depth() const;

 private:
  void Run();
  void Process(const std::shared_ptr<Job>& job);
  void Conclude(Job& job);

  const std::string name_;
  Engine& engine_;
  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::size_t limit_;
  bool busy_ = false;
  bool finish_when_empty_ = false;
  bool stop_now_ = false;
  bool finished_ = false;
  std::unique_ptr<Component> component_;  // the worker's; swapped under mu_
  std::unique_ptr<Component> next_;
  std::string fingerprint_;
  std::thread worker_;
};

}  // namespace service
