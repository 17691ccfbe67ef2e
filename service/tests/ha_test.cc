// Several daemons on one PostgreSQL state: the execution limit across two
// daemons behind clustered Alertmanagers, a peer taking over the events of a
// daemon killed with work queued, and an outage of the database under load.
// Everything runs as real processes (the distribution's PostgreSQL and
// Alertmanager, skipped, saying so, when they are not installed).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "testing/alertmanager.h"
#include "testing/daemon.h"
#include "testing/postgres.h"

namespace amtest {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::HasSubstr;
using ::testing::Le;
using ::testing::Pair;

// The lines of `name` in `dir`: one per run of a program action that appends
// to it, shared by every daemon of a test.
std::vector<std::string> Lines(const TempDir& dir, const std::string& name) {
  std::vector<std::string> lines;
  std::istringstream in(dir.Read(name));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// The sequence numbers in a daemon's results file, each once.
std::set<std::uint64_t> FinishedSeqs(const DaemonProcess& daemon) {
  const std::vector<std::uint64_t> seqs = daemon.ResultSeqs();
  return {seqs.begin(), seqs.end()};
}

class HaTest : public ::testing::Test {
 protected:
  // Every test shares one database among its daemons.
  void SetUp() override {
    if (FindPostgresBin().empty()) GTEST_SKIP() << kNoPostgres;
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

// Each Alertmanager of a cluster has one receiver with a webhook per daemon;
// the cluster notifies both daemons at every repeat (both members may, before
// their gossip settles). On one database the alert's limit-1 action runs once
// across the daemons. (With a state each it would run once per daemon: the
// per-daemon limit is the other suites'.)
TEST_F(HaTest, BehindClusteredAlertmanagersTheLimitHoldsAcrossDaemonsOnASharedDatabase) {
  const std::string binary = FindAlertmanager();
  if (binary.empty()) GTEST_SKIP() << kNoAlertmanager;
  // Alerts of class Alert_Firing run a program, once per EventId, that
  // appends a line to `runs`.
  TempDir runs, dirs[2], am_dirs[2];
  Json action = ProgramAction("echo ran >> " + (runs / "runs").string());
  action["exec_limit"] = 1;
  Json config =
      BaseConfig({{"P", Json{{"rules", Json::array({Json{{"event", "Alert_Firing"},
                                                         {"actions", Json::array({action})}}})}}}});
  config["classes"].push_back(Json::parse(R"(
      {"name": "Alert_Firing", "superclass": "ZRV_Event", "properties": {"Unit": "string"}})"));
  config["default_profile"] = "P";
  config["alertmanager"] = Json{{"class", "Alert_Firing"}};
  DaemonProcess daemons[2] = {DaemonProcess(dirs[0]), DaemonProcess(dirs[1])};
  std::vector<std::string> urls;
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(daemons[i].Start(OnDatabase(config, "node-" + std::to_string(i))))
        << daemons[i].log();
    urls.push_back("http://127.0.0.1:" + std::to_string(daemons[i].port()) + "/v1/alertmanager");
  }
  std::vector<std::unique_ptr<Alertmanager>> cluster;
  for (const TempDir& am_dir : am_dirs) {
    auto am = std::make_unique<Alertmanager>(am_dir, binary);
    ASSERT_TRUE(am->StartClustered(urls, cluster.empty() ? "" : cluster[0]->cluster_address()))
        << am->log();
    ASSERT_EQ(am->Raise({{"alertname", "UnitDown"}, {"Unit", "nginx.service"}}), 200) << am->log();
    cluster.push_back(std::move(am));
  }
  // Each daemon has processed the alert's event from several notifications.
  for (const DaemonProcess& daemon : daemons) {
    ASSERT_TRUE(WaitFor([&] { return daemon.Results().size() >= 3; }))
        << daemon.log() << cluster[0]->log() << cluster[1]->log();
  }
  EXPECT_EQ(Lines(runs, "runs").size(), 1u);
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
  // Each run appends its event's Drive (the EventId here) and its process
  // group, then waits for the gate (or for the folder to go).
  const Json config = BaseConfig(
      {{"P", Rules(Json::array({ProgramAction(
                 "read _ _ _ _ group _ < /proc/$$/stat; echo "
                 "$Disk_Full_Drive $group >> " +
                 (shared / "runs").string() + "; while [ ! -e " + gate.string() + " ] && [ -d " +
                 shared.path().string() + " ]; do sleep 0.05; done")}))}});
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
  ASSERT_TRUE(WaitFor([&] { return Lines(shared, "runs").size() == 1; })) << a.log();
  EXPECT_EQ(a.Stop(SIGKILL), -1);
  shared.Write("gate", "");

  EXPECT_TRUE(b.WaitForLog("taking over 4 accepted events of a daemon that stopped")) << b.log();
  ASSERT_TRUE(WaitFor([&] { return FinishedSeqs(b) == accepted; }))
      << b.log() << shared.Read("runs");
  std::map<std::string, int> runs;
  std::set<pid_t> groups;
  for (const std::string& line : Lines(shared, "runs")) {
    std::istringstream in(line);
    std::string id;
    pid_t group = 0;
    in >> id >> group;
    ++runs[id];
    groups.insert(group);
  }
  // f0 was in hand at the kill: it alone may have run twice.
  EXPECT_THAT(runs, ElementsAre(Pair("f0", AllOf(Ge(1), Le(2))), Pair("f1", 1), Pair("f2", 1),
                                Pair("f3", 1)))
      << shared.Read("runs");
  // The killed daemon's program ended with the gate: nothing is left behind.
  for (const pid_t group : groups) {
    EXPECT_TRUE(WaitFor([&] { return !GroupAlive(group); })) << "group " << group;
  }
}

// The database stops under a steady stream of events: the daemon says why it
// is not ready and refuses new events, then recovers by itself when the
// database is back, and every event it acknowledged is processed.
TEST_F(HaTest, AnOutageRefusesNewEventsAndLosesNoneItAcknowledged) {
  TempDir dir;
  DaemonProcess daemon(dir);
  ASSERT_TRUE(
      daemon.Start(OnDatabase(BaseConfig({{"P", Rules(Json::array({PageAction(1)}))}}), "solo")))
      << daemon.log();
  std::mutex mu;
  std::set<std::uint64_t> acknowledged;
  std::map<int, int> statuses;  // how many answers had each status (0: none came)
  // Declared after what it uses, so it stops and is joined first however the
  // test ends.
  std::jthread sender([&](std::stop_token stop) {
    auto client = daemon.Client();
    for (int i = 0; !stop.stop_requested(); ++i) {
      const Reply reply = Post(*client, DiskFull("o" + std::to_string(i)).dump());
      std::lock_guard<std::mutex> lock(mu);
      ++statuses[reply.status];
      if (reply.status == 202) acknowledged.insert(reply.body["seq"][0].get<std::uint64_t>());
    }
  });
  const auto count = [&](int status) {
    std::lock_guard<std::mutex> lock(mu);
    return statuses[status];
  };

  ASSERT_TRUE(WaitFor([&] { return count(202) >= 20; })) << daemon.log();
  ASSERT_TRUE(pg_->Stop());
  EXPECT_TRUE(WaitFor([&] { return daemon.Get("/readyz").status == 503; })) << daemon.log();
  EXPECT_THAT(daemon.Get("/readyz").body.value("reason", ""), HasSubstr("state database"));
  EXPECT_TRUE(WaitFor([&] { return count(503) > 0; }));
  auto client = daemon.Client();
  EXPECT_EQ(Post(*client, DiskFull("during").dump()).status, 503);

  std::string error;
  ASSERT_TRUE(pg_->Start(&error)) << error;
  EXPECT_TRUE(WaitFor([&] { return daemon.Get("/readyz").status == 200; })) << daemon.log();
  // Events are taken again.
  const int before = count(202);
  EXPECT_TRUE(WaitFor([&] { return count(202) >= before + 20; })) << daemon.log();
  sender.request_stop();
  sender.join();
  EXPECT_EQ(count(0), 0) << "requests failed without an answer";
  EXPECT_TRUE(WaitFor([&] {
    const std::set<std::uint64_t> finished = FinishedSeqs(daemon);
    return std::includes(finished.begin(), finished.end(), acknowledged.begin(),
                         acknowledged.end());
  })) << "acknowledged events were lost\n"
      << daemon.log();
}

}  // namespace
}  // namespace amtest
