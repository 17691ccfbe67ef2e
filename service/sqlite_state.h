// The state store on SQLite: one file, state_dir/state.db, in WAL mode with
// synchronous=FULL, so that a commit is on disk when it returns, even after
// a power loss.
//
// One writer thread owns every write. It gathers what arrived while it was
// committing (the rows of any number of accepted requests, the finish
// records of every profile) and commits all of it in one transaction (group
// commit): under load one fsync acknowledges many requests. Queries read on
// a second connection, which WAL lets run beside the writer.
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
// A failure of a write is logged with SQLite's message when it starts and
// when it ends; while it lasts the writer retries every second.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/state_store.h"

struct sqlite3;

namespace service {

inline constexpr int kSchemaVersion = 1;

class SqliteState : public StateStore {
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
  SubmitResult Submit(const std::vector<std::string>& payloads, std::uint64_t* first_seq) override;
  bool WaitDurable(std::uint64_t seq) override;
  bool Finish(FinishRecord record) override;
  void Close() override;
  bool History(const HistoryQuery& query, std::vector<HistoryRow>* rows, std::int64_t* next_cursor,
               std::string* error) override;
  bool Event(std::uint64_t seq, StoredEvent* event, std::vector<HistoryRow>* actions,
             std::string* error) override;
  bool Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                std::string* error) override;
  bool healthy(std::string* reason) const override;
  std::uint64_t write_failures() const override { return write_failures_.load(); }
  std::uint64_t file_bytes() const override;
  std::size_t queued() const override;

 private:
  struct Accepted {
    std::uint64_t seq;
    std::string payload;
    std::int64_t accepted_ms;
  };
  struct Ticket {
    bool attempted = false;
    bool committed = false;
  };
  struct Finishing {
    FinishRecord record;
    std::shared_ptr<Ticket> ticket;
  };

  void Run();
  // One transaction of everything given; SQLite's message when it failed.
  bool Commit(const std::vector<Accepted>& accepted, const std::vector<Finishing>& finishing,
              bool prune, std::string* error);
  bool Prune(std::string* error);
  // Takes a finished or refused event's bytes off the bound (under mu_).
  void Release(std::uint64_t seq);
  bool Migrate(std::string* error);

  const std::filesystem::path path_;
  CounterTable* const counters_;
  const std::string vfs_;
  StateOptions options_;
  sqlite3* db_ = nullptr;      // the writer's (and Open's)
  sqlite3* reader_ = nullptr;  // the queries', under read_mu_
  int lock_fd_ = -1;           // flock on <path>.lock: one daemon per database
  mutable std::mutex read_mu_;

  mutable std::mutex mu_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::vector<Accepted> accepted_;
  std::deque<Finishing> finishing_;
  std::uint64_t next_seq_ = 1;
  std::uint64_t durable_seq_ = 0;
  std::map<std::uint64_t, std::uint64_t> failed_;  // first -> last of batches whose commit failed
  std::size_t queued_ = 0;                          // events accepted and not finished
  std::uint64_t queued_bytes_ = 0;                  // their payloads' bytes
  std::map<std::uint64_t, std::size_t> sizes_;      // seq -> payload bytes, while unfinished
  std::string failure_;                             // empty while healthy
  bool stopping_ = false;
  bool open_ = false;
  std::atomic<std::uint64_t> write_failures_{0};
  std::thread writer_;
};

}  // namespace service
