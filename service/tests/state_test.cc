// What the state database adds to the daemon as a process: counters that
// outlive restarts and crashes, the history and event queries, no event lost
// or repeated beyond the one in hand by a crash under load, an old journal
// taken over once, and a full disk met and left without a restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/mount.h>

#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "service/journal_record.h"
#include "testing/daemon.h"

namespace {

using amtest::BaseConfig;
using amtest::DaemonProcess;
using amtest::DiskFull;
using amtest::Json;
using amtest::Only;
using amtest::PageAction;
using amtest::Post;
using amtest::Reply;
using amtest::Rules;
using amtest::TempDir;
using amtest::WaitFor;
using ::testing::HasSubstr;

// How many result lines each sequence number has.
std::map<std::uint64_t, int> Lines(const DaemonProcess& daemon) {
  std::map<std::uint64_t, int> lines;
  for (const std::uint64_t seq : daemon.ResultSeqs()) ++lines[seq];
  return lines;
}

// A crash under load loses no acknowledged event and repeats at most the
// events in hand; a limited action stays held back after a crash (kill -9)
// and after a stop (SIGTERM) alike.
TEST(StateTest, ACrashOrAStopLosesNothingRepeatsOnlyTheEventsInHandAndKeepsTheLimit) {
  TempDir dir;
  DaemonProcess daemon(dir);
  // A pages once per EventId, B each time.
  const Json config = BaseConfig(
      {{"A", Rules(Json::array({PageAction(1)}))}, {"B", Rules(Json::array({PageAction()}))}});
  ASSERT_TRUE(daemon.Start(config)) << daemon.log();
  const auto deliver = [&] {
    auto client = daemon.Client();
    const Reply reply = Post(*client, DiskFull("incident", "A").dump(), true);
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    return reply.body["events"][0];
  };
  const Json first = deliver();
  EXPECT_EQ(first["result_events"].size(), 1u);
  std::mutex mu;
  std::set<std::uint64_t> acknowledged;
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      auto client = daemon.Client();
      for (int i = 0; !stop; ++i) {
        const Reply reply = Post(
            *client,
            DiskFull("c" + std::to_string(c) + "-" + std::to_string(i), c % 2 ? "A" : "B").dump());
        if (reply.status != 202) return;
        std::lock_guard<std::mutex> lock(mu);
        acknowledged.insert(reply.body["seq"][0].get<std::uint64_t>());
      }
    });
  }
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> lock(mu);
    return acknowledged.size() >= 200;
  }));
  EXPECT_EQ(daemon.Stop(SIGKILL), -1);
  stop = true;
  for (std::thread& t : clients) t.join();

  ASSERT_TRUE(daemon.Start(config)) << daemon.log();
  ASSERT_TRUE(WaitFor([&] {
    const auto lines = Lines(daemon);
    return std::all_of(acknowledged.begin(), acknowledged.end(),
                       [&](std::uint64_t seq) { return lines.count(seq) > 0; });
  })) << "acknowledged events were lost";
  int repeated = 0;
  for (const auto& [seq, count] : Lines(daemon)) repeated += count - 1;
  EXPECT_LE(repeated, 2);  // one per profile at most
  EXPECT_EQ(deliver()["result_events"].size(), 0u);
  EXPECT_EQ(daemon.Stop(SIGTERM), 0);
  ASSERT_TRUE(daemon.Start(config)) << daemon.log();
  EXPECT_EQ(deliver()["result_events"].size(), 0u);

  const Json history = daemon.Get("/v1/results?event_id=incident").body;
  EXPECT_EQ(Only(history["results"], {"decision", "result_code"}),
            R"([{"decision":"held_back","result_code":0},{"decision":"held_back","result_code":0},)"
            R"({"decision":"ran","result_code":900}])");
  const Json event = daemon.Get("/v1/events/" + first["seq"].dump()).body;
  EXPECT_EQ(Only(event, {"state"}) + Only(event["event"]["properties"], {"EventId"}) +
                Only(event["actions"], {"decision"}),
            R"({"state":"processed"}{"EventId":"incident"}[{"decision":"ran"}])");
}

TEST(StateTest, AnOldJournalIsTakenOverOnceAndRemoved) {
  TempDir dir;
  // As 1.0 left it: a segment with three events, the second finished, and
  // a cut-off record at its end (a crash during a write).
  using service::EncodeRecord;
  using service::RecordType;
  const auto event = [](const char* id) {
    return Json{{"profile", "P"}, {"event", DiskFull(id)}}.dump();
  };
  const std::string cut = EncodeRecord(RecordType::kAccepted, 9, event("j9"));
  dir.Write(
      "state/journal/journal-000000000001.log",
      EncodeRecord(RecordType::kBase, 5) + EncodeRecord(RecordType::kAccepted, 5, event("j1")) +
          EncodeRecord(RecordType::kAccepted, 6, event("done")) +
          EncodeRecord(RecordType::kFinished, 6) +
          EncodeRecord(RecordType::kAccepted, 7, event("j2")) + cut.substr(0, cut.size() - 1));
  DaemonProcess daemon(dir);
  const Json config = BaseConfig({{"P", Rules(Json::array({PageAction()}))}});
  ASSERT_TRUE(daemon.Start(config)) << daemon.log();
  EXPECT_TRUE(WaitFor([&] { return daemon.Results().size() == 2; }));
  EXPECT_FALSE(std::filesystem::exists(dir / "state" / "journal"));
  EXPECT_EQ(daemon.Stop(), 0);
  ASSERT_TRUE(daemon.Start(config)) << daemon.log();
  auto client = daemon.Client();
  EXPECT_EQ(Post(*client, DiskFull("after").dump(), true).status, 200);
  EXPECT_EQ(daemon.Results().size(), 3u);
}

// The state folder on a small file system of its own, filled up and freed.
TEST(StateTest, AFullDiskRefusesEventsTurnsNotReadyAndRecoversByItself) {
  TempDir dir;
  const auto state = dir / "state";
  std::filesystem::create_directories(state);
  if (::mount("tmpfs", state.c_str(), "tmpfs", 0, "size=4m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root): " << std::strerror(errno);
  }
  struct Unmount {
    std::filesystem::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{state};
  DaemonProcess daemon(dir);
  ASSERT_TRUE(daemon.Start(BaseConfig({{"P", Rules(Json::array({PageAction()}))}})))
      << daemon.log();
  auto client = daemon.Client();
  ASSERT_EQ(Post(*client, DiskFull("before").dump(), true).status, 200);
  {
    std::ofstream filler(state / "filler", std::ios::binary);
    const std::string block(64 * 1024, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  std::vector<std::string> refused;
  for (int i = 0; i < 200 && refused.empty(); ++i) {
    const std::string id = "full-" + std::to_string(i);
    const Reply reply = Post(*client, DiskFull(id).dump());
    if (reply.status == 503) refused.push_back(id);
  }
  ASSERT_FALSE(refused.empty()) << "no write failed on a full disk";
  const Reply ready = daemon.Get("/readyz");
  EXPECT_EQ(ready.status, 503);
  EXPECT_THAT(ready.body.value("reason", ""), HasSubstr("full"));
  EXPECT_GE(daemon.Metric("actionmanagerd_state_write_failures_total").value_or(0), 1);
  EXPECT_EQ(daemon.Metric("actionmanagerd_state_writable"), 0);
  EXPECT_THAT(daemon.log(), HasSubstr("database or disk is full"));

  std::filesystem::remove(state / "filler");
  EXPECT_TRUE(WaitFor([&] { return daemon.Get("/readyz").status == 200; }));
  EXPECT_EQ(Post(*client, DiskFull("after").dump(), true).status, 200);
  EXPECT_THAT(daemon.ResultIds(), ::testing::Not(::testing::Contains(refused[0])))
      << "a refused event ran";
}

}  // namespace
