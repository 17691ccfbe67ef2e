#include "service/metrics.h"

#include <prometheus/text_serializer.h>

#include <chrono>

#include "service/process_stats.h"

namespace service {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

// From a built-in method call (milliseconds) to a program near its two-minute
// time-out.
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

template <typename Builder>
auto& Family(Builder builder, prometheus::Registry& registry, const char* name, const char* help) {
  return builder.Name(name).Help(help).Register(registry);
}
auto& Counters(prometheus::Registry& registry, const char* name, const char* help) {
  return Family(BuildCounter(), registry, name, help);
}
auto& Gauges(prometheus::Registry& registry, const char* name, const char* help) {
  return Family(BuildGauge(), registry, name, help);
}
auto& Histograms(prometheus::Registry& registry, const char* name, const char* help) {
  return Family(BuildHistogram(), registry, name, help);
}

}  // namespace

// One metric family a line: the names and helps are the documented interface.
Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      received_(Counters(*registry_, "actionmanagerd_events_received_total",
                         "Events received over HTTP and the socket")
                    .Add({})),
      accepted_(Counters(*registry_, "actionmanagerd_events_accepted_total",
                         "Events stored and queued, by profile")),
      rejected_(Counters(*registry_, "actionmanagerd_events_rejected_total",
                         "Events refused, by reason")),
      processed_(Counters(*registry_, "actionmanagerd_events_processed_total",
                          "Events the component processed, by profile and ProcessEvent result")),
      dropped_(Counters(*registry_, "actionmanagerd_events_dropped_total",
                        "Accepted events that could not be processed, by profile and reason")),
      replayed_(Counters(*registry_, "actionmanagerd_events_replayed_total",
                         "Unfinished events taken from the state database at start")
                    .Add({})),
      actions_(Counters(*registry_, "actionmanagerd_actions_total",
                        "Actions run, by profile, kind and result code")),
      held_back_(Counters(*registry_, "actionmanagerd_actions_held_back_total",
                          "Actions held back by their execution limit, by profile")),
      durations_(Histograms(*registry_, "actionmanagerd_action_duration_seconds",
                            "Time an action took, by profile and kind")),
      queue_depth_(Gauges(*registry_, "actionmanagerd_queue_depth",
                          "Events waiting for their profile, the one in hand included")),
      children_(
          Gauges(*registry_, "actionmanagerd_child_processes", "Child processes running").Add({})),
      state_bytes_(Gauges(*registry_, "actionmanagerd_state_bytes",
                          "Size of the state database and its write-ahead log")
                       .Add({})),
      state_events_(Gauges(*registry_, "actionmanagerd_state_unfinished_events",
                           "Events stored and not yet finished")
                        .Add({})),
      state_writable_(Gauges(*registry_, "actionmanagerd_state_writable",
                             "0 while writes to the state database fail, 1 otherwise")
                          .Add({})),
      state_failures_(Counters(*registry_, "actionmanagerd_state_write_failures_total",
                               "Commits to the state database that failed")
                          .Add({})),
      alerts_received_(Counters(*registry_, "actionmanagerd_alerts_received_total",
                                "Alerts in Alertmanager notifications, by status")),
      alerts_raised_(Counters(*registry_, "actionmanagerd_alerts_raised_total",
                              "Alerts accepted as events, by status")),
      alerts_ignored_(Counters(*registry_, "actionmanagerd_alerts_ignored_total",
                               "Alerts not raised by the configuration, by status")),
      reload_successful_(Gauges(*registry_, "actionmanagerd_config_last_reload_successful",
                                "Whether the last configuration reload attempt was successful")
                             .Add({})),
      reload_success_time_(
          Gauges(*registry_, "actionmanagerd_config_last_reload_success_timestamp_seconds",
                 "Timestamp of the last successful configuration reload")
              .Add({})),
      process_(*registry_) {
  Gauges(*registry_, "actionmanagerd_build_info", "The release that runs; always 1")
      .Add({{"version", AM_VERSION}})
      .Set(1);
}

// A counter by name; gauges here because they are set from the kernel's
// figures rather than counted up.
Metrics::ProcessGauges::ProcessGauges(prometheus::Registry& registry)
    : cpu_seconds(Gauges(registry, "process_cpu_seconds_total",
                         "User and system CPU time spent, in seconds")
                      .Add({})),
      resident_bytes(
          Gauges(registry, "process_resident_memory_bytes", "Resident memory size in bytes")
              .Add({})),
      virtual_bytes(
          Gauges(registry, "process_virtual_memory_bytes", "Virtual memory size in bytes").Add({})),
      start_time(Gauges(registry, "process_start_time_seconds",
                        "Start time of the process since the Unix epoch, in seconds")
                     .Add({})),
      open_fds(Gauges(registry, "process_open_fds", "Open file descriptors").Add({})),
      max_fds(
          Gauges(registry, "process_max_fds", "Maximum number of open file descriptors").Add({})) {}

void Metrics::ProcessGauges::Set() {
  const ProcessStats process = ReadProcessStats();
  if (!process.ok) return;
  cpu_seconds.Set(process.cpu_seconds);
  resident_bytes.Set(process.resident_bytes);
  virtual_bytes.Set(process.virtual_bytes);
  start_time.Set(process.start_time_seconds);
  open_fds.Set(process.open_fds);
  max_fds.Set(process.max_fds);
}

void Metrics::Accepted(const std::string& profile, double count) {
  accepted_.Add({{"profile", profile}}).Increment(count);
}
void Metrics::Rejected(const std::string& reason, double count) {
  rejected_.Add({{"reason", reason}}).Increment(count);
}
void Metrics::Processed(const std::string& profile, int result) {
  processed_.Add({{"profile", profile}, {"result", std::to_string(result)}}).Increment();
}
void Metrics::Dropped(const std::string& profile, const std::string& reason) {
  dropped_.Add({{"profile", profile}, {"reason", reason}}).Increment();
}
void Metrics::Action(const std::string& profile, const std::string& kind, const std::string& code,
                     double seconds) {
  actions_.Add({{"profile", profile}, {"kind", kind}, {"code", code}}).Increment();
  durations_.Add({{"profile", profile}, {"kind", kind}}, kDurationBuckets).Observe(seconds);
}
void Metrics::HeldBack(const std::string& profile) {
  held_back_.Add({{"profile", profile}}).Increment();
}
void Metrics::SetQueueDepth(const std::string& profile, double depth) {
  queue_depth_.Add({{"profile", profile}}).Set(depth);
}

void Metrics::Alerts(const std::string& status, double received, double raised, double ignored) {
  alerts_received_.Add({{"status", status}}).Increment(received);
  alerts_raised_.Add({{"status", status}}).Increment(raised);
  alerts_ignored_.Add({{"status", status}}).Increment(ignored);
}

void Metrics::AlertsIgnored(const std::string& reason, double ignored) {
  alerts_ignored_.Add({{"reason", reason}}).Increment(ignored);
}

void Metrics::ConfigLoaded(bool ok) {
  reload_successful_.Set(ok ? 1 : 0);
  // To the microsecond (SetToCurrentTime keeps whole seconds): a start and
  // a reload within one second still tell apart.
  if (ok) {
    reload_success_time_.Set(std::chrono::duration<double>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
  }
}

std::string Metrics::Render() {
  if (sampler_) sampler_(*this);
  process_.Set();
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace service
