// The daemon over HTTP, as a client sees it: every answer code, wait mode,
// the formats of a request body, the results file and stream, the metrics.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "testing/daemon.h"

namespace amtest {
namespace {

using ::testing::HasSubstr;

class HttpApiTest : public ::testing::Test {
 protected:
  void StartWith(const Json& config) {
    const bool started = daemon_.Start(config);
    client_ = daemon_.Client();  // requests fail, rather than crash, if it did not start
    ASSERT_TRUE(started) << daemon_.log();
  }
  // A profile "P" whose rule pages (built-in) and carries a task.
  Json Paging(int exec_limit = 0) {
    return BaseConfig({{"P", Rules(Json::array({PageAction(exec_limit), TaskAction()}))}});
  }

  TempDir dir_;
  DaemonProcess daemon_{dir_};
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(HttpApiTest, RequestsAreAnsweredWithTheirCodeAndThePlaceOfTheProblem) {
  Json config = Paging();
  config["classes"][0]["properties"]["Drive"] = Json{{"type", "string"}, {"required", true}};
  StartWith(config);
  struct Case {
    const char* name;
    std::string body;
    int status;
    std::string place;  // of the error, for 400
  };
  const Case cases[] = {
      {"one event", DiskFull("a").dump(), 202, ""},
      {"an array", Json::array({DiskFull("b"), DiskFull("c")}).dump(), 202, ""},
      {"JSON lines", DiskFull("d").dump() + "\n\n" + DiskFull("e").dump() + "\n", 202, ""},
      {"not JSON", "{\"class\": ", 400, "line 1, column 11"},
      {"an empty body", "", 400, ""},
      {"an unknown property",
       Json::array({DiskFull("f"), Json{{"class", "Disk_Full"}, {"properties", {{"Size", 1}}}}})
           .dump(),
       400, "[1].properties.Size"},
      {"a value of the wrong type",
       Json{{"class", "Disk_Full"}, {"properties", {{"FreeMB", "many"}}}}.dump(), 400,
       "properties.FreeMB"},
      {"a bad line", DiskFull("g").dump() + "\n{\"class\": \"Disk_Full\", \"x\": 1}\n", 400,
       "line 2: x"},
      {"an unknown profile", DiskFull("h", "Nobody").dump(), 400, "properties.ProfileName"},
      {"not an event class", Json{{"class", "Plain"}, {"properties", Json::object()}}.dump(), 400,
       "class"},
      {"an unknown class", Json{{"class", "Nope"}, {"properties", Json::object()}}.dump(), 400,
       "class"},
      {"a required property null",
       Json{{"class", "Disk_Full"}, {"properties", {{"Drive", nullptr}}}}.dump(), 400,
       "properties.Drive"},
      {"no EventId", Json{{"class", "Disk_Full"}, {"properties", {{"Drive", "C:"}}}}.dump(), 400,
       "properties.EventId"},
      {"a null EventId", Json{{"class", "Disk_Full"}, {"properties", {{"EventId", nullptr}, {"Drive", ""}}}}.dump(),
       400, "properties.EventId"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = Post(*client_, c.body);
    EXPECT_EQ(reply.status, c.status) << reply.body.dump();
    if (c.status == 400) {
      EXPECT_THAT(reply.body["error"].value("place", ""), ::testing::StartsWith(c.place))
          << reply.body.dump();
      EXPECT_FALSE(reply.body["error"]["message"].get<std::string>().empty());
    }
  }
  // Five events were accepted, in five requests' order; the refused requests
  // left nothing behind, not even their valid events ("f", "g").
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 5; })) << daemon_.log();
  std::vector<std::string> ids;
  for (const Json& line : daemon_.Results()) {
    ids.push_back(line["event"]["properties"]["EventId"].get<std::string>());
  }
  EXPECT_THAT(ids, ::testing::ElementsAre("a", "b", "c", "d", "e"));

  EXPECT_EQ(client_->Get("/nowhere")->status, 404);
  EXPECT_EQ(client_->Get("/healthz")->status, 200);
  EXPECT_EQ(client_->Get("/readyz")->status, 200);
}

TEST_F(HttpApiTest, EventsWithoutAnIdGetOneOfTheirOwnWhenConfigured) {
  Json config = Paging(1);
  config["missing_event_id"] = "generate";
  StartWith(config);
  const Json event{{"class", "Disk_Full"}, {"properties", {{"Drive", "C:"}}}};
  EXPECT_EQ(Post(*client_, Json::array({event, event}).dump()).status, 202);
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 2; })) << daemon_.log();
  std::set<std::string> ids;
  for (const Json& line : daemon_.Results()) {
    ids.insert(line["event"]["properties"]["EventId"].get<std::string>());
  }
  // Two ids of the generated form: the limit of 1 held neither back.
  ASSERT_EQ(ids.size(), 2u);
  for (const std::string& id : ids) EXPECT_THAT(id, ::testing::MatchesRegex("amd-[0-9a-f]{32}"));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_actions_held_back_total{profile=\"P\"}").value_or(0), 0);
}

TEST_F(HttpApiTest, WaitModeAnswersWithEachEventsResultAndResultEvents) {
  StartWith(Paging(/*exec_limit=*/1));
  const Reply first = Post(*client_, Json::array({DiskFull("x"), DiskFull("x")}).dump(), true);
  ASSERT_EQ(first.status, 200) << first.body.dump();
  ASSERT_EQ(first.body["events"].size(), 2u);
  const Json& ran = first.body["events"][0];
  EXPECT_EQ(ran["result"], 1);
  ASSERT_EQ(ran["result_events"].size(), 1u);
  EXPECT_EQ(ran["result_events"][0]["Method"], "Send");
  EXPECT_EQ(ran["result_events"][0]["EventId"], "x");
  EXPECT_EQ(ran["result_events"][0]["MsgInfo"], "ZRV_CorrelatedEvents|900");
  EXPECT_EQ(ran["result_events"][0]["return_code"], 7);
  // The same EventId again: the limit holds the action back, nothing runs.
  const Json& held = first.body["events"][1];
  EXPECT_EQ(held["result"], 1);
  EXPECT_TRUE(held["result_events"].empty());
  EXPECT_GT(held["seq"].get<int>(), ran["seq"].get<int>());
  EXPECT_EQ(daemon_.Metric("actionmanagerd_actions_held_back_total{profile=\"P\"}"), 1);
}

TEST_F(HttpApiTest, AFullQueueAnswers503WithRetryAfterAndOtherProfilesGoOn) {
  // "Slow" runs a program that waits for a file; its queue holds two events.
  const std::string gate = (dir_.path() / "gate").string();
  Json config = BaseConfig(
      {{"Slow", Rules(Json::array({ProgramAction("while [ ! -e " + gate + " ]; do sleep 0.05; done")}))},
       {"Fast", Rules(Json::array({PageAction()}))}});
  config["queue_limit"] = 2;
  StartWith(config);
  EXPECT_EQ(Post(*client_, DiskFull("1", "Slow").dump()).status, 202);
  EXPECT_EQ(Post(*client_, DiskFull("2", "Slow").dump()).status, 202);
  const Reply full = Post(*client_, DiskFull("3", "Slow").dump());
  EXPECT_EQ(full.status, 503);
  EXPECT_EQ(full.retry_after, "1");
  // A request for both profiles is refused whole.
  EXPECT_EQ(Post(*client_, Json::array({DiskFull("4", "Fast"), DiskFull("5", "Slow")}).dump()).status,
            503);
  const Reply fast = Post(*client_, DiskFull("6", "Fast").dump(), true);
  EXPECT_EQ(fast.status, 200);
  EXPECT_EQ(fast.body["events"][0]["result"], 1);
  dir_.Write("gate", "");
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 3; }));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_events_rejected_total{reason=\"queue_full\"}"), 3);
}

TEST_F(HttpApiTest, AFullJournalAnswers503) {
  const std::string gate = (dir_.path() / "gate").string();
  Json config = BaseConfig({{"P", Rules(Json::array({ProgramAction(
                                      "while [ ! -e " + gate + " ]; do sleep 0.05; done")}))}});
  config["journal"] = Json{{"max_bytes", 4096}, {"segment_bytes", 4096}};
  StartWith(config);
  Json event = DiskFull("j");
  event["properties"]["Drive"] = std::string(1500, 'd');
  EXPECT_EQ(Post(*client_, event.dump()).status, 202);
  EXPECT_EQ(Post(*client_, event.dump()).status, 202);
  const Reply full = Post(*client_, event.dump());
  EXPECT_EQ(full.status, 503);
  EXPECT_THAT(full.body["error"]["message"].get<std::string>(), HasSubstr("journal is full"));
  dir_.Write("gate", "");
  // Finished events give their room back.
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 2; }));
  EXPECT_TRUE(WaitFor([&] { return Post(*client_, event.dump()).status == 202; }));
  // Its program must see the gate before the test's folder goes.
  EXPECT_TRUE(WaitFor([&] { return daemon_.Results().size() == 3; }));
}

TEST_F(HttpApiTest, TheResultsStreamCarriesResultEventsAndOutcomes) {
  StartWith(Paging());
  std::mutex mu;
  std::string received;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    auto client = daemon_.Client();
    client->Get("/v1/results?logs=1", [&](const char* data, std::size_t size) {
      std::lock_guard<std::mutex> lock(mu);
      received.append(data, size);
      return !done.load();
    });
  });
  const auto text = [&] {
    std::lock_guard<std::mutex> lock(mu);
    return received;
  };
  ASSERT_TRUE(WaitFor([&] { return text().find(": subscribed") != std::string::npos; }));
  EXPECT_EQ(Post(*client_, DiskFull("s1").dump()).status, 202);
  EXPECT_TRUE(WaitFor([&] { return text().find("event: processed") != std::string::npos; }));
  done = true;
  // Another event makes the stream write, which ends the reader.
  EXPECT_EQ(Post(*client_, DiskFull("s2").dump()).status, 202);
  reader.join();
  const std::string all = text();
  EXPECT_THAT(all, HasSubstr("event: result\ndata: {\"seq\":1,\"profile\":\"P\",\"properties\":"));
  EXPECT_THAT(all, HasSubstr("\"Method\":\"Send\""));
  EXPECT_THAT(all, HasSubstr("event: log\ndata: "));
  EXPECT_THAT(all, HasSubstr("already executed 0 times"));
}

TEST_F(HttpApiTest, MetricsAddUp) {
  StartWith(BaseConfig({{"P", Rules(Json::array({PageAction(1), ProgramAction("echo failing; exit 3")}))}}));
  for (const std::string id : {"m1", "m1", "m2"}) {
    EXPECT_EQ(Post(*client_, DiskFull(id).dump(), true).status, 200);
  }
  EXPECT_EQ(Post(*client_, "nonsense").status, 400);
  EXPECT_EQ(Post(*client_, Json::array({DiskFull("m3"), Json::object()}).dump()).status, 400);
  const auto metric = [&](const std::string& name) { return daemon_.Metric(name).value_or(-1); };
  EXPECT_EQ(metric("actionmanagerd_events_received_total"), 6);
  EXPECT_EQ(metric("actionmanagerd_events_accepted_total{profile=\"P\"}"), 3);
  EXPECT_EQ(metric("actionmanagerd_events_rejected_total{reason=\"invalid\"}"), 3);
  EXPECT_EQ(metric("actionmanagerd_events_processed_total{profile=\"P\",result=\"0\"}"), 3);
  EXPECT_EQ(metric("actionmanagerd_actions_total{code=\"900\",kind=\"builtin\",profile=\"P\"}"), 2);
  EXPECT_EQ(metric("actionmanagerd_actions_total{code=\"901\",kind=\"program\",profile=\"P\"}"), 3);
  EXPECT_EQ(metric("actionmanagerd_actions_held_back_total{profile=\"P\"}"), 1);
  EXPECT_EQ(metric("actionmanagerd_action_duration_seconds_count{kind=\"program\",profile=\"P\"}"), 3);
  EXPECT_EQ(metric("actionmanagerd_queue_depth{profile=\"P\"}"), 0);
  EXPECT_EQ(metric("actionmanagerd_child_processes"), 0);
}

}  // namespace
}  // namespace amtest
