// amctl send, results and status against a real actionmanagerd: one profile
// whose action has an execution limit of 1, reached over HTTP and the socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/daemon_test.h"
#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

constexpr int kUnavailable = 4;

class DaemonCommandsTest : public amtest::DaemonTest {
 protected:
  void SetUp() override {
    amtest::Json config = amtest::BaseConfig(
        {{"default", amtest::Rules(amtest::Json::array({amtest::PageAction(1)}))}});
    config["socket"] = amtest::Json{{"path", (dir_.path() / "amd.sock").string()}};
    ASSERT_NO_FATAL_FAILURE(StartWith(config));
    url_ = "http://127.0.0.1:" + std::to_string(daemon_.port());
  }

  // amctl COMMAND --url URL ARGS...
  RunResult Amctl(const std::string& command, const std::string& args,
                  const std::string& input = {}) {
    std::vector<std::string> words = {command, "--url", url_};
    for (const std::string& word : Words(args)) words.push_back(word);
    return RunAmctl(words, dir_.path(), input);
  }
  // Sends the event of `event_id` and waits for its outcome.
  void Deliver(const std::string& event_id) {
    const RunResult sent = Amctl("send", "--wait", amtest::DiskFull(event_id).dump());
    ASSERT_EQ(sent.status, 0) << sent.err;
  }

  std::string url_;
};

TEST_F(DaemonCommandsTest, SendPrintsSeqsOrTheRefusalsPlaceOrThatTheDaemonIsAway) {
  const std::string event = amtest::DiskFull("s1").dump();
  amtest::Json bad = amtest::DiskFull("s2");
  bad["properties"]["FreeMB"] = "lots";
  dir_.Write("event.json", event);
  dir_.Write("bad.json", bad.dump());
  dir_.Write("open.token", "0123456789abcdefXYZ\n");
  ::chmod((dir_.path() / "open.token").c_str(), 0644);
  const std::string socket = "--socket " + (dir_.path() / "amd.sock").string() + " ",
                    url = "--url " + url_ + " ";
  struct Case {
    std::string args;  // after "amctl send"
    std::string input;
    int status;
    std::string out;  // a line of standard output, or of standard error
    std::string err;
  };
  const std::vector<Case> cases = {
      // A file over HTTP; standard input, waiting for the outcome; JSON lines
      // over the socket.
      {url + "event.json", "", 0, "seq ", ""},
      {url + "--wait", amtest::DiskFull("s3").dump(), 0,
       "profile default, Disk_Full, result 1, 1 result event", ""},
      {socket, event + "\n" + event + "\n", 0, "seq ", ""},
      // Refused over HTTP; over the socket, with the line's place.
      {url + "event.json bad.json", "", 3, "seq ", "bad.json: properties.FreeMB: "},
      {socket + "-", event + "\n" + bad.dump(), 3, "seq ",
       "standard input: line 2: properties.FreeMB: "},
      // Nobody listens, over HTTP or on the socket.
      {"--url http://127.0.0.1:1 event.json", "", kUnavailable, "",
       "the daemon is unavailable: cannot connect"},
      {"--socket " + (dir_.path() / "none.sock").string() + " event.json", "", kUnavailable, "",
       "cannot connect"},
      // A token file others may read, no token file, --wait over the socket,
      // a URL with a path.
      {url + "--token-file open.token event.json", "", 3, "",
       "others have access to the token file"},
      {url + "--token-file none.token event.json", "", 3, "", "none.token: cannot read"},
      {socket + "--wait event.json", "", 2, "", "--wait needs --url"},
      {"--url " + url_ + "/v1 event.json", "", 2, "", "without a path"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::vector<std::string> words = {"send"};
    for (const std::string& word : Words(c.args)) words.push_back(word);
    const RunResult run = RunAmctl(words, dir_.path(), c.input);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  // Every event that was accepted ran, the refused ones never did.
  EXPECT_EQ(daemon_.Metric("actionmanagerd_events_accepted_total{profile=\"default\"}"), 6);
}

TEST_F(DaemonCommandsTest, ResultsShowTheHistoryAsATableOrJsonPageByPage) {
  Deliver("r1");
  Deliver("r1");  // held back by the limit of 1
  // The table: the header and both rows.
  const RunResult table = Amctl("results", "");
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 3) << table.out;
  EXPECT_THAT(table.out,
              ::testing::AllOf(::testing::HasSubstr("held_back"), ::testing::HasSubstr("ran")));
  // JSON lines: "EVENT_ID DECISION" of each row, newest first.
  const std::pair<const char*, std::string> cases[] = {
      {"", "r1 held_back, r1 ran, "},
      {"--limit 1", "r1 held_back, "},
      {"--limit 1 --all", "r1 held_back, r1 ran, "},
      {"--event-id r2", ""},
      {"--profile default --since 2020-01-01T00:00:00Z", "r1 held_back, r1 ran, "},
  };
  for (const auto& [args, rows] : cases) {
    const RunResult run = Amctl("results", std::string("--json ") + args);
    EXPECT_EQ(run.status, 0) << args << run.err;
    std::string shown;
    for (const Json& line : Lines(run.out))
      shown +=
          line["event_id"].get<std::string>() + " " + line["decision"].get<std::string>() + ", ";
    EXPECT_EQ(shown, rows) << args << run.err;
  }
  const RunResult refused = Amctl("results", "--since yesterday");
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.err.find("the query: since: "), std::string::npos) << refused.err;
}

TEST_F(DaemonCommandsTest, ResultsFollowSeesANewEventAndEndsCleanlyOnSigterm) {
  amtest::ProcessOptions options;
  options.cwd = dir_.path();
  amtest::Process follow(AMCTL_PATH, {"results", "--url", url_, "--follow", "--json"}, options);
  const auto client = daemon_.Client();
  // The stream shows only what happens once it is subscribed: send until
  // an event shows.
  EXPECT_TRUE(amtest::WaitFor([&] {
    amtest::Post(*client, amtest::DiskFull("f1").dump());
    return follow.OutputSoFar().find(R"("event":"processed")") != std::string::npos;
  }));
  follow.Signal(SIGTERM);
  const RunResult ended = follow.Wait();
  EXPECT_EQ(ended.status, 0) << ended.err;
  const amtest::Json first = Lines(ended.out).at(0);
  EXPECT_EQ(first["data"]["profile"], "default");
}

TEST_F(DaemonCommandsTest, StatusShowsProfilesQueuesTheStoreAndAnEventIdsCounters) {
  Deliver("c1");
  const RunResult table = Amctl("status", "--event-id c1");
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("default         running   0      yes"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("disk_full           1"), std::string::npos) << table.out;

  const RunResult json = Amctl("status", "--json --event-id c1");
  ASSERT_EQ(json.status, 0) << json.err;
  const amtest::Json body = amtest::Json::parse(json.out);
  EXPECT_EQ(body["profiles"][0]["queue_depth"], 0);
  EXPECT_EQ(body["store"]["healthy"], true);
  ASSERT_EQ(body["counters"].size(), 1u);
  EXPECT_EQ(body["counters"][0]["count"], 1);
  EXPECT_EQ(body["counters"][0]["profile"], "default");
  // Without --event-id, no counters; an id never delivered has none.
  EXPECT_FALSE(amtest::Json::parse(Amctl("status", "--json").out).contains("counters"));
  EXPECT_TRUE(amtest::Json::parse(Amctl("status", "--json --event-id c9").out)["counters"].empty());
}

}  // namespace
}  // namespace tools_test
