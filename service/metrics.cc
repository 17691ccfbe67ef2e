#include "service/metrics.h"

#include <prometheus/text_serializer.h>

#include "service/process_stats.h"

namespace service {
namespace {

using prometheus::BuildCounter;
using prometheus::BuildGauge;
using prometheus::BuildHistogram;

prometheus::Gauge& ProcessGauge(prometheus::Registry& registry, const char* name,
                                const char* help) {
  return BuildGauge().Name(name).Help(help).Register(registry).Add({});
}

// From a built-in method call (milliseconds) to a program near its two-minute
// time-out.
const prometheus::Histogram::BucketBoundaries kDurationBuckets = {
    0.001, 0.005, 0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};

}  // namespace

Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>()),
      received_(BuildCounter()
                    .Name("actionmanagerd_events_received_total")
                    .Help("Events received over HTTP and the socket")
                    .Register(*registry_)
                    .Add({})),
      accepted_(BuildCounter()
                    .Name("actionmanagerd_events_accepted_total")
                    .Help("Events journaled and queued, by profile")
                    .Register(*registry_)),
      rejected_(BuildCounter()
                    .Name("actionmanagerd_events_rejected_total")
                    .Help("Events refused, by reason")
                    .Register(*registry_)),
      processed_(BuildCounter()
                     .Name("actionmanagerd_events_processed_total")
                     .Help("Events the component processed, by profile and ProcessEvent result")
                     .Register(*registry_)),
      dropped_(BuildCounter()
                   .Name("actionmanagerd_events_dropped_total")
                   .Help("Accepted events that could not be processed, by profile and reason")
                   .Register(*registry_)),
      replayed_(BuildCounter()
                    .Name("actionmanagerd_events_replayed_total")
                    .Help("Unfinished events taken from the journal at start")
                    .Register(*registry_)
                    .Add({})),
      actions_(BuildCounter()
                   .Name("actionmanagerd_actions_total")
                   .Help("Actions run, by profile, kind and result code")
                   .Register(*registry_)),
      held_back_(BuildCounter()
                     .Name("actionmanagerd_actions_held_back_total")
                     .Help("Actions held back by their execution limit, by profile")
                     .Register(*registry_)),
      durations_(BuildHistogram()
                     .Name("actionmanagerd_action_duration_seconds")
                     .Help("Time an action took, by profile and kind")
                     .Register(*registry_)),
      queue_depth_(BuildGauge()
                       .Name("actionmanagerd_queue_depth")
                       .Help("Events waiting for their profile, the one in hand included")
                       .Register(*registry_)),
      children_(BuildGauge()
                    .Name("actionmanagerd_child_processes")
                    .Help("Child processes running")
                    .Register(*registry_)
                    .Add({})),
      journal_bytes_(BuildGauge()
                         .Name("actionmanagerd_journal_bytes")
                         .Help("Size of the journal's current segment")
                         .Register(*registry_)
                         .Add({})),
      journal_events_(BuildGauge()
                          .Name("actionmanagerd_journal_unfinished_events")
                          .Help("Events journaled and not yet finished")
                          .Register(*registry_)
                          .Add({})),
      alerts_received_(BuildCounter()
                           .Name("actionmanagerd_alerts_received_total")
                           .Help("Alerts in Alertmanager notifications, by status")
                           .Register(*registry_)),
      alerts_raised_(BuildCounter()
                         .Name("actionmanagerd_alerts_raised_total")
                         .Help("Alerts accepted as events, by status")
                         .Register(*registry_)),
      alerts_ignored_(BuildCounter()
                          .Name("actionmanagerd_alerts_ignored_total")
                          .Help("Alerts not raised by the configuration, by status")
                          .Register(*registry_)),
      // A counter by name; a gauge here because it is set from the kernel's
      // figure rather than counted up.
      cpu_seconds_(ProcessGauge(*registry_, "process_cpu_seconds_total",
                                "User and system CPU time spent, in seconds")),
      resident_bytes_(ProcessGauge(*registry_, "process_resident_memory_bytes",
                                   "Resident memory size in bytes")),
      virtual_bytes_(ProcessGauge(*registry_, "process_virtual_memory_bytes",
                                  "Virtual memory size in bytes")),
      start_time_(ProcessGauge(*registry_, "process_start_time_seconds",
                               "Start time of the process since the Unix epoch, in seconds")),
      open_fds_(ProcessGauge(*registry_, "process_open_fds", "Open file descriptors")),
      max_fds_(ProcessGauge(*registry_, "process_max_fds",
                            "Maximum number of open file descriptors")) {
  BuildGauge()
      .Name("actionmanagerd_build_info")
      .Help("The release of actionmanagerd that runs; always 1")
      .Register(*registry_)
      .Add({{"version", AM_VERSION}})
      .Set(1);
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

std::string Metrics::Render() {
  if (sampler_) sampler_(*this);
  const ProcessStats process = ReadProcessStats();
  if (process.ok) {
    cpu_seconds_.Set(process.cpu_seconds);
    resident_bytes_.Set(process.resident_bytes);
    virtual_bytes_.Set(process.virtual_bytes);
    start_time_.Set(process.start_time_seconds);
    open_fds_.Set(process.open_fds);
    max_fds_.Set(process.max_fds);
  }
  return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace service
