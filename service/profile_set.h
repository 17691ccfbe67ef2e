// The running profiles: one ProfileRunner (queue and worker) for each
// configured profile, created at start, changed by reloads, drained and torn
// down at stop, and the gate through which accepted events reach them.
//
// Acceptance (Admit) is all or nothing for a request: under the set's lock it
// checks that the set accepts, that every profile concerned has room (a
// request with more events for one profile than queue_limit is refused as too
// large, 413, since no retry could succeed), and
// journals the events (the journal numbers them consecutively), then queues
// them. Because numbering and queueing happen under the same lock, a
// profile's events are queued in the order of their numbers, which is the
// order of acceptance.
//
// Create, Requeue, Start, Build, Swap, BeginStop, Drain and Shutdown come
// from one thread (the daemon's life cycle); Admit, Resolve, Targets, States
// and accepting from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/profile.h"
#include "service/status.h"
#include "service_config/alertmanager.h"
#include "service_config/config.h"

namespace service {

// A profile as GET /v1/status shows it. `state`: "running" (its worker takes
// events), "draining" (a reload removed it; it finishes its queue) or
// "stopped".
struct ProfileState {
  std::string name;
  std::string state;
  std::size_t queue_depth = 0;  // waiting, the event in hand included
  bool is_default = false;
};

class ProfileSet {
 public:
  // Components it makes come from `engine`, which outlives the set.
  explicit ProfileSet(Engine& engine) : engine_(engine) {}
  ~ProfileSet() { (void)Shutdown({}); }
  ProfileSet(const ProfileSet&) = delete;
  ProfileSet& operator=(const ProfileSet&) = delete;

  // A component and a runner for each of `profiles`; the workers wait for
  // Start, so that replayed events are queued first. The library's refusal
  // when a component cannot be created.
  [[nodiscard]] Status Create(const std::vector<ProfileConfig>& profiles,
                              std::string default_profile, std::size_t queue_limit);
  // Queues a replayed job whatever the limit; false when no profile of its
  // name runs.
  bool Requeue(std::shared_ptr<Job> job);
  // Starts the workers and opens acceptance.
  void Start();

  // The profile an event goes to: `*profile` when `given`, otherwise the
  // default. A kInvalid status at "properties.ProfileName" when there is no
  // default or the profile does not run.
  [[nodiscard]] Status Resolve(bool given, std::string* profile) const;
  // The running profiles and the default, for mapping alerts.
  void Targets(AlertTargets* targets) const;
  // The configured profiles by name, then those draining after a reload.
  std::vector<ProfileState> States() const;

  // Numbers `payloads` durably from `*first` on, or says why not; called
  // with the set's lock held.
  using JournalFn =
      std::function<Status(const std::vector<std::string>& payloads, std::uint64_t* first)>;
  // Journals and queues `events` (all or none); why not when refused.
  Status Admit(std::vector<Incoming>&& events, const JournalFn& journal,
               std::vector<std::shared_ptr<Job>>* jobs);

  // A reload in two steps, so that nothing changes unless every component
  // could be made. Build makes new components for the profiles of `profiles`
  // that are new or changed; the library's refusal otherwise.
  using Built = std::map<std::string, std::unique_ptr<Component>>;
  [[nodiscard]] Status Build(const std::vector<ProfileConfig>& profiles, Built* built) const;
  // Puts `built` in force, applies the new default and queue limit, and lets
  // profiles no longer in `profiles` finish their queues; deletes retired
  // runners that have finished. "N re-created, N added, N removed".
  std::string Swap(const std::vector<ProfileConfig>& profiles, Built& built,
                   std::string default_profile, std::size_t queue_limit);

  // No more acceptance.
  void BeginStop();
  bool accepting() const { return accepting_.load(); }
  // Lets the queues empty until `deadline`; true when they did.
  bool Drain(std::chrono::steady_clock::time_point deadline);
  // Stops the workers after the events in hand, calls `interrupt` (which
  // cuts short what they hold), joins them, answers the waiters of what is
  // left and deletes the profiles. How many events were left. Idempotent.
  std::size_t Shutdown(const std::function<void()>& interrupt);

 private:
  Engine& engine_;
  mutable std::mutex mu_;  // acceptance, the runner maps, the default and the limit
  std::map<std::string, std::unique_ptr<ProfileRunner>> runners_;
  std::vector<std::unique_ptr<ProfileRunner>> retired_;  // removed by a reload, draining
  std::string default_profile_;
  std::size_t queue_limit_ = 0;
  std::atomic<bool> accepting_{false};
};

}  // namespace service
