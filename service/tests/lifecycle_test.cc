// The daemon's life: the socket, reload, stop, crash and restart, and what it
// tells systemd.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <sstream>

#include "testing/daemon.h"
#include "testing/daemon_test.h"

namespace amtest {
namespace {

using ::testing::HasSubstr;

// A program that runs until `gate` exists (so a test decides when it ends).
Json GatedProgram(const std::filesystem::path& gate) {
  return ProgramAction("while [ ! -e " + gate.string() + " ]; do sleep 0.05; done");
}

using Seqs = std::vector<std::uint64_t>;

using LifecycleTest = DaemonTest;

// The socket acknowledges each line; a second daemon on the same port is
// refused and the first never notices.
TEST_F(LifecycleTest, TheSocketAcknowledgesEachLineAndTheTakenPortRefusesASecondDaemon) {
  Json config = BaseConfig({{"P", Rules(Json::array({PageAction()}))}});
  config["socket"] = Json{{"path", (dir_.path() / "amd.sock").string()}};
  StartWith(config);
  const std::string input = DiskFull("u1").dump() + "\n" + "{oops\n" + "\n" +
                            DiskFull("u2", "Nobody").dump() + "\n" + DiskFull("u3").dump() + "\n";
  Connection conn(daemon_.socket_path());
  ASSERT_TRUE(conn.Send(input));
  ::shutdown(conn.fd(), SHUT_WR);  // the daemon answers what it got, then closes
  Json acks = Json::array();
  std::istringstream lines(conn.Read());
  for (std::string line; std::getline(lines, line);) acks.push_back(Json::parse(line));
  EXPECT_EQ(Only(acks, {"line", "accepted", "status", "seq"}),
            R"([{"line":1,"accepted":true,"seq":1},{"line":2,"accepted":false,"status":400},)"
            R"({"line":4,"accepted":false,"status":400},{"line":5,"accepted":true,"seq":2}])");
  EXPECT_EQ(acks[2]["error"]["place"], "properties.ProfileName");
  EXPECT_TRUE(WaitFor([&] { return daemon_.ResultSeqs() == Seqs{1, 2}; }));

  TempDir other;
  DaemonProcess second(other);
  config["listen"]["port"] = daemon_.port();
  config["socket"]["path"] = (other / "amd.sock").string();
  EXPECT_EQ(second.RunToExit(config), 1);
  EXPECT_THAT(second.log(),
              HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(daemon_.port()) + ": " +
                        std::strerror(EADDRINUSE)));
  EXPECT_EQ(Post(*client_, DiskFull("still").dump(), true).status, 200);
}

// What systemd is told (READY, RELOADING, STOPPING) follows the reloads.
TEST_F(LifecycleTest, AReloadRecreatesChangedProfilesKeepsTheOthersAndTellsSystemd) {
  const std::string path = (dir_.path() / "notify").string();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  std::string messages;
  const auto told = [&](const std::string& text, std::size_t from = 0) {
    return WaitFor([&] {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 100) > 0) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) messages.append(buffer, static_cast<std::size_t>(n)).append("|");
      }
      return messages.find(text, from) != std::string::npos;
    });
  };
  // Both profiles page once per EventId.
  Json config = BaseConfig(
      {{"A", Rules(Json::array({PageAction(1)}))}, {"B", Rules(Json::array({PageAction(1)}))}});
  StartWith(config, {{"NOTIFY_SOCKET", path}});
  EXPECT_TRUE(told("READY=1")) << messages;
  const auto ran = [&](const std::string& profile) {
    const Reply reply = Post(*client_, DiskFull("same", profile).dump(), true);
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    return reply.body["events"][0]["result_events"].size();
  };
  EXPECT_EQ(ran("A"), 1u);
  EXPECT_EQ(ran("B"), 1u);

  const char* const kLoaded = "actionmanagerd_config_last_reload_successful";
  const char* const kLoadedAt = "actionmanagerd_config_last_reload_success_timestamp_seconds";
  const std::optional<double> started = daemon_.Metric(kLoadedAt);
  EXPECT_EQ(daemon_.Metric(kLoaded), 1);
  // An invalid file: refused, the running configuration goes on.
  dir_.Write("config.json", "{\"profiles\": [");
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("reload refused")) << daemon_.log();
  EXPECT_TRUE(told("RELOADING=1\nMONOTONIC_USEC=")) << messages;
  EXPECT_TRUE(told("READY=1\nSTATUS=accepting events; last reload refused: ")) << messages;
  const std::size_t refused = messages.size();
  EXPECT_EQ(ran("A"), 0u);  // still held back: same component
  // The refusal shows in the metrics and /readyz, until a reload succeeds.
  const auto ready = [&] { return daemon_.Get("/readyz").body; };
  EXPECT_EQ(daemon_.Metric(kLoaded), 0);
  EXPECT_EQ(daemon_.Metric(kLoadedAt), started);
  EXPECT_EQ(ready()["status"], "ready");
  EXPECT_THAT(ready()["last_reload"].get<std::string>(), HasSubstr("refused: "));

  // B changes, C comes; A keeps its component.
  config["profiles"][1]["settings"]["rules"][0]["actions"][0]["descriptive_name"] = "changed";
  config["profiles"].push_back(
      Json{{"name", "C"}, {"settings", Rules(Json::array({PageAction(1)}))}});
  ASSERT_TRUE(daemon_.Reload(config, "1 re-created, 1 added, 0 removed")) << daemon_.log();
  EXPECT_TRUE(told("READY=1\nSTATUS=accepting events|", refused)) << messages;
  EXPECT_EQ(daemon_.Metric(kLoaded), 1);
  EXPECT_GT(daemon_.Metric(kLoadedAt), started.value_or(1e18));
  EXPECT_FALSE(ready().contains("last_reload"));
  EXPECT_EQ(ran("A"), 0u);
  EXPECT_EQ(ran("B"), 0u);  // counters are the profile's and rule's, not the component's
  EXPECT_EQ(ran("C"), 1u);

  // B goes: events for it are refused from then on.
  config["profiles"].erase(1);
  ASSERT_TRUE(daemon_.Reload(config, "0 re-created, 0 added, 1 removed")) << daemon_.log();
  EXPECT_EQ(Post(*client_, DiskFull("other", "B").dump(), false).status, 400);

  // A change that needs a restart is refused as a whole.
  config["queue_limit"] = 5;
  config["namespace"] = "root\\other";
  ASSERT_TRUE(daemon_.Reload(config, ": namespace changes only with a restart")) << daemon_.log();
  EXPECT_EQ(ran("C"), 0u);
  daemon_.Signal(SIGTERM);
  EXPECT_TRUE(told("STOPPING=1")) << messages;
  EXPECT_EQ(daemon_.WaitExit(), 0);
  EXPECT_LT(messages.find("READY=1"), messages.find("RELOADING=1"));
  EXPECT_LT(messages.find("RELOADING=1"), messages.rfind("READY=1"));
  ::close(fd);
}

TEST_F(LifecycleTest, AStopFinishesTheQueuedEventsAndExitsZero) {
  const auto gate = dir_.path() / "gate";
  Json config = BaseConfig({{"P", Rules(Json::array({GatedProgram(gate), PageAction()}))}});
  StartWith(config);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Post(*client_, DiskFull("q" + std::to_string(i)).dump()).status, 202);
  }
  daemon_.Signal(SIGTERM);
  ASSERT_TRUE(daemon_.WaitForLog("no more events accepted"));
  EXPECT_EQ(Post(*client_, DiskFull("late").dump()).status, 503);
  EXPECT_EQ(client_->Get("/readyz")->status, 503);
  dir_.Write("gate", "");
  EXPECT_EQ(daemon_.WaitExit(), 0) << daemon_.log();
  EXPECT_EQ(daemon_.ResultSeqs(), (Seqs{1, 2, 3, 4, 5}));
  EXPECT_THAT(daemon_.log(), HasSubstr("Terminating ActionManager.dll"));
  // Nothing was left for a next start.
  StartWith(config);
  EXPECT_EQ(daemon_.Stop(), 0);
  EXPECT_THAT(daemon_.log(), ::testing::Not(HasSubstr("replaying")));
  EXPECT_EQ(daemon_.Results().size(), 5u);
}

TEST_F(LifecycleTest, AfterTheDeadlineTheRestWaitsAndASecondSignalKillsTheChildren) {
  // The program never ends by itself.
  Json config = BaseConfig({{"P", Rules(Json::array({ProgramAction("echo started; sleep 600")}))}});
  config["stop_seconds"] = 1;
  StartWith(config);
  ASSERT_EQ(Post(*client_, Json::array({DiskFull("k1"), DiskFull("k2")}).dump()).status, 202);
  ASSERT_TRUE(WaitFor([&] { return daemon_.Metric("actionmanagerd_child_processes") == 1; }));
  daemon_.Signal(SIGTERM);
  ASSERT_TRUE(daemon_.WaitForLog("stop deadline reached")) << daemon_.log();
  EXPECT_EQ(daemon_.Stop(), 0) << daemon_.log();
  EXPECT_THAT(daemon_.log(), HasSubstr("killed 1 child process groups"));
  EXPECT_THAT(daemon_.log(), HasSubstr("1 accepted events stay stored"));
  // The killed action failed (it had printed, so its exit status counts);
  // the second event is replayed at the next start.
  ASSERT_EQ(daemon_.Results().size(), 1u);
  EXPECT_EQ(daemon_.Results()[0]["result"], 0);
  config["profiles"][0]["settings"] = Rules(Json::array({PageAction()}));
  StartWith(config);
  EXPECT_TRUE(WaitFor([&] { return daemon_.ResultSeqs() == Seqs{1, 2}; }));
  EXPECT_THAT(daemon_.log(), HasSubstr("replaying 1 accepted events"));
}

}  // namespace
}  // namespace amtest
