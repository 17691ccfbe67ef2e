// The state store on PostgreSQL, shared by several daemons (docs/ha.md).
//
// Execution limits hold across the daemons. A profile's worker processes an
// event inside one transaction on a connection of its own: the first counter
// it reads takes a transaction-scoped advisory lock on (profile, event id),
// so a second daemon with the same event waits, and reads the counters the
// first one committed. Finish writes the counters, the history and the
// event's state and commits, which releases the lock. A daemon that dies in
// the middle of an action loses its connection, the server rolls back and
// releases the lock, and a peer may run that event's actions again: at most
// once per crash.
//
// Queue ownership. Each accepted event is a row owned by the daemon that
// accepted it (its `node` name). Every daemon renews a lease on its name; a
// daemon whose lease ran out is taken to be gone, and its unfinished events
// of a profile are claimed (FOR UPDATE SKIP LOCKED) by a peer that runs that
// profile with the same settings (the fingerprints the daemons record).
// Events of a profile whose settings differ stay where they are, and the
// peer says why in the log. A daemon that starts again under its name takes
// back what nobody claimed.
//
// Outages. Every connection reconnects by itself, with back-off from 0.25 s
// to 5 s. While the writer cannot reach the database, new events are refused
// (503) and the store is unhealthy (/readyz). A worker whose connection
// fails waits and tries again: no action runs without its lock, and an
// event's finish is committed before the worker takes its next event. An
// accepted event is in a committed row, so it is never lost.
//
// Sequence numbers come in blocks from one row of the database, so each
// event's number is unique across the daemons.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "service/group_commit.h"

namespace service {

class PgConnection;

struct PgConfig {
  std::string conninfo;  // a libpq connection string
  std::string node;      // this daemon's name among those sharing the database
  std::chrono::seconds lease{30};
};

class PgState : public GroupCommitStore {
 public:
  // `counters` outlives the store: it keeps the changes of the event in
  // hand and loses what the time-to-live removes.
  PgState(PgConfig config, CounterTable* counters);
  ~PgState() override;
  PgState(const PgState&) = delete;
  PgState& operator=(const PgState&) = delete;

  // `*counters` stays empty: counts are read from the database as events
  // need them.
  bool Open(const StateOptions& options, std::vector<Unfinished>* unfinished,
            std::vector<CounterRow>* counters, std::string* error) override;
  // Commits the worker's transaction (or a new one) with the record; tries
  // again until it commits or the store closes.
  bool Finish(FinishRecord record) override;
  void Close() override;
  bool History(const HistoryQuery& query, std::vector<HistoryRow>* rows, std::int64_t* next_cursor,
               std::string* error) override;
  bool Event(std::uint64_t seq, StoredEvent* event, std::vector<HistoryRow>* actions,
             std::string* error) override;
  bool Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                std::string* error) override;
  std::uint64_t file_bytes() const override { return database_bytes_.load(); }
  std::optional<std::int32_t> SharedCount(const std::string& profile, const std::string& rule,
                                          const std::string& event_id) override;
  void SetProfiles(const std::map<std::string, std::string>& fingerprints) override;
  void StopRetrying() override;

 private:
  // A profile worker's connection and the transaction it has open.
  struct Session;

  bool Commit(const std::vector<Accepted>& accepted, const std::vector<Finishing>& finishing,
              std::string* error) override;
  bool Reserve(std::size_t count, std::uint64_t* first, std::string* error) override;
  // The lease, the claims, the fingerprints, and once a minute the bounds.
  void Idle() override;
  // The schema brought to this program's version, under a lock that lets
  // one daemon migrate at a time.
  bool Migrate(std::string* error);
  bool Heartbeat(std::string* error);
  bool Claim(std::string* error);
  // This daemon's profile fingerprints: whether they still have to be
  // written (and which), the writing inside the writer's open transaction,
  // and the note once it committed.
  bool FingerprintsDue(std::map<std::string, std::string>* fingerprints);
  bool WriteFingerprints(const std::map<std::string, std::string>& fingerprints,
                         std::string* error);
  void FingerprintsStored(const std::map<std::string, std::string>& fingerprints);
  bool Prune(std::string* error);
  Session& SessionOf(const std::string& profile);
  // Waits before a worker tries again; false when the store is closing.
  bool Pause(int attempt);

  const PgConfig config_;
  CounterTable* const counters_;
  std::unique_ptr<PgConnection> writer_;  // the writer thread's (and Open's)
  std::unique_ptr<PgConnection> numbers_;  // Reserve's, under the store's lock
  std::unique_ptr<PgConnection> reader_;  // the queries', under read_mu_
  mutable std::mutex read_mu_;
  std::uint64_t block_next_ = 0, block_end_ = 0;  // the numbers in hand: [next, end)

  std::mutex sessions_mu_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;

  std::mutex profiles_mu_;
  std::map<std::string, std::string> fingerprints_;
  bool fingerprints_stored_ = true;
  std::set<std::string> said_;  // (owner, profile) pairs whose refusal was logged (profiles_mu_)

  std::mutex closing_mu_;
  std::condition_variable closing_cv_;
  bool closing_ = false;
  std::chrono::steady_clock::time_point last_prune_{};
  std::atomic<std::uint64_t> database_bytes_{0};
};

}  // namespace service
