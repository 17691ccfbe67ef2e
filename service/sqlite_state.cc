#include "service/sqlite_state.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <limits>
#include <system_error>
#include <utility>

#include "service/log.h"

namespace service {
namespace {

// The schema's changes, oldest first; never edit one that shipped, append.
constexpr const char* kSqliteMigrations[] = {
    // 1: the queue, the counters, the history.
    "CREATE TABLE events (seq INTEGER PRIMARY KEY AUTOINCREMENT, payload TEXT NOT NULL,"
    " accepted_ms INTEGER NOT NULL, state TEXT NOT NULL, finished_ms INTEGER NOT NULL DEFAULT 0,"
    " outcome TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX events_queued ON events(state) WHERE state = 'queued';"
    "CREATE TABLE counters (profile TEXT NOT NULL, rule TEXT NOT NULL, event_id TEXT NOT NULL,"
    " count INTEGER NOT NULL, last_seen_ms INTEGER NOT NULL,"
    " PRIMARY KEY (profile, rule, event_id)) WITHOUT ROWID;"
    "CREATE INDEX counters_seen ON counters(last_seen_ms);"
    "CREATE TABLE history (id INTEGER PRIMARY KEY AUTOINCREMENT, seq INTEGER NOT NULL,"
    " profile TEXT NOT NULL, rule TEXT NOT NULL, action INTEGER NOT NULL, kind TEXT NOT NULL,"
    " event_id TEXT NOT NULL, decision TEXT NOT NULL, result_event INTEGER NOT NULL,"
    " result_code INTEGER NOT NULL, return_value INTEGER NOT NULL, seconds REAL NOT NULL,"
    " time_ms INTEGER NOT NULL);"
    "CREATE INDEX history_event ON history(event_id, id);"
    "CREATE INDEX history_seq ON history(seq);"
    "CREATE INDEX history_time ON history(time_ms);"
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);",
    // 2: the counters of one EventId (amctl status) without a scan.
    "CREATE INDEX counters_event ON counters(event_id);",
    // 3: what the program or the command printed.
    "ALTER TABLE history ADD COLUMN stdout TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE history ADD COLUMN stderr TEXT NOT NULL DEFAULT '';",
};
static_assert(std::size(kSqliteMigrations) == kSchemaVersion);


// A prepared statement for the life of a scope.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool ok() const { return rc_ == SQLITE_OK || rc_ == SQLITE_ROW || rc_ == SQLITE_DONE; }
  Stmt& Bind(int i, std::int64_t v) {
    if (ok()) rc_ = sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, double v) {
    if (ok()) rc_ = sqlite3_bind_double(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    if (ok()) rc_ = sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    return *this;
  }
  // True for a row; false at the end or on an error (see ok()).
  bool Step() {
    if (!ok()) return false;
    rc_ = sqlite3_step(stmt_);
    return rc_ == SQLITE_ROW;
  }
  // Runs a statement that returns no rows, and readies it for the next.
  bool Run() {
    Step();
    const bool done = rc_ == SQLITE_DONE;
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    if (done) rc_ = SQLITE_OK;
    return done;
  }
  std::int64_t Int(int i) const { return sqlite3_column_int64(stmt_, i); }
  double Real(int i) const { return sqlite3_column_double(stmt_, i); }
  std::string Text(int i) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
    return text == nullptr ? std::string() : std::string(text, sqlite3_column_bytes(stmt_, i));
  }
  std::string error() const { return sqlite3_errmsg(db_); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}


HistoryRow ReadHistory(const Stmt& s) {
  HistoryRow row;
  row.id = s.Int(0);
  row.seq = static_cast<std::uint64_t>(s.Int(1));
  row.profile = s.Text(2);
  row.rule = s.Text(3);
  row.action = static_cast<std::int32_t>(s.Int(4));
  row.kind = s.Text(5);
  row.event_id = s.Text(6);
  row.decision = s.Text(7);
  row.result_event = s.Int(8) != 0;
  row.result_code = static_cast<std::int32_t>(s.Int(9));
  row.return_value = static_cast<std::int32_t>(s.Int(10));
  row.seconds = s.Real(11);
  row.time_ms = s.Int(12);
  row.output = s.Text(13);
  row.error = s.Text(14);
  return row;
}

}  // namespace

SqliteState::SqliteState(std::filesystem::path path, CounterTable* counters, std::string vfs)
    : GroupCommitStore(path.string()),
      path_(std::move(path)),
      counters_(counters),
      vfs_(std::move(vfs)) {}

SqliteState::~SqliteState() { Close(); }

bool SqliteState::Open(const StateOptions& options, std::vector<Unfinished>* unfinished,
                       std::vector<CounterRow>* counters, std::string* error) {
  options_ = options;  // Prune reads the bounds before the writer starts
  const std::string name = path_.string();
  std::error_code ec;
  std::filesystem::create_directories(path_.parent_path(), ec);
  lock_fd_ = ::open((name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0 || ::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    *error = name + ": " + (lock_fd_ < 0 ? std::system_category().message(errno)
                                         : "in use by another process");
    return false;
  }
  const char* vfs = vfs_.empty() ? nullptr : vfs_.c_str();
  const auto fail = [&](const std::string& what) {
    *error = name + ": " + what;
    return false;
  };
  if (sqlite3_open_v2(name.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs) !=
      SQLITE_OK) {
    return fail(db_ != nullptr ? sqlite3_errmsg(db_) : "cannot allocate a connection");
  }
  // A damaged file is refused as it is, never emptied: the operator decides.
  {
    Stmt check(db_, "PRAGMA quick_check");
    if (!check.Step()) return fail("cannot be read: " + check.error());
    if (check.Text(0) != "ok") return fail("is damaged (" + check.Text(0) + ")");
  }
  std::string message;
  if (!Exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA busy_timeout=5000",
            &message)) {
    return fail(message);
  }
  if (!Migrate(&message)) return fail(message);
  std::uint64_t next_seq = 1;
  if (!Load(unfinished, counters, &next_seq, &message)) return fail(message);
  if (sqlite3_open_v2(name.c_str(), &reader_, SQLITE_OPEN_READONLY, vfs) != SQLITE_OK ||
      !Exec(reader_, "PRAGMA busy_timeout=5000", &message)) {
    return fail(reader_ != nullptr ? sqlite3_errmsg(reader_) : "cannot allocate a connection");
  }
  // Replayed events count against the bound like any other.
  StartWriter(options, next_seq, *unfinished);
  return true;
}

bool SqliteState::Load(std::vector<Unfinished>* unfinished, std::vector<CounterRow>* counters,
                       std::uint64_t* next_seq, std::string* error) {
  const auto failed = [error](const Stmt& s) {
    *error = s.error();
    return false;
  };
  {
    Stmt s(db_, "SELECT seq, payload FROM events WHERE state = 'queued' ORDER BY seq");
    while (s.Step()) unfinished->push_back({static_cast<std::uint64_t>(s.Int(0)), s.Text(1)});
    if (!s.ok()) return failed(s);
  }
  {
    Stmt s(db_, "SELECT seq FROM sqlite_sequence WHERE name = 'events'");
    if (s.Step()) *next_seq = static_cast<std::uint64_t>(s.Int(0)) + 1;
    if (!s.ok()) return failed(s);
  }
  // Pruned before the counters are read, so that forgotten EventIds never
  // reach memory.
  if (!Prune(error)) return false;
  Stmt s(db_, "SELECT profile, rule, event_id, count, last_seen_ms FROM counters");
  while (s.Step()) {
    counters->push_back({s.Text(0), s.Text(1), s.Text(2), static_cast<std::int32_t>(s.Int(3)),
                         s.Int(4)});
  }
  return s.ok() || failed(s);
}

bool SqliteState::Migrate(std::string* error) {
  std::int64_t version = 0;
  {
    Stmt s(db_, "PRAGMA user_version");
    if (!s.Step()) {
      *error = s.error();
      return false;
    }
    version = s.Int(0);
  }
  if (version > kSchemaVersion) {
    *error = "its schema version " + std::to_string(version) + " is newer than this program's (" +
             std::to_string(kSchemaVersion) + ")";
    return false;
  }
  for (; version < kSchemaVersion; ++version) {
    const std::string sql = std::string("BEGIN IMMEDIATE;") + kSqliteMigrations[version] +
                            "PRAGMA user_version = " + std::to_string(version + 1) + "; COMMIT;";
    if (!Exec(db_, sql.c_str(), error)) {
      std::string ignored;
      (void)Exec(db_, "ROLLBACK", &ignored);
      *error = "schema migration " + std::to_string(version + 1) + ": " + *error;
      return false;
    }
  }
  return true;
}

bool SqliteState::Commit(const std::vector<Accepted>& accepted,
                         const std::vector<Finishing>& finishing, std::string* error) {
  if (!Exec(db_, "BEGIN IMMEDIATE", error)) return false;
  const auto failed = [&](const Stmt& s) {
    *error = s.error();
    std::string ignored;
    (void)Exec(db_, "ROLLBACK", &ignored);
    return false;
  };
  if (accepted.empty() && finishing.empty()) {
    // The health probe: a write that touches the file like any other.
    Stmt probe(db_, "INSERT OR REPLACE INTO meta (key, value) VALUES ('probe', ?)");
    if (!probe.Bind(1, NowMs()).Run()) return failed(probe);
  }
  if (!accepted.empty()) {
    Stmt s(db_, "INSERT INTO events (seq, payload, accepted_ms, state) VALUES (?, ?, ?, 'queued')");
    for (const Accepted& a : accepted) {
      if (!s.Bind(1, static_cast<std::int64_t>(a.seq)).Bind(2, a.payload).Bind(3, a.accepted_ms)
               .Run()) {
        return failed(s);
      }
    }
  }
  if (!finishing.empty() && !WriteFinishing(finishing, error)) {
    std::string ignored;
    (void)Exec(db_, "ROLLBACK", &ignored);
    return false;
  }
  if (!Exec(db_, "COMMIT", error)) {
    std::string ignored;
    (void)Exec(db_, "ROLLBACK", &ignored);
    return false;
  }
  return true;
}

bool SqliteState::WriteFinishing(const std::vector<Finishing>& finishing, std::string* error) {
  const auto failed = [error](const Stmt& s) {
    *error = s.error();
    return false;
  };
  Stmt event(db_, "UPDATE events SET state = ?, finished_ms = ?, outcome = ? WHERE seq = ?");
  Stmt counter(db_,
               "INSERT INTO counters (profile, rule, event_id, count, last_seen_ms)"
               " VALUES (?, ?, ?, ?, ?) ON CONFLICT DO UPDATE SET count = excluded.count,"
               " last_seen_ms = excluded.last_seen_ms");
  Stmt history(db_,
               "INSERT INTO history (seq, profile, rule, action, kind, event_id, decision,"
               " result_event, result_code, return_value, seconds, time_ms, stdout, stderr)"
               " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  const std::int64_t now = NowMs();
  for (const Finishing& f : finishing) {
    const FinishRecord& r = f.record;
    if (!event.Bind(1, r.state).Bind(2, now).Bind(3, r.outcome)
             .Bind(4, static_cast<std::int64_t>(r.seq)).Run()) {
      return failed(event);
    }
    for (const CounterRow& c : r.counters) {
      if (!counter.Bind(1, c.profile).Bind(2, c.rule).Bind(3, c.event_id)
               .Bind(4, std::int64_t{c.count}).Bind(5, c.last_seen_ms).Run()) {
        return failed(counter);
      }
    }
    for (const HistoryRow& h : r.history) {
      if (!history.Bind(1, static_cast<std::int64_t>(r.seq)).Bind(2, h.profile).Bind(3, h.rule)
               .Bind(4, std::int64_t{h.action}).Bind(5, h.kind).Bind(6, h.event_id)
               .Bind(7, h.decision).Bind(8, std::int64_t{h.result_event})
               .Bind(9, std::int64_t{h.result_code}).Bind(10, std::int64_t{h.return_value})
               .Bind(11, h.seconds).Bind(12, h.time_ms).Bind(13, h.output)
               .Bind(14, h.error).Run()) {
        return failed(history);
      }
    }
  }
  return true;
}

void SqliteState::Idle() {
  std::string error;
  if (!Exec(db_, "BEGIN IMMEDIATE", &error)) return Failed(error);
  if (!Prune(&error) || !Exec(db_, "COMMIT", &error)) {
    std::string ignored;
    (void)Exec(db_, "ROLLBACK", &ignored);
    return Failed(error);
  }
  Succeeded();
}

bool SqliteState::Prune(std::string* error) {
  const std::int64_t now = NowMs();
  const auto [counter_cutoff, history_cutoff] = CutoffsAt(options_, now);
  Stmt counters(db_, "DELETE FROM counters WHERE last_seen_ms < ?");
  Stmt old_history(db_, "DELETE FROM history WHERE time_ms < ?");
  Stmt old_events(db_, "DELETE FROM events WHERE state != 'queued' AND finished_ms < ?");
  Stmt many_history(db_,
                    "DELETE FROM history WHERE id <= (SELECT max(id) FROM history) - ?");
  Stmt many_events(db_,
                   "DELETE FROM events WHERE state != 'queued' AND"
                   " seq <= (SELECT max(seq) FROM events) - ?");
  for (Stmt* s : {&counters, &old_history, &old_events}) {
    if (!s->Bind(1, s == &counters ? counter_cutoff : history_cutoff).Run()) {
      *error = s->error();
      return false;
    }
  }
  for (Stmt* s : {&many_history, &many_events}) {
    if (!s->Bind(1, options_.history_rows).Run()) {
      *error = s->error();
      return false;
    }
  }
  if (counters_ != nullptr) counters_->Forget(counter_cutoff);
  return true;
}

void SqliteState::Close() {
  StopWriter();
  {
    std::lock_guard<std::mutex> lock(read_mu_);
    sqlite3_close_v2(reader_);
    reader_ = nullptr;
  }
  sqlite3_close_v2(db_);
  db_ = nullptr;
  if (lock_fd_ >= 0) ::close(lock_fd_);
  lock_fd_ = -1;
}

bool SqliteState::History(const HistoryQuery& query, std::vector<HistoryRow>* rows,
                          std::int64_t* next_cursor, std::string* error) {
  const std::string sql = std::string("SELECT ") + kHistoryColumns +
                          " FROM history WHERE (?1 = '' OR profile = ?1) AND (?2 = '' OR"
                          " event_id = ?2) AND time_ms >= ?3 AND time_ms < ?4 AND id < ?5"
                          " ORDER BY id DESC LIMIT ?6";
  std::lock_guard<std::mutex> lock(read_mu_);
  if (reader_ == nullptr) {
    *error = "the state database is closed";
    return false;
  }
  Stmt s(reader_, sql.c_str());
  s.Bind(1, query.profile).Bind(2, query.event_id)
      .Bind(3, query.since_ms.value_or(std::numeric_limits<std::int64_t>::min()))
      .Bind(4, query.until_ms.value_or(std::numeric_limits<std::int64_t>::max()))
      .Bind(5, query.cursor > 0 ? query.cursor : std::numeric_limits<std::int64_t>::max())
      .Bind(6, std::int64_t{query.limit} + 1);
  while (s.Step()) rows->push_back(ReadHistory(s));
  if (!s.ok()) {
    *error = s.error();
    return false;
  }
  *next_cursor = CutPage(rows, query.limit);
  return true;
}

bool SqliteState::Event(std::uint64_t seq, StoredEvent* event, std::vector<HistoryRow>* actions,
                        std::string* error) {
  std::lock_guard<std::mutex> lock(read_mu_);
  if (reader_ == nullptr) {
    *error = "the state database is closed";
    return false;
  }
  Stmt s(reader_,
         "SELECT seq, payload, state, accepted_ms, finished_ms, outcome FROM events WHERE seq = ?");
  s.Bind(1, static_cast<std::int64_t>(seq));
  if (!s.Step()) {
    *error = s.ok() ? "" : s.error();
    return false;
  }
  *event = {static_cast<std::uint64_t>(s.Int(0)), s.Text(1), s.Text(2), s.Int(3), s.Int(4),
            s.Text(5)};
  Stmt h(reader_, (std::string("SELECT ") + kHistoryColumns +
                   " FROM history WHERE seq = ? ORDER BY id").c_str());
  h.Bind(1, static_cast<std::int64_t>(seq));
  while (h.Step()) actions->push_back(ReadHistory(h));
  if (!h.ok()) {
    *error = h.error();
    return false;
  }
  return true;
}

bool SqliteState::Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                           std::string* error) {
  std::lock_guard<std::mutex> lock(read_mu_);
  if (reader_ == nullptr) {
    *error = "the state database is closed";
    return false;
  }
  Stmt s(reader_,
         "SELECT profile, rule, event_id, count, last_seen_ms FROM counters WHERE event_id = ?"
         " ORDER BY profile, rule");
  s.Bind(1, event_id);
  while (s.Step()) {
    rows->push_back({s.Text(0), s.Text(1), s.Text(2), static_cast<std::int32_t>(s.Int(3)), s.Int(4)});
  }
  if (!s.ok()) {
    *error = s.error();
    return false;
  }
  return true;
}

std::uint64_t SqliteState::file_bytes() const {
  std::error_code ec;
  std::uint64_t bytes = 0;
  for (const char* suffix : {"", "-wal"}) {
    const auto size = std::filesystem::file_size(path_.string() + suffix, ec);
    if (!ec) bytes += size;
  }
  return bytes;
}

}  // namespace service
