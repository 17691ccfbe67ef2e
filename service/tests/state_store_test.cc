// The state stores on their own. What every backend keeps (what comes back
// after a close, the bounds, the queries) runs against SQLite and against a
// real PostgreSQL server; then what is SQLite's own (a failing or damaged
// file, through a VFS that wraps the system's and fails writes on demand)
// and PostgreSQL's own (several daemons on one database, outages).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>

#include "service/log.h"
#include "service/pg_state.h"
#include "service/sqlite_state.h"
#include "testing/postgres.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace service {
namespace {

using ::testing::HasSubstr;

// "failing": the default VFS, except that while `g_fail` is nonzero every
// write, sync and truncate answers it.
std::atomic<int> g_fail{0};

struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_file* Real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

// Every method forwards to the real file; writes, syncs and truncates fail
// first while `g_fail` is set.
#define AM_FORWARD(method) \
  [](sqlite3_file* f, auto... args) { return Real(f)->pMethods->method(Real(f), args...); }
#define AM_FAILING(method)                              \
  [](sqlite3_file* f, auto... args) {                   \
    if (int rc = g_fail.load()) return rc;              \
    return Real(f)->pMethods->method(Real(f), args...); \
  }
// clang-format off
const sqlite3_io_methods kMethods = {
    2, AM_FORWARD(xClose), AM_FORWARD(xRead), AM_FAILING(xWrite), AM_FAILING(xTruncate),
    AM_FAILING(xSync), AM_FORWARD(xFileSize), AM_FORWARD(xLock), AM_FORWARD(xUnlock),
    AM_FORWARD(xCheckReservedLock), AM_FORWARD(xFileControl), AM_FORWARD(xSectorSize),
    AM_FORWARD(xDeviceCharacteristics), AM_FORWARD(xShmMap), AM_FORWARD(xShmLock),
    AM_FORWARD(xShmBarrier), AM_FORWARD(xShmUnmap), nullptr, nullptr};
// clang-format on

sqlite3_vfs* Failing() {
  static sqlite3_vfs vfs;
  static bool made = [] {
    sqlite3_vfs* real = sqlite3_vfs_find(nullptr);
    vfs = *real;
    vfs.zName = "failing";
    vfs.pAppData = real;
    vfs.szOsFile = static_cast<int>(sizeof(ShimFile)) + real->szOsFile;
    vfs.xOpen = [](sqlite3_vfs* self, const char* name, sqlite3_file* f, int flags, int* out) {
      auto* real_vfs = static_cast<sqlite3_vfs*>(self->pAppData);
      auto* shim = reinterpret_cast<ShimFile*>(f);
      shim->real = reinterpret_cast<sqlite3_file*>(shim + 1);
      const int rc = real_vfs->xOpen(real_vfs, name, shim->real, flags, out);
      f->pMethods = rc == SQLITE_OK ? &kMethods : nullptr;
      return rc;
    };
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
  }();
  return made ? &vfs : nullptr;
}

CounterRow Counter(const std::string& event_id, std::int32_t count, std::int64_t seen) {
  return {"P", "disk_full", event_id, count, seen};
}

HistoryRow Decision(const std::string& profile, const std::string& event_id, std::int64_t time) {
  HistoryRow row;
  std::tie(row.profile, row.rule, row.kind, row.event_id, row.decision, row.time_ms) =
      std::tie(profile, "disk_full", "builtin", event_id, "ran", time);
  return row;
}

// The payloads of `events`, each followed by a space.
std::string Payloads(const std::vector<StateStore::Unfinished>& events) {
  std::string text;
  for (const auto& event : events) text += event.payload + " ";
  return text;
}

enum class Backend { kSqlite, kPostgres };

// One server for every PostgreSQL test of the program, started by the first
// (and stopped when the program exits), emptied before each.
amtest::Postgres* Server(std::string* error) {
  static std::string failed;
  static const std::unique_ptr<amtest::Postgres> server = [] {
    auto made = std::make_unique<amtest::Postgres>();
    return made->Start(&failed) ? std::move(made) : nullptr;
  }();
  *error = failed;
  return server.get();
}

class StoreFixture : public ::testing::Test {
 protected:
  explicit StoreFixture(Backend backend) : backend_(backend) {}
  void SetUp() override {
    if (backend_ != Backend::kPostgres) return;
    if (amtest::FindPostgresBin().empty()) GTEST_SKIP() << amtest::kNoPostgres;
    std::string error;
    pg_ = Server(&error);
    ASSERT_NE(pg_, nullptr) << error;
    std::string out;
    ASSERT_TRUE(pg_->Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public", &out, &error))
        << error;
  }

  std::unique_ptr<StateStore> Make(const std::string& node = "n1",
                                   std::chrono::seconds lease = std::chrono::seconds(30),
                                   CounterTable* table = nullptr) {
    if (table == nullptr) table = &table_;
    if (backend_ == Backend::kPostgres) {
      return std::make_unique<PgState>(PgConfig{pg_->conninfo(), node, lease}, table);
    }
    return std::make_unique<SqliteState>(dir_ / "state.db", table, vfs_);
  }
  // Opens the store (SQLite's at dir/state.db, through `vfs` when given).
  bool Open(const std::string& vfs = {}, StateOptions options = {}) {
    store_.reset();
    vfs_ = vfs;
    store_ = Make();
    unfinished_.clear();
    counters_.clear();
    return store_->Open(options, &unfinished_, &counters_, &error_);
  }
  // Opens another store beside the fixture's; its unfinished events go into
  // other_unfinished_.
  bool OpenOther(StateStore& store, const StateOptions& options = {}) {
    other_unfinished_.clear();
    std::vector<CounterRow> counters;
    return store.Open(options, &other_unfinished_, &counters, &error_);
  }
  std::uint64_t Accept(const std::string& payload) {
    std::uint64_t seq = 0;
    EXPECT_EQ(store_->Submit({payload}, &seq), StateStore::SubmitResult::kOk);
    return seq;
  }
  bool Finish(std::uint64_t seq, std::vector<CounterRow> counters = {},
              std::vector<HistoryRow> history = {}) {
    return store_->Finish({seq, "processed", "{}", std::move(counters), std::move(history), "P"});
  }
  // The EventIds of the history's rows `query` selects, each followed by a
  // space; the next page's cursor in *next.
  std::string Query(HistoryQuery query, std::int64_t* next = nullptr) {
    std::vector<HistoryRow> rows;
    std::int64_t cursor = 0;
    EXPECT_TRUE(store_->History(query, &rows, &cursor, &error_)) << error_;
    if (next != nullptr) *next = cursor;
    std::string ids;
    for (const HistoryRow& row : rows) ids += row.event_id + " ";
    return ids;
  }
  // Event `seq` as one text: its state and outcome, each action's output
  // and error; "none" and the error when it is not found.
  std::string EventText(std::uint64_t seq) {
    StoredEvent event;
    std::vector<HistoryRow> actions;
    if (!store_->Event(seq, &event, &actions, &error_)) return "none " + error_;
    std::string text = event.state + " " + event.outcome;
    for (const HistoryRow& row : actions) text += " [" + row.output + "|" + row.error + "]";
    return text;
  }
  // The counters stored for `event_id`, as "profile rule count last-seen; ".
  std::string CountersOf(const std::string& event_id) {
    std::vector<CounterRow> rows;
    EXPECT_TRUE(store_->Counters(event_id, &rows, &error_)) << error_;
    std::string text;
    for (const CounterRow& row : rows) {
      text += row.profile + " " + row.rule + " " + std::to_string(row.count) + " " +
              std::to_string(row.last_seen_ms) + "; ";
    }
    return text;
  }
  // The count of profile P's rule for `event_id` as the next delivery would
  // read it: loaded at Open, or read from the shared database.
  std::int32_t Count(const std::string& event_id) {
    if (const auto shared = store_->SharedCount("P", "disk_full", event_id)) return *shared;
    for (const CounterRow& row : counters_) {
      if (row.event_id == event_id) return row.count;
    }
    return 0;
  }

  const Backend backend_;
  amtest::Postgres* pg_ = nullptr;
  amtest::TempDir dir_;
  std::string vfs_;
  CounterTable table_;
  std::unique_ptr<StateStore> store_;
  std::vector<StateStore::Unfinished> unfinished_, other_unfinished_;
  std::vector<CounterRow> counters_;
  std::string error_;
};

template <Backend kBackend>
class On : public StoreFixture {
 protected:
  On() : StoreFixture(kBackend) {}
};
using SqliteStoreTest = On<Backend::kSqlite>;
using PgStoreTest = On<Backend::kPostgres>;

class StateStoreTest : public StoreFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  StateStoreTest() : StoreFixture(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Backends, StateStoreTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == Backend::kSqlite ? "SQLite" : "PostgreSQL";
                         });

TEST_P(StateStoreTest, UnfinishedEventsCountersAndHistoryComeBackAfterAClose) {
  ASSERT_TRUE(Open()) << error_;
  std::uint64_t first = 0;
  ASSERT_EQ(store_->Submit({"a", "b", "c"}, &first), StateStore::SubmitResult::kOk);
  ASSERT_TRUE(store_->WaitDurable(first + 2));
  const std::int64_t now = NowMs();
  HistoryRow printed = Decision("P", "E1", now);
  printed.output = "C: 91% full\n";
  printed.error = "d\xC3\xA9j\xC3\xA0";
  ASSERT_TRUE(store_->Finish({first + 1,
                              "processed",
                              R"({"result":1})",
                              {Counter("E1", 1, now)},
                              {printed, Decision("P", "E1", now)},
                              "P"}));
  store_->Close();

  ASSERT_TRUE(Open()) << error_;
  EXPECT_EQ(Payloads(unfinished_), "a c ");
  // Read back by EventId: only that id's rows.
  EXPECT_EQ(CountersOf("E1"), "P disk_full 1 " + std::to_string(now) + "; ");
  EXPECT_EQ(CountersOf("E2"), "");
  EXPECT_EQ(Count("E1"), 1);
  // Numbers go on after the highest ever given, finished or not.
  EXPECT_GT(Accept("d"), first + 2);
  EXPECT_EQ(EventText(first + 1),
            "processed {\"result\":1} [C: 91% full\n|d\xC3\xA9j\xC3\xA0] [|]");
  EXPECT_EQ(EventText(first), "queued ");
  EXPECT_EQ(EventText(999), "none ");
}

TEST_P(StateStoreTest, HistoryIsNewestFirstFilteredAndPaged) {
  ASSERT_TRUE(Open()) << error_;
  std::vector<HistoryRow> rows;
  for (int i = 0; i < 5; ++i) {
    rows.push_back(Decision(i % 2 ? "A" : "B", "E" + std::to_string(i), 1000 + i));
  }
  ASSERT_TRUE(Finish(Accept("x"), {}, rows));
  HistoryQuery page;
  page.limit = 2;
  for (const char* expected : {"E4 E3 ", "E2 E1 ", "E0 "}) {
    EXPECT_EQ(Query(page, &page.cursor), expected);
  }
  EXPECT_EQ(page.cursor, 0);
  HistoryQuery filtered;
  filtered.profile = "A";
  EXPECT_EQ(Query(filtered), "E3 E1 ");
  filtered.profile.clear();
  filtered.event_id = "E2";
  EXPECT_EQ(Query(filtered), "E2 ");
  filtered.event_id.clear();
  filtered.since_ms = 1001;
  filtered.until_ms = 1003;
  EXPECT_EQ(Query(filtered), "E2 E1 ");
}

TEST_P(StateStoreTest, BoundsForgetOldCountersAndHistoryOnDiskAndInMemory) {
  StateOptions options;
  options.counter_ttl = std::chrono::hours(1);
  options.history_days = 1;
  options.history_rows = 3;
  ASSERT_TRUE(Open({}, options)) << error_;
  const std::int64_t now = NowMs();
  const std::int64_t old = now - 2 * 24 * 3600 * 1000;
  table_.Load({Counter("old", 1, old), Counter("new", 1, now)});
  std::vector<HistoryRow> rows = {Decision("P", "old", old)};
  for (int i = 0; i < 4; ++i) rows.push_back(Decision("P", "n" + std::to_string(i), now));
  ASSERT_TRUE(Finish(Accept("x"), {Counter("old", 1, old), Counter("new", 1, now)}, rows));
  store_->Close();
  ASSERT_TRUE(Open({}, options)) << error_;  // the bounds apply at every start
  EXPECT_EQ(std::make_tuple(Count("old"), Count("new"), table_.size()), std::make_tuple(0, 1, 1u));
  EXPECT_EQ(Query({}), "n3 n2 n1 ");
}

TEST_P(StateStoreTest, TheBoundRefusesWholeBatchesUntilEventsFinish) {
  StateOptions options;
  options.max_queued_bytes = 1000;
  ASSERT_TRUE(Open({}, options)) << error_;
  const std::string payload(300, 'x');
  std::uint64_t first = 0;
  ASSERT_EQ(store_->Submit({payload, payload}, &first), StateStore::SubmitResult::kOk);
  std::uint64_t ignored = 0;
  EXPECT_EQ(store_->Submit({payload, payload}, &ignored), StateStore::SubmitResult::kFull);
  ASSERT_TRUE(store_->WaitDurable(first + 1));
  ASSERT_TRUE(Finish(first));
  EXPECT_EQ(store_->Submit({payload}, &ignored), StateStore::SubmitResult::kOk);
}

TEST_F(SqliteStoreTest, AFailingWriteRefusesItsEventsReportsAndRecoversByItself) {
  ASSERT_NE(Failing(), nullptr);
  for (const auto& [name, error, message] :
       {std::tuple("a full disk", SQLITE_FULL, "full"),
        std::tuple("an I/O error", SQLITE_IOERR_WRITE, "disk I/O error")}) {
    SCOPED_TRACE(name);
    for (const char* file : {"state.db", "state.db-wal", "state.db-shm"}) {
      std::filesystem::remove(dir_ / file);
    }
    ASSERT_TRUE(Open("failing")) << error_;
    const std::uint64_t kept = Accept("kept");
    ASSERT_TRUE(store_->WaitDurable(kept));
    g_fail = error;
    EXPECT_FALSE(store_->WaitDurable(Accept("lost")));
    EXPECT_FALSE(Finish(kept));
    std::string reason;
    EXPECT_FALSE(store_->healthy(&reason));
    EXPECT_THAT(reason, HasSubstr(message));
    EXPECT_GE(store_->write_failures(), 1u);
    g_fail = 0;
    // The writer's own retry brings it back, with the finish it kept.
    EXPECT_TRUE(amtest::WaitFor([&] { return store_->healthy(nullptr); }));
    EXPECT_TRUE(store_->WaitDurable(Accept("after")));
    store_->Close();
    ASSERT_TRUE(Open()) << error_;
    EXPECT_EQ(Payloads(unfinished_), "after ");
    store_->Close();
  }
}

TEST_F(SqliteStoreTest, AnUnusableFileIsRefusedAndLeftAsItWas) {
  // A real database with a damaged page of its history, which a start would
  // not otherwise read.
  ASSERT_TRUE(Open()) << error_;
  ASSERT_TRUE(Finish(Accept("x"), {}, std::vector(100, Decision("P", std::string(500, 'h'), 1))));
  store_->Close();
  const std::string good = dir_.Read("state.db");
  ASSERT_GT(good.size(), 3 * 4096u);
  std::string damaged = good;
  std::memset(damaged.data() + good.size() - 2 * 4096, 0x5a, 200);
  // {name, the file's content ("": a good one of a newer schema), the error}
  for (const auto& [name, content, message] :
       {std::tuple("not a database", std::string(8192, 'j'), "not a database"),
        std::tuple("a damaged page", damaged, "is damaged"),
        std::tuple("another program's newer schema", std::string(), "newer than this program's")}) {
    SCOPED_TRACE(name);
    std::filesystem::remove(dir_ / "state.db-wal");
    std::filesystem::remove(dir_ / "state.db-shm");
    dir_.Write("state.db", content.empty() ? good : content);
    if (content.empty()) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open((dir_ / "state.db").c_str(), &db), SQLITE_OK);
      ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr), SQLITE_OK);
      sqlite3_close(db);
    }
    const auto size = std::filesystem::file_size(dir_ / "state.db");
    EXPECT_FALSE(Open());
    EXPECT_THAT(error_, HasSubstr(message));
    store_.reset();
    EXPECT_EQ(std::filesystem::file_size(dir_ / "state.db"), size);
  }
}

TEST_F(SqliteStoreTest, OneProcessAtATime) {
  ASSERT_TRUE(Open()) << error_;
  std::unique_ptr<StateStore> second = Make();
  EXPECT_FALSE(OpenOther(*second));
  EXPECT_THAT(error_, HasSubstr("in use by another process"));
}

TEST_F(PgStoreTest, TwoDaemonsTakeTurnsOnAnEventIdAndTheSecondReadsTheFirstsCount) {
  ASSERT_TRUE(Open()) << error_;
  CounterTable other_table;
  std::unique_ptr<StateStore> other = Make("n2", std::chrono::seconds(30), &other_table);
  ASSERT_TRUE(OpenOther(*other)) << error_;
  // One name, one daemon.
  std::unique_ptr<StateStore> twin = Make("n2");
  EXPECT_FALSE(OpenOther(*twin));
  EXPECT_THAT(error_, HasSubstr("in use by another daemon"));

  ASSERT_EQ(store_->SharedCount("P", "disk_full", "E"), 0);
  std::atomic<int> seen{-1};
  std::thread second([&] { seen = other->SharedCount("P", "disk_full", "E").value_or(-2); });
  std::string waiting;
  EXPECT_TRUE(amtest::WaitFor([&] {
    std::string ignored;
    return pg_->Sql("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted",
                    &waiting, &ignored) &&
           waiting == "1";
  }));
  EXPECT_EQ(seen, -1);
  ASSERT_TRUE(Finish(Accept("x"), {Counter("E", 1, NowMs())}));
  second.join();
  EXPECT_EQ(seen, 1);
  // Another event id and another profile wait for nobody.
  EXPECT_EQ(store_->SharedCount("P", "disk_full", "F"), 0);
  EXPECT_EQ(store_->SharedCount("Q", "disk_full", "E"), 0);
}

TEST_F(PgStoreTest, AStoppedDaemonsEventsGoToAPeerWithTheSameSettingsOnceItsLeaseRunsOut) {
  const auto lease = std::chrono::seconds(3);
  const auto event = [](const char* profile, int i) {
    return std::string(R"({"event":{},"profile":")") + profile + "\",\"i\":" + std::to_string(i) +
           "}";
  };
  {
    std::unique_ptr<StateStore> first = Make("n1", lease);
    ASSERT_TRUE(OpenOther(*first)) << error_;
    first->SetProfiles({{"P", "same"}, {"Q", "old"}});
    std::uint64_t seq = 0;
    ASSERT_EQ(first->Submit({event("P", 1), event("Q", 2), event("P", 3)}, &seq),
              StateStore::SubmitResult::kOk);
    ASSERT_TRUE(first->WaitDurable(seq + 2));
    std::string rows;
    ASSERT_TRUE(amtest::WaitFor([&] {
      return pg_->Sql("SELECT count(*) FROM node_profiles WHERE node = 'n1'", &rows, &error_) &&
             rows == "2";
    }));
    first->Close();  // it stops renewing its lease, as a killed daemon would
  }
  std::mutex mu;
  std::vector<StateStore::Unfinished> claimed;
  StateOptions options;
  options.on_claimed = [&](std::vector<UnfinishedEvent> events) {
    std::lock_guard<std::mutex> lock(mu);
    claimed.insert(claimed.end(), events.begin(), events.end());
  };
  std::unique_ptr<StateStore> peer = Make("n2", lease);
  ASSERT_TRUE(OpenOther(*peer, options)) << error_;
  EXPECT_TRUE(other_unfinished_.empty());
  peer->SetProfiles({{"P", "same"}, {"Q", "new"}});
  ASSERT_TRUE(amtest::WaitFor([&] {
    std::lock_guard<std::mutex> lock(mu);
    return claimed.size() == 2;
  }));
  EXPECT_EQ(Payloads(claimed), event("P", 1) + " " + event("P", 3) + " ");
  EXPECT_TRUE(peer->WaitDurable(claimed[0].seq));
  ASSERT_TRUE(peer->Finish({claimed[0].seq, "processed", "{}", {}, {}, "P"}));
  peer->Close();
  // Back under its name, the first daemon finds what nobody took.
  ASSERT_TRUE(Open()) << error_;
  EXPECT_EQ(Payloads(unfinished_), event("Q", 2) + " ");
}

TEST_F(PgStoreTest, AnOutageRefusesNewEventsLosesNothingAndEndsByItself) {
  ASSERT_TRUE(Open()) << error_;
  const std::uint64_t kept = Accept("kept");
  ASSERT_TRUE(store_->WaitDurable(kept));
  ASSERT_TRUE(pg_->Stop());
  const std::uint64_t lost = Accept("lost");
  EXPECT_FALSE(store_->WaitDurable(lost));
  std::string reason;
  EXPECT_FALSE(store_->healthy(&reason));
  EXPECT_FALSE(reason.empty());
  // A worker's finish waits for the database instead of failing.
  std::atomic<bool> finished{false};
  std::thread worker([&] { finished = Finish(kept, {Counter("E", 1, NowMs())}); });
  ASSERT_TRUE(pg_->Start(&error_)) << error_;
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(amtest::WaitFor([&] { return store_->healthy(nullptr); }));
  EXPECT_TRUE(store_->WaitDurable(Accept("after")));
  store_->Close();
  ASSERT_TRUE(Open()) << error_;
  EXPECT_EQ(Payloads(unfinished_), "after ");
  EXPECT_EQ(Count("E"), 1);
}

}  // namespace
}  // namespace service
