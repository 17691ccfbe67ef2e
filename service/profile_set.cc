#include "service/profile_set.h"

#include <thread>
#include <utility>

namespace service {

Status ProfileSet::Create(const std::vector<ProfileConfig>& profiles, std::string default_profile,
                          std::size_t queue_limit) {
  std::lock_guard<std::mutex> lock(mu_);
  default_profile_ = std::move(default_profile);
  queue_limit_ = queue_limit;
  for (const ProfileConfig& profile : profiles) {
    std::unique_ptr<Component> component;
    if (Status made = Component::Create(engine_, profile, &component); !made.ok()) return made;
    runners_[profile.name] =
        std::make_unique<ProfileRunner>(profile.name, engine_, std::move(component), queue_limit_);
  }
  return Status::Ok();
}

bool ProfileSet::Requeue(std::shared_ptr<Job> job) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto runner = runners_.find(job->profile);
  if (runner == runners_.end()) return false;
  runner->second->Push(std::move(job));
  return true;
}

void ProfileSet::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [name, runner] : runners_) runner->Start();
  accepting_ = true;
}

Status ProfileSet::Resolve(bool given, std::string* profile) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!given) {
    *profile = default_profile_;
    if (profile->empty()) {
      return {Reason::kInvalid, "is required: more than one profile runs and none is the default",
              "properties.ProfileName"};
    }
  }
  if (runners_.find(*profile) == runners_.end()) {
    return {Reason::kInvalid, "\"" + *profile + "\" is not a running profile",
            "properties.ProfileName"};
  }
  return Status::Ok();
}

void ProfileSet::Targets(AlertTargets* targets) const {
  std::lock_guard<std::mutex> lock(mu_);
  targets->default_profile = default_profile_;
  for (const auto& [name, runner] : runners_) targets->profiles.insert(name);
}

std::vector<ProfileState> ProfileSet::States() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<ProfileState> states;
  for (const auto& [name, runner] : runners_) {
    states.push_back({name, runner->Finished() ? "stopped" : "running", runner->depth(),
                      name == default_profile_});
  }
  for (const auto& runner : retired_) {
    if (!runner->Finished()) states.push_back({runner->name(), "draining", runner->depth(), false});
  }
  return states;
}

Status ProfileSet::Admit(std::vector<Incoming>&& events, const JournalFn& journal,
                         std::vector<std::shared_ptr<Job>>* jobs) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!accepting_) return {Reason::kStopping, "", ""};
  std::map<std::string, std::size_t> counts;
  for (const Incoming& event : events) ++counts[event.profile];
  for (const auto& [profile, count] : counts) {
    const auto runner = runners_.find(profile);
    if (runner == runners_.end()) {
      return {Reason::kInvalid, "\"" + profile + "\" is not a running profile", ""};
    }
    // Retrying cannot help a request its queue could never hold (Alertmanager
    // retries a 5xx for ever): it is too large, not early.
    if (count > queue_limit_) {
      return {Reason::kTooLarge,
              std::to_string(count) + " events for profile \"" + profile +
                  "\" are more than its queue can ever hold (queue_limit " +
                  std::to_string(queue_limit_) + ")",
              ""};
    }
    if (!runner->second->HasRoom(count)) {
      return {Reason::kQueueFull, "the queue of profile \"" + profile + "\" is full", ""};
    }
  }
  std::vector<std::string> payloads;
  payloads.reserve(events.size());
  for (const Incoming& event : events) payloads.push_back(event.payload);
  std::uint64_t first = 0;
  if (Status journaled = journal(payloads, &first); !journaled.ok()) return journaled;
  for (std::size_t i = 0; i < events.size(); ++i) {
    auto job = std::make_shared<Job>();
    job->seq = first + i;
    static_cast<Incoming&>(*job) = std::move(events[i]);
    jobs->push_back(job);
    engine_.metrics->Accepted(job->profile);
    runners_.at(job->profile)->Push(std::move(job));
  }
  return Status::Ok();
}

Status ProfileSet::Build(const std::vector<ProfileConfig>& profiles, Built* built) const {
  for (const ProfileConfig& profile : profiles) {
    std::string fingerprint;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const auto runner = runners_.find(profile.name);
      if (runner != runners_.end()) fingerprint = runner->second->fingerprint();
    }
    if (fingerprint == profile.fingerprint) continue;
    std::unique_ptr<Component> component;
    if (Status made = Component::Create(engine_, profile, &component); !made.ok()) return made;
    (*built)[profile.name] = std::move(component);
  }
  return Status::Ok();
}

std::string ProfileSet::Swap(const std::vector<ProfileConfig>& profiles, Built& built,
                             std::string default_profile, std::size_t queue_limit) {
  int recreated = 0, added = 0, removed = 0;
  std::vector<std::unique_ptr<ProfileRunner>> finished;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [name, component] : built) {
      const auto runner = runners_.find(name);
      if (runner != runners_.end()) {
        runner->second->Replace(std::move(component));
        ++recreated;
      } else {
        auto fresh =
            std::make_unique<ProfileRunner>(name, engine_, std::move(component), queue_limit);
        fresh->Start();
        runners_[name] = std::move(fresh);
        ++added;
      }
    }
    for (auto it = runners_.begin(); it != runners_.end();) {
      bool kept = false;
      for (const ProfileConfig& profile : profiles) kept |= profile.name == it->first;
      if (kept) {
        it->second->SetLimit(queue_limit);
        ++it;
        continue;
      }
      it->second->FinishQueue();  // what was accepted for it still runs
      retired_.push_back(std::move(it->second));
      it = runners_.erase(it);
      ++removed;
    }
    default_profile_ = std::move(default_profile);
    queue_limit_ = queue_limit;
    for (auto it = retired_.begin(); it != retired_.end();) {
      if ((*it)->Finished()) {
        finished.push_back(std::move(*it));
        it = retired_.erase(it);
      } else {
        ++it;
      }
    }
  }
  finished.clear();  // joins and deletes their components, outside the lock
  return std::to_string(recreated) + " re-created, " + std::to_string(added) + " added, " +
         std::to_string(removed) + " removed";
}

void ProfileSet::BeginStop() {
  std::lock_guard<std::mutex> lock(mu_);
  accepting_ = false;
}

bool ProfileSet::Drain(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    std::size_t waiting = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& [name, runner] : runners_) waiting += runner->depth();
      for (const auto& runner : retired_) waiting += runner->depth();
    }
    if (waiting == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::size_t ProfileSet::Shutdown(const std::function<void()>& interrupt) {
  BeginStop();
  std::vector<std::unique_ptr<ProfileRunner>> runners;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [name, runner] : runners_) runners.push_back(std::move(runner));
    for (auto& runner : retired_) runners.push_back(std::move(runner));
    runners_.clear();
    retired_.clear();
  }
  for (auto& runner : runners) runner->StopNow();
  if (interrupt) interrupt();
  std::size_t left = 0;
  for (auto& runner : runners) {
    runner->Join();
    for (const std::shared_ptr<Job>& job : runner->TakeQueue()) {
      job->processed_before_stop = false;
      job->Complete();
      ++left;
    }
  }
  runners.clear();  // CompStop and CompDelete of every profile
  return left;
}

}  // namespace service
