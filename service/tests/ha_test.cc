// Several daemons on one PostgreSQL state, as real processes (the
// distribution's PostgreSQL, skipped, saying so, when it is not installed):
// the execution limit held across daemons, and a peer taking over the events
// of a daemon killed with work queued. What the store does on its own (leases,
// outages, the shared count) is state_store_test's.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <map>
#include <set>
#include <sstream>

#include "testing/daemon.h"
#include "testing/postgres.h"

namespace amtest {
namespace {

class HaTest : public ::testing::Test {
 protected:
  // Every test shares one database among its daemons.
  void SetUp() override {
    if (FindPostgresBin().empty()) {
      GTEST_SKIP() << "PostgreSQL's server is not installed (Debian: postgresql, which "
                      "`make deps` installs; or set AM_PG_BIN to its bin folder)";
    }
    pg_ = std::make_unique<Postgres>();
    std::string error;
    ASSERT_TRUE(pg_->Start(&error)) << error;
  }

  // `config` with its state in the shared database under the name `node`.
  Json OnDatabase(Json config, const std::string& node, int lease_seconds = 30) const {
    config["state"] = Json{{"kind", "postgresql"},
                           {"connection", pg_->conninfo()},
                           {"node", node},
                           {"lease_seconds", lease_seconds}};
    return config;
  }

  std::unique_ptr<Postgres> pg_;
};

// The same EventId reaches two daemons in turn (as a clustered Alertmanager
// notifies each): its limit-1 action runs once across them only when they
// share one database; with a SQLite state each, once per daemon.
TEST_F(HaTest, TheLimitHoldsAcrossDaemonsOnlyOnASharedDatabase) {
  const Json config = BaseConfig({{"P", Rules(Json::array({PageAction(1)}))}});
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "one PostgreSQL state" : "a SQLite state each");
    TempDir dirs[2];
    DaemonProcess daemons[2] = {DaemonProcess(dirs[0]), DaemonProcess(dirs[1])};
    std::size_t runs = 0;
    for (int i = 0; i < 2; ++i) {
      const std::string node = (shared ? "s" : "n") + std::to_string(i);
      ASSERT_TRUE(daemons[i].Start(shared ? OnDatabase(config, node) : config)) << daemons[i].log();
      const Reply reply = Post(*daemons[i].Client(), DiskFull("alert").dump(), true);
      ASSERT_EQ(reply.status, 200) << reply.body.dump();
      runs += reply.body["events"][0]["result_events"].size();
    }
    EXPECT_EQ(runs, shared ? 1u : 2u);
  }
}

// Daemon A is killed while its program action runs and three more events of
// the profile wait behind it. Its peer B, with the same profile and settings,
// takes them over once A's lease ran out and finishes all of them; only the
// event in hand at the kill may have run twice.
TEST_F(HaTest, APeerTakesOverTheEventsOfAKilledDaemonAfterItsLease) {
  TempDir shared, dir_a, dir_b;
  const std::filesystem::path gate = shared / "gate";
  // Opens the gate however the test ends: no program waits on after it.
  struct OpenGate {
    const TempDir& dir;
    ~OpenGate() { dir.Write("gate", ""); }
  } open_gate{shared};
  // Each run appends its event's Drive (the EventId here), then waits for
  // the gate (or for the folder to go).
  const Json config = BaseConfig(
      {{"P",
        Rules(Json::array({ProgramAction("echo $Disk_Full_Drive >> " + (shared / "runs").string() +
                                         "; while [ ! -e " + gate.string() + " ] && [ -d " +
                                         shared.path().string() + " ]; do sleep 0.05; done")}))}});
  const auto runs = [&] {
    std::map<std::string, int> count;
    std::istringstream in(shared.Read("runs"));
    for (std::string id; in >> id;) ++count[id];
    return count;
  };
  DaemonProcess a(dir_a), b(dir_b);
  ASSERT_TRUE(a.Start(OnDatabase(config, "a", 3))) << a.log();
  ASSERT_TRUE(b.Start(OnDatabase(config, "b", 3))) << b.log();
  auto client = a.Client();
  std::set<std::uint64_t> accepted;
  const std::vector<std::string> ids = {"f0", "f1", "f2", "f3"};
  for (const std::string& id : ids) {
    Json event = DiskFull(id);
    event["properties"]["Drive"] = id;
    const Reply reply = Post(*client, event.dump());
    ASSERT_EQ(reply.status, 202) << reply.body.dump();
    accepted.insert(reply.body["seq"][0].get<std::uint64_t>());
  }
  ASSERT_TRUE(WaitFor([&] { return runs().size() == 1; })) << a.log();
  a.Signal(SIGKILL);
  EXPECT_EQ(a.WaitExit(), -1);
  shared.Write("gate", "");

  EXPECT_TRUE(b.WaitForLog("taking over 4 accepted events of a daemon that stopped")) << b.log();
  const auto finished = [&] {
    std::set<std::uint64_t> seqs;
    for (const Json& line : b.Results()) seqs.insert(line["seq"].get<std::uint64_t>());
    return seqs;
  };
  ASSERT_TRUE(WaitFor([&] { return finished() == accepted; })) << b.log() << shared.Read("runs");
  std::map<std::string, int> count = runs();
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_GE(count[id], 1);
    EXPECT_LE(count[id], id == ids.front() ? 2 : 1);
  }
  EXPECT_EQ(count.size(), ids.size()) << shared.Read("runs");
}

}  // namespace
}  // namespace amtest
