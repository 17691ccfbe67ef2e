// The daemon's metrics, served at /metrics in the Prometheus text format.
//
//   actionmanagerd_events_received_total                 events in requests and socket lines
//   actionmanagerd_events_accepted_total{profile}        stored and queued
//   actionmanagerd_events_rejected_total{reason}         invalid, too_large, queue_full,
//                                                        journal_full, journal_failed, stopping
//   actionmanagerd_events_processed_total{profile,result} ProcessEvent answered 1 or 0
//   actionmanagerd_events_dropped_total{profile,reason}  accepted but never processed
//   actionmanagerd_events_replayed_total                 taken from the state database at start
//   actionmanagerd_actions_total{profile,kind,code}      one per result event (900 / 901)
//   actionmanagerd_actions_held_back_total{profile}      held back by the execution limit
//   actionmanagerd_action_duration_seconds{profile,kind} histogram
//   actionmanagerd_queue_depth{profile}                  waiting, the event in hand included
//   actionmanagerd_child_processes                       children running now
//   actionmanagerd_state_bytes                           the state database's size (with its WAL)
//   actionmanagerd_state_unfinished_events               accepted and not yet finished
//   actionmanagerd_state_writable                        0 while the state database's writes fail
//   actionmanagerd_state_write_failures_total            commits of the state database that failed
//   actionmanagerd_alerts_received_total{status}         alerts in Alertmanager notifications
//   actionmanagerd_alerts_raised_total{status}           of them, accepted as events
//   actionmanagerd_alerts_ignored_total{status}          of them, resolved without a class
//   actionmanagerd_alerts_ignored_total{reason}          of them, without a property their
//                                                        class requires ("missing_property")
//   actionmanagerd_build_info{version}                   1, naming the release that runs
//   actionmanagerd_config_last_reload_successful         1 after a start or reload put the file
//                                                        in force, 0 after a refused reload
//   actionmanagerd_config_last_reload_success_timestamp_seconds  Unix time of that start or reload
//   process_cpu_seconds_total, process_resident_memory_bytes,
//   process_virtual_memory_bytes, process_start_time_seconds, process_open_fds,
//   process_max_fds                                      the daemon's own process, read from
//                                                        its /proc entries at each scrape
//
// Once processing has caught up, received = processed + dropped + rejected.
// An event of a request that is rejected as a whole counts once per event it
// held; a body that could not be split into events (too large, not JSON)
// counts as one. For alerts, received - raised - ignored are those of
// refused notifications (their events count as rejected). Thread-safe (the registry and the metrics
// are).
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <functional>
#include <memory>
#include <string>

namespace service {

class Metrics {
 public:
  Metrics();

  void Received(double count) { received_.Increment(count); }
  void Accepted(const std::string& profile, double count = 1);
  void Rejected(const std::string& reason, double count);
  void Processed(const std::string& profile, int result);
  void Dropped(const std::string& profile, const std::string& reason);
  void Replayed(double count) { replayed_.Increment(count); }
  void Action(const std::string& profile, const std::string& kind, const std::string& code,
              double seconds);
  void HeldBack(const std::string& profile);
  void SetQueueDepth(const std::string& profile, double depth);
  // `status`: "firing" or "resolved".
  void Alerts(const std::string& status, double received, double raised, double ignored);
  void AlertsIgnored(const std::string& reason, double ignored);

  // A start or reload put the configuration in force (`ok`), or a reload
  // was refused and the running one stays.
  void ConfigLoaded(bool ok);

  // Values read when the metrics are served.
  void SetSampler(std::function<void(Metrics&)> sampler) { sampler_ = std::move(sampler); }
  void SetChildren(double count) { children_.Set(count); }
  void SetState(double bytes, double events) {
    state_bytes_.Set(bytes);
    state_events_.Set(events);
  }
  void StateHealthy(bool ok) { state_writable_.Set(ok ? 1 : 0); }
  // Raises the failure count to `total` (the store's own count).
  void StateWriteFailures(double total) {
    if (total > state_failures_.Value()) state_failures_.Increment(total - state_failures_.Value());
  }

  // The text exposition of every metric.
  std::string Render();

 private:
  std::shared_ptr<prometheus::Registry> registry_;
  prometheus::Counter& received_;
  prometheus::Family<prometheus::Counter>& accepted_;
  prometheus::Family<prometheus::Counter>& rejected_;
  prometheus::Family<prometheus::Counter>& processed_;
  prometheus::Family<prometheus::Counter>& dropped_;
  prometheus::Counter& replayed_;
  prometheus::Family<prometheus::Counter>& actions_;
  prometheus::Family<prometheus::Counter>& held_back_;
  prometheus::Family<prometheus::Histogram>& durations_;
  prometheus::Family<prometheus::Gauge>& queue_depth_;
  prometheus::Gauge& children_;
  prometheus::Gauge& state_bytes_;
  prometheus::Gauge& state_events_;
  prometheus::Gauge& state_writable_;
  prometheus::Counter& state_failures_;
  prometheus::Family<prometheus::Counter>& alerts_received_;
  prometheus::Family<prometheus::Counter>& alerts_raised_;
  prometheus::Family<prometheus::Counter>& alerts_ignored_;
  prometheus::Gauge& reload_successful_;
  prometheus::Gauge& reload_success_time_;
  // The process's own figures, by their conventional names.
  struct ProcessGauges {
    explicit ProcessGauges(prometheus::Registry& registry);
    void Set();  // from this process's /proc entries, when they can be read
    prometheus::Gauge& cpu_seconds;
    prometheus::Gauge& resident_bytes;
    prometheus::Gauge& virtual_bytes;
    prometheus::Gauge& start_time;
    prometheus::Gauge& open_fds;
    prometheus::Gauge& max_fds;
  };
  ProcessGauges process_;
  std::function<void(Metrics&)> sampler_;
};

}  // namespace service
