#include "service/profile.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "scenario/scenario_world.h"
#include "service/log.h"
#include "wbem/holders.h"

namespace service {
namespace {

std::string Utc() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(millis));
  return text;
}

}  // namespace

bool Job::WaitDone(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_until(lock, deadline, [&] { return done_; });
}

bool Job::done() const {
  std::lock_guard<std::mutex> lock(mu_);
  return done_;
}

void Job::Complete() {
  std::lock_guard<std::mutex> lock(mu_);
  done_ = true;
  cv_.notify_all();
}

Json Job::Outcome() const {
  Json outcome = Json::object();
  outcome["seq"] = seq;
  outcome["profile"] = profile;
  outcome["class"] = event.class_name;
  outcome["result"] = result ? Json(*result) : Json(nullptr);
  outcome["result_events"] = result_events;
  if (!output.empty()) outcome["output"] = output;
  if (!dropped.ok()) outcome["dropped"] = dropped.text();
  return outcome;
}

Component::Component(Engine& engine, const ProfileConfig& profile)
    : engine_(engine),
      profile_(profile.name),
      has_program_actions_(profile.has_program_actions),
      fingerprint_(profile.fingerprint) {}

Status Component::Create(Engine& engine, const ProfileConfig& profile,
                         std::unique_ptr<Component>* out) {
  std::unique_ptr<Component> component(new Component(engine, profile));
  Component* self = component.get();
  component->services_ = scenario::ObservingServices::Create(
      engine.world->ns().Services(), [self](IWbemClassObject* object) { self->Indicated(object); },
      [self](int result) { self->Processed(result); });
  if (engine.manager->CompCreate(profile.name.c_str(), &component->handle_,
                                 profile.settings.get()) == 0) {
    return {Reason::kFailed, "CompCreate refused the settings of profile \"" + profile.name + "\"",
            ""};
  }
  if (engine.manager->CompStart(component->services_.get(), component->handle_) == 0) {
    // The destructor deletes the created component.
    return {Reason::kFailed, "CompStart failed for profile \"" + profile.name + "\"", ""};
  }
  component->started_ = true;
  *out = std::move(component);
  return Status::Ok();
}

Component::~Component() {
  if (handle_ == nullptr) return;
  if (started_) (void)engine_.manager->CompStop(handle_);
  (void)engine_.manager->CompDelete(handle_);
}

Status Component::Deliver(Job& job) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    current_ = &job;
    processed_ = false;
  }
  const HRESULT raised = engine_.world->ns().Raise(job.instance.get());
  std::unique_lock<std::mutex> lock(mu_);
  if (raised != WBEM_S_NO_ERROR) {
    current_ = nullptr;
    return {Reason::kRaiseRefused,
            RowOf(Reason::kRaiseRefused).message + (": " + scenario::ResultText(raised)), ""};
  }
  // Every accepted event matches the profile's subscription (its class
  // derives from ZRV_Event and its ProfileName is the profile's), so the
  // delivery comes; a component that lost its subscription is the exception.
  while (!processed_) {
    if (!processed_cv_.wait_for(lock, std::chrono::seconds(1), [&] { return processed_; }) &&
        engine_.manager->CompCheck(nullptr, handle_) == 0) {
      current_ = nullptr;
      return {Reason::kNotSubscribed, "", ""};
    }
  }
  current_ = nullptr;
  return Status::Ok();
}

void Component::Indicated(IWbemClassObject* object) {
  const Json properties = scenario::PropertiesToJson(object, true);
  std::lock_guard<std::mutex> lock(mu_);
  Job* job = current_;
  if (job == nullptr) return;  // not one of this component's deliveries
  Json message = Json::object();
  message["seq"] = job->seq;
  message["profile"] = profile_;
  message["properties"] = properties;
  engine_.stream->Publish("result", message.dump(-1, ' ', false, Json::error_handler_t::replace));
  job->result_events.push_back(properties);
}

void Component::Processed(int result) {
  std::lock_guard<std::mutex> lock(mu_);
  if (current_ == nullptr) return;
  current_->result = result;
  processed_ = true;
  processed_cv_.notify_all();
}

ProfileRunner::ProfileRunner(std::string name, Engine& engine,
                             std::unique_ptr<Component> component, std::size_t limit)
    : name_(std::move(name)),
      engine_(engine),
      limit_(limit),
      component_(std::move(component)),
      fingerprint_(component_->fingerprint()) {}

ProfileRunner::~ProfileRunner() {
  StopNow();
  Join();
}

void ProfileRunner::Start() {
  worker_ = std::thread([this] { Run(); });
}

bool ProfileRunner::HasRoom(std::size_t count) const {
  std::lock_guard<std::mutex> lock(mu_);
  return !finish_when_empty_ && !stop_now_ &&
         queue_.size() + (busy_ ? 1 : 0) + count <= limit_;
}

void ProfileRunner::Push(std::shared_ptr<Job> job) {
  std::size_t depth;
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(job));
    depth = queue_.size() + (busy_ ? 1 : 0);
  }
  wake_.notify_one();
  engine_.metrics->SetQueueDepth(name_, static_cast<double>(depth));
}

void ProfileRunner::SetLimit(std::size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_ = limit;
}

void ProfileRunner::Replace(std::unique_ptr<Component> next) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    fingerprint_ = next->fingerprint();
    next_ = std::move(next);
  }
  wake_.notify_one();
}

std::string ProfileRunner::fingerprint() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fingerprint_;
}

void ProfileRunner::FinishQueue() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    finish_when_empty_ = true;
  }
  wake_.notify_one();
}

void ProfileRunner::StopNow() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_now_ = true;
  }
  wake_.notify_one();
}

bool ProfileRunner::Finished() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finished_ || !worker_.joinable();
}

void ProfileRunner::Join() {
  if (worker_.joinable()) worker_.join();
  // The component goes with the runner's last event, on this thread.
  std::unique_ptr<Component> last;
  std::unique_ptr<Component> next;
  {
    std::lock_guard<std::mutex> lock(mu_);
    last = std::move(component_);
    next = std::move(next_);
  }
}

std::deque<std::shared_ptr<Job>> ProfileRunner::TakeQueue() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(queue_, {});
}

std::size_t ProfileRunner::depth() const {
  std::lock_guard<std::mutex> lock(mu_);
  return queue_.size() + (busy_ ? 1 : 0);
}

void ProfileRunner::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [&] {
      return stop_now_ || next_ || !queue_.empty() || finish_when_empty_;
    });
    if (next_) {
      std::unique_ptr<Component> old = std::exchange(component_, std::move(next_));
      lock.unlock();
      old.reset();  // CompStop and CompDelete, between two events
      lock.lock();
      continue;
    }
    if (stop_now_ || queue_.empty()) break;  // empty here means finish_when_empty_
    std::shared_ptr<Job> job = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    Process(job);
    lock.lock();
    busy_ = false;
    engine_.metrics->SetQueueDepth(name_, static_cast<double>(queue_.size()));
  }
  finished_ = true;
}

void ProfileRunner::Process(const std::shared_ptr<Job>& job) {
  // Nothing is done about an event before its 202 could have been sent, and
  // nothing at all about one whose row could not be stored: its client was
  // answered 503 and will send it again.
  if (!engine_.state->WaitDurable(job->seq)) {
    job->dropped = {Reason::kJournalFailed, "", ""};
    engine_.metrics->Dropped(name_, job->dropped.row().label);
    job->Complete();
    return;
  }
  if (!job->instance) {
    scenario::InputError error;
    if (!scenario::MakeInstance(engine_.world->ns(), job->event, &job->profile, &job->instance,
                                &error)) {
      job->dropped = {Reason::kInvalid,
                      "invalid: " + (error.place.empty() ? "" : error.place + ": ") + error.message,
                      error.place};
      Conclude(*job);
      return;
    }
  }
  std::unique_lock<std::mutex> program(engine_.program_lock, std::defer_lock);
  if (component_->has_program_actions()) program.lock();
  job->dropped = component_->Deliver(*job);
  if (program.owns_lock()) program.unlock();
  Conclude(*job);
}

void ProfileRunner::Conclude(Job& job) {
  std::vector<HistoryRow> history = engine_.history->Take(name_);
  for (const HistoryRow& row : history) {
    if (row.output.empty() && row.error.empty()) continue;
    job.output.push_back(Json{{"rule", row.rule},
                              {"action", row.action},
                              {"kind", row.kind},
                              {"stdout", row.output},
                              {"stderr", row.error}});
  }
  Json line = job.Outcome();
  line["time"] = Utc();
  line["event"] = Json::object();
  line["event"]["class"] = job.event.class_name;
  line["event"]["properties"] = Json::object();
  for (const auto& [name, value] : job.event.properties) line["event"]["properties"][name] = value;
  const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (engine_.results != nullptr && !engine_.results->Append(text)) {
    Log(kPriorityErr, "cannot write the result of event " + std::to_string(job.seq) +
                          " to the results file");
  }
  engine_.stream->Publish("processed", text);
  if (job.dropped.ok()) {
    engine_.metrics->Processed(name_, job.result.value_or(0));
  } else {
    engine_.metrics->Dropped(name_, job.dropped.row().label);
    Log(kPriorityErr, "event " + std::to_string(job.seq) + " of profile \"" + name_ +
                          "\" dropped: " + job.dropped.text());
  }
  job.instance.Reset();
  if (engine_.results != nullptr) engine_.results->Sync();
  FinishRecord record;
  record.seq = job.seq;
  record.profile = name_;
  record.state = job.dropped.ok() ? "processed" : "dropped";
  record.outcome = job.Outcome().dump(-1, ' ', false, Json::error_handler_t::replace);
  record.counters = engine_.counters->TakeChanges(name_);
  record.history = std::move(history);
  // A failed commit is logged by the store and retried with its next one.
  (void)engine_.state->Finish(std::move(record));
  job.Complete();
}

}  // namespace service
