// The daemon over HTTP, as a client sees it: every answer code, wait mode,
// the formats of a request body, the results file and stream, the metrics.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "testing/daemon.h"
#include "testing/daemon_test.h"

namespace amtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class HttpApiTest : public DaemonTest {
 protected:
  // A profile "P" whose rule pages (built-in) and carries a task.
  Json Paging(int exec_limit = 0) {
    return BaseConfig({{"P", Rules(Json::array({PageAction(exec_limit), TaskAction()}))}});
  }
  // A profile `name` whose program runs until the test writes "gate".
  std::pair<const std::string, Json> Gated(const std::string& name) {
    const std::string gate = (dir_.path() / "gate").string();
    return {
        name,
        Rules(Json::array({ProgramAction("while [ ! -e " + gate + " ]; do sleep 0.05; done")}))};
  }
};

TEST_F(HttpApiTest, RequestsAreAnsweredWithTheirCodeAndThePlaceOfTheProblem) {
  Json config = Paging();
  config["classes"][0]["properties"]["Drive"] = Json{{"type", "string"}, {"required", true}};
  StartWith(config);
  const auto disk = [](const Json& properties) {
    return Json{{"class", "Disk_Full"}, {"properties", properties}};
  };
  const auto of = [](const char* name) {
    return Json{{"class", name}, {"properties", Json::object()}}.dump();
  };
  // {name, body, status, the place of the error (for 400)}
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      {"one event", DiskFull("a").dump(), 202, ""},
      {"an array", Json::array({DiskFull("b"), DiskFull("c")}).dump(), 202, ""},
      {"JSON lines", DiskFull("d").dump() + "\n\n" + DiskFull("e").dump() + "\n", 202, ""},
      {"not JSON", "{\"class\": ", 400, "line 1, column 11"},
      {"an empty body", "", 400, ""},
      {"an unknown property", Json::array({DiskFull("f"), disk({{"Size", 1}})}).dump(), 400,
       "[1].properties.Size"},
      {"a value of the wrong type", disk({{"FreeMB", "many"}}).dump(), 400, "properties.FreeMB"},
      {"a bad line", DiskFull("g").dump() + "\n{\"class\": \"Disk_Full\", \"x\": 1}", 400,
       "line 2: x"},
      {"an unknown profile", DiskFull("h", "Nobody").dump(), 400, "properties.ProfileName"},
      {"not an event class", of("Plain"), 400, "class"},
      {"an unknown class", of("Nope"), 400, "class"},
      {"a required property null", disk({{"Drive", nullptr}}).dump(), 400, "properties.Drive"},
      {"no EventId", disk({{"Drive", "C:"}}).dump(), 400, "properties.EventId"},
      {"a null EventId", disk({{"EventId", nullptr}, {"Drive", ""}}).dump(), 400,
       "properties.EventId"},
  };
  for (const auto& [name, body, status, place] : cases) {
    SCOPED_TRACE(name);
    const Reply reply = Post(*client_, body);
    EXPECT_EQ(reply.status, status) << reply.body.dump();
    if (status != 400) continue;
    EXPECT_THAT(reply.body["error"].value("place", ""), ::testing::StartsWith(place));
    EXPECT_FALSE(reply.body["error"].value("message", "").empty()) << reply.body.dump();
  }
  // Five events were accepted, in five requests' order; the refused requests
  // left nothing behind, not even their valid events ("f", "g").
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 5; })) << daemon_.log();
  EXPECT_THAT(daemon_.ResultIds(), ElementsAre("a", "b", "c", "d", "e"));
  EXPECT_EQ(daemon_.Get("/nowhere").status, 404);
  EXPECT_EQ(daemon_.Get("/healthz").status, 200);
  EXPECT_EQ(daemon_.Get("/readyz").status, 200);
}

// Paging limited to once per EventId: an id given twice holds the second
// page back; events without an id get one of their own each, when configured.
TEST_F(HttpApiTest, WaitModeAnswersWithEachEventsResultAndTheLimitCountsByEventId) {
  Json config = Paging(/*exec_limit=*/1);
  config["missing_event_id"] = "generate";
  StartWith(config);
  const Reply first = Post(*client_, Json::array({DiskFull("x"), DiskFull("x")}).dump(), true);
  ASSERT_EQ(first.status, 200) << first.body.dump();
  const Json& events = first.body["events"];
  EXPECT_EQ(Only(events, {"result"}), R"([{"result":1},{"result":1}])");
  EXPECT_EQ(Only(events[0]["result_events"], {"Method", "EventId", "MsgInfo", "return_code"}),
            R"([{"Method":"Send","EventId":"x","MsgInfo":"ZRV_CorrelatedEvents|900",)"
            R"("return_code":7}])");
  EXPECT_TRUE(events[1]["result_events"].empty());
  EXPECT_GT(events[1]["seq"].get<int>(), events[0]["seq"].get<int>());

  const Json event{{"class", "Disk_Full"}, {"properties", {{"Drive", "C:"}}}};
  EXPECT_EQ(Post(*client_, Json::array({event, event}).dump()).status, 202);
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 4; })) << daemon_.log();
  // Two ids of the generated form: the limit held neither back.
  const std::vector<std::string> ids = daemon_.ResultIds();
  EXPECT_NE(ids[2], ids[3]);
  EXPECT_THAT(std::vector(ids.begin() + 2, ids.end()),
              ::testing::Each(::testing::MatchesRegex("amd-[0-9a-f]{32}")));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_actions_held_back_total{profile=\"P\"}"), 1);
}

TEST_F(HttpApiTest, AFullQueueAnswers503WithRetryAfterAndOtherProfilesGoOn) {
  // "Slow" runs a program that waits for a file; its queue holds two events.
  Json config = BaseConfig({Gated("Slow"), {"Fast", Rules(Json::array({PageAction()}))}});
  config["queue_limit"] = 2;
  StartWith(config);
  EXPECT_EQ(Post(*client_, DiskFull("1", "Slow").dump()).status, 202);
  EXPECT_EQ(Post(*client_, DiskFull("2", "Slow").dump()).status, 202);
  const Reply full = Post(*client_, DiskFull("3", "Slow").dump());
  EXPECT_EQ(std::tie(full.status, full.retry_after), std::make_tuple(503, std::string("1")));
  // A request for both profiles is refused whole; the other profile goes on.
  const std::string both = Json::array({DiskFull("4", "Fast"), DiskFull("5", "Slow")}).dump();
  EXPECT_EQ(Post(*client_, both).status, 503);
  EXPECT_EQ(Only(Post(*client_, DiskFull("6", "Fast").dump(), true).body["events"], {"result"}),
            R"([{"result":1}])");
  dir_.Write("gate", "");
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 3; }));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_events_rejected_total{reason=\"queue_full\"}"), 3);
}

TEST_F(HttpApiTest, AFullJournalAnswers503) {
  Json config = BaseConfig({Gated("P")});
  config["journal"] = Json{{"max_bytes", 4096}, {"segment_bytes", 4096}};
  StartWith(config);
  Json event = DiskFull("j");
  event["properties"]["Drive"] = std::string(1500, 'd');
  EXPECT_EQ(Post(*client_, event.dump()).status, 202);
  EXPECT_EQ(Post(*client_, event.dump()).status, 202);
  const Reply full = Post(*client_, event.dump());
  EXPECT_EQ(full.status, 503);
  EXPECT_THAT(full.body["error"].value("message", ""), HasSubstr("journal is full"));
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
    daemon_.Client()->Get("/v1/results?logs=1", [&](const char* data, std::size_t size) {
      std::lock_guard<std::mutex> lock(mu);
      received.append(data, size);
      return !done.load();
    });
  });
  const auto saw = [&](const std::string& text) {
    return WaitFor([&] {
      std::lock_guard<std::mutex> lock(mu);
      return received.find(text) != std::string::npos;
    });
  };
  ASSERT_TRUE(saw(": subscribed"));
  EXPECT_EQ(Post(*client_, DiskFull("s1").dump()).status, 202);
  EXPECT_TRUE(saw("event: processed"));
  done = true;
  // Another event makes the stream write, which ends the reader.
  EXPECT_EQ(Post(*client_, DiskFull("s2").dump()).status, 202);
  reader.join();
  EXPECT_THAT(received,
              HasSubstr("event: result\ndata: {\"seq\":1,\"profile\":\"P\",\"properties\":"));
  EXPECT_THAT(received, HasSubstr("\"Method\":\"Send\""));
  EXPECT_THAT(received, HasSubstr("event: log\ndata: "));
  EXPECT_THAT(received, HasSubstr("already executed 0 times"));
}

// One daemon for what outcomes add up to: the metrics, and the log lines at
// their priority (the library's own no longer speak as errors), with a
// program's output kept in the history.
TEST_F(HttpApiTest, OutcomesAddUpInTheMetricsTheLogAndTheHistory) {
  StartWith(BaseConfig(
      {{"P", Rules(Json::array({PageAction(1), ProgramAction("echo failing; exit 3")}))}}));
  for (const std::string id : {"m1", "m1", "m2"}) {
    EXPECT_EQ(Post(*client_, DiskFull(id).dump(), true).status, 200);
  }
  EXPECT_EQ(Post(*client_, "nonsense").status, 400);
  EXPECT_EQ(Post(*client_, Json::array({DiskFull("m3"), Json::object()}).dump()).status, 400);
  const std::pair<std::string, double> metrics[] = {
      {"events_received_total", 6},
      {"events_accepted_total{profile=\"P\"}", 3},
      {"events_rejected_total{reason=\"invalid\"}", 3},
      {"events_processed_total{profile=\"P\",result=\"0\"}", 3},
      {"actions_total{code=\"900\",kind=\"builtin\",profile=\"P\"}", 2},
      {"actions_total{code=\"901\",kind=\"program\",profile=\"P\"}", 3},
      {"actions_held_back_total{profile=\"P\"}", 1},
      {"action_duration_seconds_count{kind=\"program\",profile=\"P\"}", 3},
      {"queue_depth{profile=\"P\"}", 0},
      {"child_processes", 0},
  };
  for (const auto& [name, value] : metrics) {
    EXPECT_EQ(daemon_.Metric("actionmanagerd_" + name).value_or(-1), value) << name;
  }
  const std::string event = " of rule \"disk_full\" for event \"m1\" in profile \"P\": ";
  EXPECT_THAT(daemon_.log(),
              HasSubstr("<6>actionmanagerd: action 0 (builtin)" + event + "held back"));
  EXPECT_THAT(daemon_.log(), HasSubstr("<4>actionmanagerd: action 1 (program)" + event +
                                       "failed, result 901, return code 3"));
  EXPECT_THAT(daemon_.log(), ::testing::Not(HasSubstr("<3>ActionManager:")));
  const Json history = daemon_.Get("/v1/results?event_id=m1&profile=P").body;
  EXPECT_EQ(Only(history["results"], {"kind", "stdout"}),
            R"([{"kind":"program","stdout":"failing"},{"kind":"builtin","stdout":""},)"
            R"({"kind":"program","stdout":"failing"},{"kind":"builtin","stdout":""}])");
}

}  // namespace
}  // namespace amtest
