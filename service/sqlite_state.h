// The state store on SQLite: one file, state_dir/state.db, in WAL mode with
// synchronous=FULL, so that a commit is on disk when it returns, even after
// a power loss.
//
// One writer thread owns every write (service/group_commit.h). It gathers
// what arrived while it was committing (the rows of any number of accepted
// requests, the finish records of every profile) and commits all of it in
// one transaction (group commit): under load one fsync acknowledges many
// requests. Queries read on a second connection, which WAL lets run beside
// the writer.
//
// Schema. kMigrations lists the schema's changes in order; PRAGMA
// user_version counts those applied, and Open applies the rest in one
// transaction each. A file with a newer version than this program knows is
// refused. Tables: events (the queue and the accepted events' outcomes),
// counters (the execution counters), history (one row per action decision),
// meta (the writer's health probe).
//
// Bounds, applied at start and once a minute by the writer: counters not
// seen for counter_ttl (also dropped from the CounterTable given), history
// rows and finished events older than history_days, and beyond history_rows
// the oldest of each.
//
#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "service/group_commit.h"

struct sqlite3;

namespace service {

inline constexpr int kSchemaVersion = 3;

class SqliteState : public GroupCommitStore {
 public:
  // `vfs`: the name of a registered SQLite VFS, empty for the default (tests
  // use one that fails writes on demand). `counters`, when given, outlives
  // the store and loses what the bounds remove.
  SqliteState(std::filesystem::path path, CounterTable* counters, std::string vfs = {});
  ~SqliteState() override;
  SqliteState(const SqliteState&) = delete;
  SqliteState& operator=(const SqliteState&) = delete;

  bool Open(const StateOptions& options, std::vector<Unfinished>* unfinished,
            std::vector<CounterRow>* counters, std::string* error) override;
  void Close() override;
  bool History(const HistoryQuery& query, std::vector<HistoryRow>* rows, std::int64_t* next_cursor,
               std::string* error) override;
  bool Event(std::uint64_t seq, StoredEvent* event, std::vector<HistoryRow>* actions,
             std::string* error) override;
  bool Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                std::string* error) override;
  std::uint64_t file_bytes() const override;

 private:
  bool Commit(const std::vector<Accepted>& accepted, const std::vector<Finishing>& finishing,
              std::string* error) override;
  // The bounds, in a transaction of their own.
  void Idle() override;
  bool Prune(std::string* error);
  bool Migrate(std::string* error);
  // What Open hands back: the queued events, the next number, and the
  // counters (after the bounds are applied).
  bool Load(std::vector<Unfinished>* unfinished, std::vector<CounterRow>* counters,
            std::uint64_t* next_seq, std::string* error);
  // The finish records' rows, inside the caller's transaction.
  bool WriteFinishing(const std::vector<Finishing>& finishing, std::string* error);

  const std::filesystem::path path_;
  CounterTable* const counters_;
  const std::string vfs_;
  sqlite3* db_ = nullptr;      // the writer's (and Open's)
  sqlite3* reader_ = nullptr;  // the queries', under read_mu_
  int lock_fd_ = -1;           // flock on <path>.lock: one daemon per database
  mutable std::mutex read_mu_;
};

}  // namespace service
