// The daemon's durable state, behind one interface so that the database can
// be SQLite (service/sqlite_state.h) or a server: the accepted events (the
// queue), the rules' execution counters and the history of what every
// action decision came to.
//
// Contracts every backend keeps:
// - Submit numbers events consecutively and WaitDurable returns true only
//   once their rows are committed; a 202 is sent after it. Rows of several
//   requests may share one transaction (group commit). When the commit
//   fails WaitDurable returns false for every event of it, none of them is
//   stored, and the event must not be processed (its client got a 503).
// - Finish commits, in one transaction, the event's final state, the
//   counters its delivery changed and its history rows. It waits for the
//   commit, so a worker takes its next event only after the last one is
//   finished on disk: after a crash, only the event in hand of each profile
//   can run again. When the commit fails the record is kept and retried with
//   the next commit; Finish then returns false.
// - A failed write makes the store unhealthy with the database's message
//   (healthy()); the store retries on its own, at least every second, and is
//   healthy again after the first commit that succeeds.
// - Open applies the schema's migrations in order (kSchemaVersion is the
//   number of them) and refuses a database it cannot read, never emptying it.
//
// Thread-safe: the transports submit and wait, the workers finish, the
// queries read, all at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

namespace service {

// An accepted event not finished yet.
struct UnfinishedEvent {
  std::uint64_t seq;
  std::string payload;
};

struct StateOptions {
  std::chrono::seconds counter_ttl{7 * 24 * 3600};  // an EventId not seen for this long is forgotten
  int history_days = 30;
  std::int64_t history_rows = 1000000;
  // The payload bytes of accepted, unfinished events the store takes at most
  // (Submit answers kFull beyond it).
  std::uint64_t max_queued_bytes = 64ull << 20;
  // Told when writes start failing (the database's message) and when they
  // succeed again (empty), on the store's own thread; it must not call the
  // store.
  std::function<void(const std::string& failure)> on_health;
  // Stores shared by several daemons: told, on the store's own thread, of
  // the unfinished events this daemon took over from one that stopped
  // renewing its lease; each must be processed and finished like any other.
  std::function<void(std::vector<UnfinishedEvent> events)> on_claimed;
};

// One counter: deliveries of `event_id` that ran the rule unhindered.
struct CounterRow {
  std::string profile;
  std::string rule;
  std::string event_id;
  std::int32_t count = 0;
  std::int64_t last_seen_ms = 0;  // Unix time of the last delivery of the id
};

// One action decision.
struct HistoryRow {
  std::int64_t id = 0;  // assigned by the store, increasing
  std::uint64_t seq = 0;
  std::string profile;
  std::string rule;
  std::int32_t action = 0;
  std::string kind;      // "builtin", "program", "task"
  std::string event_id;
  std::string decision;  // "ran", "held_back", "task_not_run"
  bool result_event = false;
  std::int32_t result_code = 0;
  std::int32_t return_value = 0;
  double seconds = 0;
  std::int64_t time_ms = 0;
  // What the program or the method's command printed, each at most
  // kHistoryOutputBytes.
  std::string output;
  std::string error;
};

inline constexpr std::size_t kHistoryOutputBytes = 64 * 1024;

struct FinishRecord {
  std::uint64_t seq = 0;
  std::string state;    // "processed" or "dropped"
  std::string outcome;  // the outcome as JSON text
  std::vector<CounterRow> counters;
  std::vector<HistoryRow> history;
  std::string profile;  // whose worker finishes it; empty for one no profile took
};

struct StoredEvent {
  std::uint64_t seq = 0;
  std::string payload;
  std::string state;  // "queued", "processed", "dropped"
  std::int64_t accepted_ms = 0;
  std::int64_t finished_ms = 0;  // 0 while queued
  std::string outcome;           // empty while queued
};

struct HistoryQuery {
  std::string profile;   // empty: any
  std::string event_id;  // empty: any
  std::optional<std::int64_t> since_ms, until_ms;  // time_ms >= since, < until
  int limit = 100;
  std::int64_t cursor = 0;  // only rows with id < cursor; 0: from the newest
};

class StateStore {
 public:
  using Unfinished = UnfinishedEvent;

  // kUnavailable: the database cannot be reached to number the events.
  enum class SubmitResult { kOk, kFull, kClosed, kUnavailable };

  virtual ~StateStore() = default;

  // Opens the store, applies migrations, loads the unfinished events in
  // sequence order and the counters younger than the time-to-live.
  [[nodiscard]] virtual bool Open(const StateOptions& options, std::vector<Unfinished>* unfinished,
                                  std::vector<CounterRow>* counters, std::string* error) = 0;
  // Numbers `payloads` from `*first_seq` on and queues their rows for the
  // next commit, all or none.
  virtual SubmitResult Submit(const std::vector<std::string>& payloads, std::uint64_t* first_seq) = 0;
  virtual bool WaitDurable(std::uint64_t seq) = 0;
  virtual bool Finish(FinishRecord record) = 0;
  // Commits what is queued and closes. Idempotent.
  virtual void Close() = 0;

  // Newest first; `*next_cursor` 0 when there are no more.
  [[nodiscard]] virtual bool History(const HistoryQuery& query, std::vector<HistoryRow>* rows,
                                     std::int64_t* next_cursor, std::string* error) = 0;
  // False with an empty `*error` when there is no such event.
  [[nodiscard]] virtual bool Event(std::uint64_t seq, StoredEvent* event,
                                   std::vector<HistoryRow>* actions, std::string* error) = 0;
  // The committed execution counters of `event_id`, of every profile and
  // rule, ordered by profile and rule; none is no error. What a delivery in
  // hand changed shows once its event is finished.
  [[nodiscard]] virtual bool Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                                      std::string* error) = 0;

  // The counters of one daemon live in its CounterTable, loaded at Open;
  // such stores answer nullopt. A store shared by several daemons reads the
  // count from the database instead, inside a transaction of the profile's
  // worker that first takes the lock of (profile, event id): two daemons
  // never run one event id's actions at the same time, and the next one
  // reads what the first committed. The worker's Finish commits that
  // transaction and releases the lock. Called on the profile's worker only.
  virtual std::optional<std::int32_t> SharedCount(const std::string& profile,
                                                  const std::string& rule,
                                                  const std::string& event_id) {
    (void)profile, (void)rule, (void)event_id;
    return std::nullopt;
  }
  // The running profiles and the fingerprints of their settings, at start
  // and after each reload. A shared store takes over a stopped daemon's
  // events of a profile only when that daemon ran it with the same settings.
  virtual void SetProfiles(const std::map<std::string, std::string>& fingerprints) {
    (void)fingerprints;
  }

  // Workers waiting for an unreachable database give up from now on (their
  // events stay unfinished for the next start); called before the daemon
  // joins its workers at a stop.
  virtual void StopRetrying() {}

  // Ok, or why the last write failed.
  virtual bool healthy(std::string* reason) const = 0;
  virtual std::uint64_t write_failures() const = 0;
  virtual std::uint64_t file_bytes() const = 0;
  virtual std::size_t queued() const = 0;
};

// The execution counters in memory, where the component's counter store
// reads and writes them (service/state_counters.cc installs it), and the
// changes each profile made since its last finished event.
class CounterTable {
 public:
  void Load(std::vector<CounterRow> rows);
  // Touches the id's last delivery time.
  std::int32_t Get(const std::string& profile, const std::string& rule,
                   const std::string& event_id, std::int64_t now_ms);
  void Set(const std::string& profile, const std::string& rule, const std::string& event_id,
           std::int32_t count, std::int64_t now_ms);
  // The rows of `profile` changed since the last call.
  std::vector<CounterRow> TakeChanges(const std::string& profile);
  // Forgets ids last seen before `cutoff_ms`.
  std::size_t Forget(std::int64_t cutoff_ms);
  std::size_t size() const;

 private:
  struct Entry {
    std::int32_t count;
    std::int64_t last_seen_ms;
  };
  using Key = std::tuple<std::string, std::string, std::string>;
  mutable std::mutex mu_;
  std::map<Key, Entry> entries_;
  std::map<std::string, std::map<Key, Entry>> changed_;  // by profile
};

// The history rows of each profile's event in hand, gathered from the action
// outcomes until the event is finished.
class HistoryBuffer {
 public:
  void Add(HistoryRow row);
  std::vector<HistoryRow> Take(const std::string& profile);

 private:
  std::mutex mu_;
  std::map<std::string, std::vector<HistoryRow>> rows_;
};

std::int64_t NowMs();

// The history's columns in the order both stores select them.
inline constexpr const char* kHistoryColumns =
    "id, seq, profile, rule, action, kind, event_id, decision, result_event, result_code,"
    " return_value, seconds, time_ms, stdout, stderr";

// Stores read one row more than a page holds: this drops it and answers the
// next page's cursor (0 when there is no more).
std::int64_t CutPage(std::vector<HistoryRow>* rows, int limit);

// What the bounds forget at `now_ms`: counters last seen before
// `counters_ms`; history rows and finished events before `history_ms`.
struct Cutoffs {
  std::int64_t counters_ms;
  std::int64_t history_ms;
};
Cutoffs CutoffsAt(const StateOptions& options, std::int64_t now_ms);

}  // namespace service
