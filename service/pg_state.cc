#include "service/pg_state.h"

#include <libpq-fe.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "service/log.h"

namespace service {
namespace {

// The schema's changes, oldest first; never edit one that shipped, append.
// schema_version holds how many are applied.
constexpr const char* kPgMigrations[] = {
    // 1: the daemons and their profiles, the numbers, the queue, the
    // counters, the history.
    "CREATE TABLE nodes (node TEXT PRIMARY KEY, lease_until TIMESTAMPTZ NOT NULL);"
    "CREATE TABLE node_profiles (node TEXT NOT NULL, profile TEXT NOT NULL,"
    " fingerprint TEXT NOT NULL, PRIMARY KEY (node, profile));"
    "CREATE TABLE numbers (id INTEGER PRIMARY KEY, next BIGINT NOT NULL);"
    "INSERT INTO numbers VALUES (1, 1);"
    "CREATE TABLE events (seq BIGINT PRIMARY KEY, owner TEXT NOT NULL, profile TEXT NOT NULL,"
    " payload TEXT NOT NULL, accepted_ms BIGINT NOT NULL, state TEXT NOT NULL,"
    " finished_ms BIGINT NOT NULL DEFAULT 0, outcome TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX events_queued ON events (owner, seq) WHERE state = 'queued';"
    "CREATE INDEX events_finished ON events (finished_ms) WHERE state <> 'queued';"
    "CREATE TABLE counters (profile TEXT NOT NULL, rule TEXT NOT NULL, event_id TEXT NOT NULL,"
    " count INTEGER NOT NULL, last_seen_ms BIGINT NOT NULL,"
    " PRIMARY KEY (profile, rule, event_id));"
    "CREATE INDEX counters_seen ON counters (last_seen_ms);"
    "CREATE INDEX counters_event ON counters (event_id);"
    "CREATE TABLE history (id BIGSERIAL PRIMARY KEY, seq BIGINT NOT NULL,"
    " profile TEXT NOT NULL, rule TEXT NOT NULL, action INTEGER NOT NULL, kind TEXT NOT NULL,"
    " event_id TEXT NOT NULL, decision TEXT NOT NULL, result_event BOOLEAN NOT NULL,"
    " result_code INTEGER NOT NULL, return_value INTEGER NOT NULL,"
    " seconds DOUBLE PRECISION NOT NULL, time_ms BIGINT NOT NULL);"
    "CREATE INDEX history_event ON history (event_id, id);"
    "CREATE INDEX history_seq ON history (seq);"
    "CREATE INDEX history_time ON history (time_ms);",
    // 2: what the program or the command printed.
    "ALTER TABLE history ADD COLUMN stdout TEXT NOT NULL DEFAULT '',"
    " ADD COLUMN stderr TEXT NOT NULL DEFAULT '';",
};
constexpr int kPgSchemaVersion = static_cast<int>(std::size(kPgMigrations));

// Numbers are taken this many at a time (more when a request needs more).
constexpr std::uint64_t kBlock = 1024;
constexpr std::chrono::milliseconds kFirstBackoff{250};
constexpr std::chrono::milliseconds kLastBackoff{5000};
constexpr std::chrono::seconds kPruneEvery{60};


// One statement's result for the life of a scope.
class Result {
 public:
  Result() = default;
  explicit Result(PGresult* result) : result_(result, &PQclear) {}
  ExecStatusType status() const {
    return result_ ? PQresultStatus(result_.get()) : PGRES_FATAL_ERROR;
  }
  int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
  std::string Text(int row, int column) const {
    return std::string(PQgetvalue(result_.get(), row, column),
                       static_cast<std::size_t>(PQgetlength(result_.get(), row, column)));
  }
  std::int64_t Int(int row, int column) const {
    return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
  }
  double Real(int row, int column) const {
    return std::strtod(PQgetvalue(result_.get(), row, column), nullptr);
  }

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_{nullptr, &PQclear};
};

HistoryRow ReadHistory(const Result& r, int i) {
  HistoryRow row;
  row.id = r.Int(i, 0);
  row.seq = static_cast<std::uint64_t>(r.Int(i, 1));
  row.profile = r.Text(i, 2);
  row.rule = r.Text(i, 3);
  row.action = static_cast<std::int32_t>(r.Int(i, 4));
  row.kind = r.Text(i, 5);
  row.event_id = r.Text(i, 6);
  row.decision = r.Text(i, 7);
  row.result_event = r.Text(i, 8) == "t";
  row.result_code = static_cast<std::int32_t>(r.Int(i, 9));
  row.return_value = static_cast<std::int32_t>(r.Int(i, 10));
  row.seconds = r.Real(i, 11);
  row.time_ms = r.Int(i, 12);
  row.output = r.Text(i, 13);
  row.error = r.Text(i, 14);
  return row;
}

std::string Num(std::int64_t value) { return std::to_string(value); }

}  // namespace

// One libpq connection that reconnects by itself, no more often than its
// back-off allows. Not thread-safe: each has one user at a time.
class PgConnection {
 public:
  explicit PgConnection(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  ~PgConnection() {
    if (conn_ != nullptr) PQfinish(conn_);
  }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Connected, or connects when the back-off allows; false with why.
  bool Ready(std::string* error) {
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_try_) {
      *error = last_error_.empty() ? "the database cannot be reached" : last_error_;
      return false;
    }
    if (conn_ != nullptr) PQfinish(conn_);
    // A connection string without a timeout would wait on an unreachable
    // host for as long as TCP does; one that names its own keeps it (later
    // keywords win).
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"5", "actionmanagerd", conninfo_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
      backoff_ = kFirstBackoff;
      last_error_.clear();
      // Quiet the server's notices (IF NOT EXISTS and the like) on stderr.
      PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
      return true;
    }
    last_error_ = conn_ != nullptr ? Trim(PQerrorMessage(conn_)) : "out of memory";
    next_try_ = now + backoff_;
    backoff_ = std::min(backoff_ * 2, kLastBackoff);
    *error = last_error_;
    return false;
  }

  // Runs `sql` with text parameters. False with the server's message, and
  // the connection marked for a reconnect when it broke.
  bool Exec(const std::string& sql, const std::vector<std::string>& params, Result* out,
            std::string* error) {
    if (!Ready(error)) return false;
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const std::string& p : params) values.push_back(p.c_str());
    // Without parameters, the simple protocol, which takes several
    // statements at once (the migrations).
    Result result(params.empty()
                      ? PQexec(conn_, sql.c_str())
                      : PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0));
    const ExecStatusType status = result.status();
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
      if (out != nullptr) *out = std::move(result);
      return true;
    }
    *error = Trim(PQerrorMessage(conn_));
    if (error->empty()) *error = "the database did not answer";
    return false;
  }
  bool Exec(const std::string& sql, std::string* error) { return Exec(sql, {}, nullptr, error); }

  // Ends a transaction that failed, when the connection still works.
  void Rollback() {
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK &&
        PQtransactionStatus(conn_) != PQTRANS_IDLE) {
      PQclear(PQexec(conn_, "ROLLBACK"));
    }
  }

 private:
  static std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }
  const std::string conninfo_;
  PGconn* conn_ = nullptr;
  std::chrono::steady_clock::time_point next_try_{};
  std::chrono::milliseconds backoff_ = kFirstBackoff;
  std::string last_error_;
};

struct PgState::Session {
  explicit Session(const std::string& conninfo) : connection(conninfo) {}
  std::mutex mu;
  PgConnection connection;
  bool in_transaction = false;
  std::set<std::string> locked;  // event ids whose lock the transaction holds
};

PgState::PgState(PgConfig config, CounterTable* counters)
    : GroupCommitStore("\"" + config.node + "\" on PostgreSQL"),
      config_(std::move(config)),
      counters_(counters),
      writer_(std::make_unique<PgConnection>(config_.conninfo)),
      numbers_(std::make_unique<PgConnection>(config_.conninfo)),
      reader_(std::make_unique<PgConnection>(config_.conninfo)) {}

PgState::~PgState() { Close(); }

bool PgState::Migrate(std::string* error) {
  // One daemon at a time, all in one transaction (the caller rolls back
  // what a failure left open).
  if (!writer_->Exec("BEGIN", error) ||
      !writer_->Exec("SELECT pg_advisory_xact_lock(hashtextextended('actionmanagerd schema', 0))",
                     error) ||
      !writer_->Exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)",
                     error)) {
    return false;
  }
  Result version;
  if (!writer_->Exec("SELECT version FROM schema_version", {}, &version, error)) return false;
  int applied = 0;
  if (version.rows() == 0) {
    if (!writer_->Exec("INSERT INTO schema_version VALUES (0)", error)) return false;
  } else {
    applied = static_cast<int>(version.Int(0, 0));
  }
  if (applied > kPgSchemaVersion) {
    *error = "its schema version " + std::to_string(applied) + " is newer than this program's (" +
             std::to_string(kPgSchemaVersion) + ")";
    return false;
  }
  for (; applied < kPgSchemaVersion; ++applied) {
    std::string message;
    if (!writer_->Exec(kPgMigrations[applied], &message) ||
        !writer_->Exec("UPDATE schema_version SET version = " + std::to_string(applied + 1),
                       &message)) {
      *error = "schema migration " + std::to_string(applied + 1) + ": " + message;
      return false;
    }
  }
  return writer_->Exec("COMMIT", error);
}

bool PgState::Open(const StateOptions& options, std::vector<Unfinished>* unfinished,
                   std::vector<CounterRow>*, std::string* error) {
  options_ = options;
  std::string message;
  const auto fail = [&](const std::string& what) {
    *error = "PostgreSQL: " + what;
    writer_->Rollback();
    return false;
  };
  if (!writer_->Ready(&message)) return fail(message);
  // One daemon per name: the writer's session holds the name's lock for
  // its life, and the server drops it with the connection.
  Result locked;
  if (!writer_->Exec("SELECT pg_try_advisory_lock(hashtextextended('actionmanagerd node ' || $1, 0))",
                     {config_.node}, &locked, &message)) {
    return fail(message);
  }
  if (locked.Text(0, 0) != "t") {
    return fail("the node name \"" + config_.node + "\" is in use by another daemon");
  }
  if (!Migrate(&message)) return fail(message);
  if (!Heartbeat(&message)) return fail(message);
  // What this name left unfinished, unless a peer is taking it over right
  // now: its claim holds the rows, and once it commits they are no longer
  // ours.
  Result mine;
  if (!writer_->Exec("BEGIN", &message) ||
      !writer_->Exec("SELECT seq, payload FROM events WHERE owner = $1 AND state = 'queued'"
                     " ORDER BY seq FOR UPDATE",
                     {config_.node}, &mine, &message) ||
      !writer_->Exec("COMMIT", &message)) {
    return fail(message);
  }
  for (int i = 0; i < mine.rows(); ++i) {
    unfinished->push_back({static_cast<std::uint64_t>(mine.Int(i, 0)), mine.Text(i, 1)});
  }
  if (!Prune(&message)) return fail(message);
  last_prune_ = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(closing_mu_);
    closing_ = false;
  }
  StartWriter(options, 1, *unfinished,
              std::chrono::duration_cast<std::chrono::milliseconds>(config_.lease) / 3);
  return true;
}

bool PgState::Heartbeat(std::string* error) {
  return writer_->Exec(
      "INSERT INTO nodes (node, lease_until) VALUES ($1, now() + $2 * interval '1 second')"
      " ON CONFLICT (node) DO UPDATE SET lease_until = excluded.lease_until",
      {config_.node, Num(config_.lease.count())}, nullptr, error);
}

bool PgState::Reserve(std::size_t count, std::uint64_t* first, std::string* error) {
  if (block_end_ - block_next_ < count) {
    const std::uint64_t want = std::max<std::uint64_t>(count, kBlock);
    Result block;
    if (!numbers_->Exec("UPDATE numbers SET next = next + $1 WHERE id = 1 RETURNING next - $1",
                        {Num(static_cast<std::int64_t>(want))}, &block, error) ||
        block.rows() != 1) {
      *error = "cannot number new events: " + *error;
      return false;
    }
    block_next_ = static_cast<std::uint64_t>(block.Int(0, 0));
    block_end_ = block_next_ + want;
  }
  *first = block_next_;
  block_next_ += count;
  return true;
}

bool PgState::Commit(const std::vector<Accepted>& accepted, const std::vector<Finishing>&,
                     std::string* error) {
  // Finish records never come here: each worker commits its own.
  if (accepted.empty()) return Heartbeat(error);
  const auto failed = [&] {
    writer_->Rollback();
    return false;
  };
  // A peer takes over only the events whose owner's fingerprints it can
  // compare: they are committed with the first events, not an idle period
  // later, so a daemon that dies early leaves nothing stranded.
  std::map<std::string, std::string> fingerprints;
  const bool due = FingerprintsDue(&fingerprints);
  if (!writer_->Exec("BEGIN", error)) return failed();
  if (due && !WriteFingerprints(fingerprints, error)) return failed();
  for (const Accepted& a : accepted) {
    // The payload names its profile; the claims need it as a column.
    const nlohmann::json parsed = nlohmann::json::parse(a.payload, nullptr, false);
    const std::string profile = parsed.is_object() && parsed.contains("profile") &&
                                        parsed["profile"].is_string()
                                    ? parsed["profile"].get<std::string>()
                                    : std::string();
    if (!writer_->Exec("INSERT INTO events (seq, owner, profile, payload, accepted_ms, state)"
                       " VALUES ($1, $2, $3, $4, $5, 'queued')",
                       {Num(static_cast<std::int64_t>(a.seq)), config_.node, profile, a.payload,
                        Num(a.accepted_ms)},
                       nullptr, error)) {
      return failed();
    }
  }
  if (!writer_->Exec("COMMIT", error)) return failed();
  if (due) FingerprintsStored(fingerprints);
  return true;
}

bool PgState::FingerprintsDue(std::map<std::string, std::string>* fingerprints) {
  std::lock_guard<std::mutex> lock(profiles_mu_);
  *fingerprints = fingerprints_;
  return !fingerprints_stored_;
}

bool PgState::WriteFingerprints(const std::map<std::string, std::string>& fingerprints,
                                std::string* error) {
  bool ok = writer_->Exec("DELETE FROM node_profiles WHERE node = $1", {config_.node}, nullptr,
                          error);
  for (auto it = fingerprints.begin(); ok && it != fingerprints.end(); ++it) {
    ok = writer_->Exec("INSERT INTO node_profiles VALUES ($1, $2, $3)",
                       {config_.node, it->first, it->second}, nullptr, error);
  }
  return ok;
}

void PgState::FingerprintsStored(const std::map<std::string, std::string>& fingerprints) {
  std::lock_guard<std::mutex> lock(profiles_mu_);
  if (fingerprints == fingerprints_) fingerprints_stored_ = true;
}

void PgState::Idle() {
  std::string error;
  bool ok = Heartbeat(&error);
  std::map<std::string, std::string> fingerprints;
  if (ok && FingerprintsDue(&fingerprints)) {
    ok = writer_->Exec("BEGIN", &error) && WriteFingerprints(fingerprints, &error) &&
         writer_->Exec("COMMIT", &error);
    if (ok) {
      FingerprintsStored(fingerprints);
    } else {
      writer_->Rollback();
    }
  }
  ok = ok && Claim(&error);
  const auto now = std::chrono::steady_clock::now();
  if (ok && now - last_prune_ >= kPruneEvery) {
    ok = Prune(&error);
    if (ok) last_prune_ = now;
  }
  if (ok) {
    Result size;
    if (writer_->Exec("SELECT pg_database_size(current_database())", {}, &size, &error)) {
      database_bytes_ = static_cast<std::uint64_t>(size.Int(0, 0));
    }
    Succeeded();
  } else {
    Failed(error);
  }
}

bool PgState::Claim(std::string* error) {
  // Say once why events of a stopped daemon stay where they are.
  Result refused;
  if (!writer_->Exec(
          "SELECT e.owner, e.profile, count(*), mine.fingerprint IS NULL FROM events e"
          " JOIN nodes n ON n.node = e.owner AND n.lease_until < now() AND n.node <> $1"
          " LEFT JOIN node_profiles theirs ON theirs.node = e.owner AND theirs.profile = e.profile"
          " LEFT JOIN node_profiles mine ON mine.node = $1 AND mine.profile = e.profile"
          " WHERE e.state = 'queued' AND (mine.fingerprint IS NULL OR"
          " theirs.fingerprint IS DISTINCT FROM mine.fingerprint)"
          " GROUP BY e.owner, e.profile, mine.fingerprint IS NULL",
          {config_.node}, &refused, error)) {
    return false;
  }
  for (int i = 0; i < refused.rows(); ++i) {
    const std::string owner = refused.Text(i, 0), profile = refused.Text(i, 1);
    {
      std::lock_guard<std::mutex> lock(profiles_mu_);
      if (!said_.insert(owner + '\n' + profile).second) continue;
    }
    Log(kPriorityWarning,
        "not taking over " + refused.Text(i, 2) + " unfinished events of profile \"" + profile +
            "\" from the stopped daemon \"" + owner + "\": " +
            (refused.Text(i, 3) == "t" ? "this daemon does not run the profile"
                                       : "its settings of the profile differ from this daemon's"));
  }
  Result claimed;
  if (!writer_->Exec(
          "WITH taken AS (SELECT e.seq FROM events e"
          " JOIN nodes n ON n.node = e.owner AND n.lease_until < now() AND n.node <> $1"
          " JOIN node_profiles theirs ON theirs.node = e.owner AND theirs.profile = e.profile"
          " JOIN node_profiles mine ON mine.node = $1 AND mine.profile = e.profile"
          " AND mine.fingerprint = theirs.fingerprint"
          " WHERE e.state = 'queued' ORDER BY e.seq LIMIT 1000 FOR UPDATE OF e SKIP LOCKED)"
          " UPDATE events SET owner = $1 FROM taken WHERE events.seq = taken.seq"
          " RETURNING events.seq, events.payload, events.profile",
          {config_.node}, &claimed, error)) {
    return false;
  }
  if (claimed.rows() == 0) return true;
  std::vector<Unfinished> events;
  for (int i = 0; i < claimed.rows(); ++i) {
    events.push_back({static_cast<std::uint64_t>(claimed.Int(i, 0)), claimed.Text(i, 1)});
  }
  std::sort(events.begin(), events.end(),
            [](const Unfinished& a, const Unfinished& b) { return a.seq < b.seq; });
  Log(kPriorityNotice, "took over " + std::to_string(events.size()) +
                           " unfinished events from daemons whose lease ran out");
  Adopt(events);
  if (options_.on_claimed) options_.on_claimed(std::move(events));
  return true;
}

bool PgState::Prune(std::string* error) {
  const std::int64_t now = NowMs();
  const auto [counter_cutoff, history_cutoff] = CutoffsAt(options_, now);
  const std::string rows = Num(options_.history_rows);
  const bool ok =
      writer_->Exec("DELETE FROM counters WHERE last_seen_ms < $1", {Num(counter_cutoff)}, nullptr,
                    error) &&
      writer_->Exec("DELETE FROM history WHERE time_ms < $1", {Num(history_cutoff)}, nullptr,
                    error) &&
      writer_->Exec("DELETE FROM events WHERE state <> 'queued' AND finished_ms < $1",
                    {Num(history_cutoff)}, nullptr, error) &&
      writer_->Exec("DELETE FROM history WHERE id <= (SELECT max(id) FROM history) - $1", {rows},
                    nullptr, error) &&
      writer_->Exec("DELETE FROM events WHERE state <> 'queued' AND"
                    " seq <= (SELECT max(seq) FROM events) - $1",
                    {rows}, nullptr, error);
  if (ok && counters_ != nullptr) counters_->Forget(counter_cutoff);
  return ok;
}

void PgState::SetProfiles(const std::map<std::string, std::string>& fingerprints) {
  std::lock_guard<std::mutex> lock(profiles_mu_);
  if (fingerprints == fingerprints_) return;
  fingerprints_ = fingerprints;
  fingerprints_stored_ = false;
  said_.clear();
}

PgState::Session& PgState::SessionOf(const std::string& profile) {
  std::lock_guard<std::mutex> lock(sessions_mu_);
  std::unique_ptr<Session>& session = sessions_[profile];
  if (!session) session = std::make_unique<Session>(config_.conninfo);
  return *session;
}

bool PgState::Pause(int attempt) {
  const auto wait = std::min<std::chrono::milliseconds>(kFirstBackoff * (1 << std::min(attempt, 5)),
                                                        kLastBackoff);
  std::unique_lock<std::mutex> lock(closing_mu_);
  closing_cv_.wait_for(lock, wait, [&] { return closing_; });
  return !closing_;
}

std::optional<std::int32_t> PgState::SharedCount(const std::string& profile,
                                                 const std::string& rule,
                                                 const std::string& event_id) {
  Session& session = SessionOf(profile);
  std::lock_guard<std::mutex> lock(session.mu);
  for (int attempt = 0;; ++attempt) {
    std::string error;
    Result count;
    bool ok = true;
    if (!session.in_transaction) {
      ok = session.connection.Exec("BEGIN", &error);
      session.in_transaction = ok;
      session.locked.clear();
    }
    if (ok && session.locked.count(event_id) == 0) {
      ok = session.connection.Exec(
          "SELECT pg_advisory_xact_lock(hashtextextended($1 || chr(31) || $2, 0))",
          {profile, event_id}, nullptr, &error);
      if (ok) session.locked.insert(event_id);
    }
    // Seen again: the id's time-to-live starts over.
    ok = ok && session.connection.Exec(
                   "UPDATE counters SET last_seen_ms = $4 WHERE profile = $1 AND rule = $2"
                   " AND event_id = $3 RETURNING count",
                   {profile, rule, event_id, Num(NowMs())}, &count, &error);
    if (ok) return count.rows() == 0 ? 0 : static_cast<std::int32_t>(count.Int(0, 0));
    session.connection.Rollback();
    session.in_transaction = false;
    Failed(error);
    // Without its lock no action may run: while closing, the largest count
    // holds every action back, and the event, never finished, stays queued
    // for the next start.
    if (!Pause(attempt)) return std::numeric_limits<std::int32_t>::max();
  }
}

bool PgState::Finish(FinishRecord record) {
  Session& session = SessionOf(record.profile);
  std::lock_guard<std::mutex> lock(session.mu);
  for (int attempt = 0;; ++attempt) {
    std::string error;
    PgConnection& c = session.connection;
    bool ok = session.in_transaction || c.Exec("BEGIN", &error);
    session.in_transaction = ok;
    Result owned;
    ok = ok && c.Exec("UPDATE events SET state = $1, finished_ms = $2, outcome = $3"
                      " WHERE seq = $4 RETURNING owner",
                      {record.state, Num(NowMs()), record.outcome,
                       Num(static_cast<std::int64_t>(record.seq))},
                      &owned, &error);
    if (ok && owned.rows() == 1 && owned.Text(0, 0) != config_.node) {
      Log(kPriorityWarning, "event " + std::to_string(record.seq) + " was taken over by \"" +
                                owned.Text(0, 0) +
                                "\" while this daemon could not reach the database");
    }
    // After an outage the record may be written without its lock: a count
    // never goes down.
    for (std::size_t i = 0; ok && i < record.counters.size(); ++i) {
      const CounterRow& r = record.counters[i];
      ok = c.Exec("INSERT INTO counters (profile, rule, event_id, count, last_seen_ms)"
                  " VALUES ($1, $2, $3, $4, $5) ON CONFLICT (profile, rule, event_id) DO UPDATE"
                  " SET count = greatest(counters.count, excluded.count),"
                  " last_seen_ms = greatest(counters.last_seen_ms, excluded.last_seen_ms)",
                  {r.profile, r.rule, r.event_id, Num(r.count), Num(r.last_seen_ms)}, nullptr,
                  &error);
    }
    for (std::size_t i = 0; ok && i < record.history.size(); ++i) {
      const HistoryRow& h = record.history[i];
      ok = c.Exec("INSERT INTO history (seq, profile, rule, action, kind, event_id, decision,"
                  " result_event, result_code, return_value, seconds, time_ms, stdout, stderr)"
                  " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14)",
                  {Num(static_cast<std::int64_t>(record.seq)), h.profile, h.rule, Num(h.action),
                   h.kind, h.event_id, h.decision, h.result_event ? "true" : "false",
                   Num(h.result_code), Num(h.return_value), std::to_string(h.seconds),
                   Num(h.time_ms), h.output, h.error},
                  nullptr, &error);
    }
    ok = ok && c.Exec("COMMIT", &error);
    session.in_transaction = false;
    session.locked.clear();
    if (ok) {
      Released(record.seq);
      Succeeded();
      return true;
    }
    c.Rollback();
    Failed(error);
    if (!Pause(attempt)) return false;
  }
}

void PgState::StopRetrying() {
  {
    std::lock_guard<std::mutex> lock(closing_mu_);
    closing_ = true;
  }
  closing_cv_.notify_all();
}

void PgState::Close() {
  StopRetrying();
  StopWriter();
  // A worker still inside its session finishes with it first.
  std::lock_guard<std::mutex> lock(sessions_mu_);
  for (auto& [profile, session] : sessions_) {
    std::lock_guard<std::mutex> hold(session->mu);
    session->connection.Rollback();
  }
}

bool PgState::History(const HistoryQuery& query, std::vector<HistoryRow>* rows,
                      std::int64_t* next_cursor, std::string* error) {
  std::lock_guard<std::mutex> lock(read_mu_);
  Result r;
  if (!reader_->Exec(
          std::string("SELECT ") + kHistoryColumns +
              " FROM history WHERE ($1 = '' OR profile = $1) AND ($2 = '' OR event_id = $2)"
              " AND time_ms >= $3 AND time_ms < $4 AND id < $5 ORDER BY id DESC LIMIT $6",
          {query.profile, query.event_id,
           Num(query.since_ms.value_or(std::numeric_limits<std::int64_t>::min())),
           Num(query.until_ms.value_or(std::numeric_limits<std::int64_t>::max())),
           Num(query.cursor > 0 ? query.cursor : std::numeric_limits<std::int64_t>::max()),
           Num(std::int64_t{query.limit} + 1)},
          &r, error)) {
    return false;
  }
  for (int i = 0; i < r.rows(); ++i) rows->push_back(ReadHistory(r, i));
  *next_cursor = CutPage(rows, query.limit);
  return true;
}

bool PgState::Event(std::uint64_t seq, StoredEvent* event, std::vector<HistoryRow>* actions,
                    std::string* error) {
  std::lock_guard<std::mutex> lock(read_mu_);
  const std::string key = Num(static_cast<std::int64_t>(seq));
  Result e;
  if (!reader_->Exec("SELECT seq, payload, state, accepted_ms, finished_ms, outcome FROM events"
                     " WHERE seq = $1",
                     {key}, &e, error)) {
    return false;
  }
  if (e.rows() == 0) {
    error->clear();
    return false;
  }
  *event = {static_cast<std::uint64_t>(e.Int(0, 0)), e.Text(0, 1), e.Text(0, 2), e.Int(0, 3),
            e.Int(0, 4), e.Text(0, 5)};
  Result h;
  if (!reader_->Exec(std::string("SELECT ") + kHistoryColumns +
                         " FROM history WHERE seq = $1 ORDER BY id",
                     {key}, &h, error)) {
    return false;
  }
  for (int i = 0; i < h.rows(); ++i) actions->push_back(ReadHistory(h, i));
  return true;
}

bool PgState::Counters(const std::string& event_id, std::vector<CounterRow>* rows,
                       std::string* error) {
  std::lock_guard<std::mutex> lock(read_mu_);
  Result r;
  if (!reader_->Exec("SELECT profile, rule, event_id, count, last_seen_ms FROM counters"
                     " WHERE event_id = $1 ORDER BY profile, rule",
                     {event_id}, &r, error)) {
    return false;
  }
  for (int i = 0; i < r.rows(); ++i) {
    rows->push_back({r.Text(i, 0), r.Text(i, 1), r.Text(i, 2),
                     static_cast<std::int32_t>(r.Int(i, 3)), r.Int(i, 4)});
  }
  return true;
}

}  // namespace service
