// POST /v1/alertmanager against the running daemon, and end to end with the
// distribution's Alertmanager, started on loopback with short intervals.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <map>

#include "testing/alertmanager.h"
#include "testing/daemon.h"

namespace amtest {
namespace {

// Alerts of class Alert_Firing page once per EventId (exec limit 1).
Json AlertConfig(const Json& alertmanager) {
  Json page = PageAction(1);
  Json config =
      BaseConfig({{"P", Json{{"rules", Json::array({Json{{"event", "Alert_Firing"},
                                                         {"actions", Json::array({page})}}})}}},
                  {"Q", Rules(Json::array({TaskAction()}))}});
  config["classes"].push_back(Json::parse(R"(
    {"name": "Alert_Firing", "superclass": "ZRV_Event",
     "properties": {"Unit": "string", "FreeMB": "uint32"}})"));
  config["default_profile"] = "P";
  if (!alertmanager.is_null()) config["alertmanager"] = alertmanager;
  return config;
}

Json Notification(const std::vector<Json>& alerts, const std::string& receiver = "P") {
  return Json{{"version", "4"},
              {"groupKey", "{}:{}"},
              {"status", "firing"},
              {"receiver", receiver},
              {"externalURL", "http://127.0.0.1:9093"},
              {"alerts", Json(alerts)}};
}

Json AlertOf(const std::string& fingerprint, const Json& labels,
             const std::string& status = "firing") {
  return Json{{"status", status},
              {"labels", labels.is_null() ? Json::object() : labels},
              {"startsAt", "2026-12-06T03:00:00Z"},
              {"endsAt", "0001-01-01T00:00:00Z"},
              {"generatorURL", ""},
              {"fingerprint", fingerprint}};
}

Reply PostAlerts(httplib::Client& client, const std::string& body, bool wait = false,
                 const std::string& token = {}) {
  return Post(client, body, wait, token, "/v1/alertmanager");
}

// How many action results each EventId got, over the results file.
std::map<std::string, int> ActionsPerEventId(const std::vector<Json>& results) {
  std::map<std::string, int> counts;
  for (const Json& line : results) {
    for (const Json& result : line.value("result_events", Json::array())) {
      ++counts[result.value("EventId", "")];
    }
  }
  return counts;
}

// Results-file lines (processed events) per EventId.
std::map<std::string, int> EventsPerEventId(const std::vector<Json>& results) {
  std::map<std::string, int> counts;
  for (const Json& line : results) ++counts[line["event"]["properties"].value("EventId", "")];
  return counts;
}

// Posts one alert with `labels` to Alertmanager's API; its status, 0 when
// the request failed.
int PostTo(const Alertmanager& alertmanager, const Json& labels) {
  const Json alerts =
      Json::array({Json{{"labels", labels}, {"annotations", {{"summary", "test alert"}}}}});
  auto res = alertmanager.Client().Post("/api/v2/alerts", alerts.dump(), "application/json");
  return res ? res->status : 0;
}

// The fingerprint Alertmanager gave the alert whose label `instance` is
// `instance`; "" while it has none.
std::string FingerprintOf(const Alertmanager& alertmanager, const std::string& instance) {
  auto res = alertmanager.Client().Get("/api/v2/alerts");
  if (!res || res->status != 200) return {};
  const Json alerts = Json::parse(res->body, nullptr, false);
  if (!alerts.is_array()) return {};
  for (const Json& alert : alerts) {
    if (alert["labels"].value("instance", "") == instance) return alert.value("fingerprint", "");
  }
  return {};
}

class AlertmanagerInputTest : public ::testing::Test {
 protected:
  void StartWith(const Json& config) {
    const bool started = daemon_.Start(config);
    client_ = daemon_.Client();
    ASSERT_TRUE(started) << daemon_.log();
  }

  TempDir dir_;
  DaemonProcess daemon_{dir_};
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(AlertmanagerInputTest, NotificationsAreAnsweredWithTheirCodeAndNothingOfABadOneIsQueued) {
  Json config = AlertConfig(Json{{"class", "Alert_Firing"}});
  config["queue_limit"] = 2;
  StartWith(config);
  const Json disk = {{"alertname", "DiskFull"}, {"severity", "critical"}};
  struct Case {
    const char* name;
    std::string body;
    int status;
    std::string place;  // of the error, for 400
  };
  // What the payload's mapping refuses is service_config's table; here only
  // what the daemon adds: parsing, and a value its event refuses, named by
  // the label it came from.
  const Case cases[] = {
      {"two firing alerts", Notification({AlertOf("a1", disk), AlertOf("a2", disk)}).dump(), 202,
       ""},
      {"a resolved alert only", Notification({AlertOf("a1", disk, "resolved")}).dump(), 200, ""},
      {"not JSON", "{\"version\": ", 400, "line 1, column 13"},
      // More than the queue can ever hold: not worth a retry.
      {"three firing alerts for a queue of two",
       Notification({AlertOf("b1", disk), AlertOf("b2", disk), AlertOf("b3", disk)}).dump(), 413,
       ""},
      {"a label out of its property's range, after a good alert",
       Notification({AlertOf("c1", {}), AlertOf("c2", {{"FreeMB", "99999999999"}})}).dump(), 400,
       "alerts[1].labels.FreeMB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply answer = PostAlerts(*client_, c.body);
    EXPECT_EQ(answer.status, c.status) << answer.body.dump();
    if (c.status == 400) {
      EXPECT_EQ(answer.body["error"].value("place", ""), c.place) << answer.body.dump();
    }
  }
  // Only the two firing alerts of the first request became events.
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 2; })) << daemon_.log();
  EXPECT_EQ(EventsPerEventId(daemon_.Results()),
            (std::map<std::string, int>{{"a1", 1}, {"a2", 1}}));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_alerts_raised_total{status=\"firing\"}"), 2);
  EXPECT_EQ(daemon_.Metric("actionmanagerd_alerts_ignored_total{status=\"resolved\"}"), 1);
  EXPECT_EQ(daemon_.Metric("actionmanagerd_alerts_received_total{status=\"firing\"}"), 7);
}

// An alert without a required property is left out; the others still run.
TEST_F(AlertmanagerInputTest, AnAlertWithoutARequiredPropertyIsIgnoredAndCounted) {
  Json config = AlertConfig(Json{{"class", "Alert_Firing"}});
  config["classes"].back()["properties"]["Unit"] = Json{{"type", "string"}, {"required", true}};
  StartWith(config);
  const Json alerts = Notification({AlertOf("u1", {{"Unit", "a"}}), AlertOf("u2", {})});
  const Reply answer = PostAlerts(*client_, alerts.dump());
  EXPECT_EQ(answer.body.value("ignored", -1), 1) << answer.body.dump();
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 1; })) << daemon_.log();
  EXPECT_EQ(EventsPerEventId(daemon_.Results()), (std::map<std::string, int>{{"u1", 1}}));
  EXPECT_EQ(daemon_.Metric("actionmanagerd_alerts_ignored_total{reason=\"missing_property\"}"), 1);
  EXPECT_NE(daemon_.log().find("alerts[1] ignored: Unit"), std::string::npos) << daemon_.log();
}

TEST_F(AlertmanagerInputTest, WaitAnswersWithTheOutcomeAndTheLimitHoldsPerFingerprint) {
  Json resolved_class = Json::parse(R"({"name": "Alert_Resolved", "superclass": "ZRV_Event"})");
  Json config = AlertConfig(Json{{"class", "Alert_Firing"},
                                 {"resolved_class", "Alert_Resolved"},
                                 {"receivers", {{"team", "P"}}}});
  config["classes"].push_back(resolved_class);
  StartWith(config);
  const Json labels = {{"alertname", "UnitDown"}, {"Unit", "nginx.service"}};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const Reply answer = PostAlerts(
        *client_,
        Notification({AlertOf("f1", labels), AlertOf("f0", labels, "resolved")}, "team").dump(),
        true);
    ASSERT_EQ(answer.status, 200) << answer.body.dump();
    ASSERT_EQ(answer.body["events"].size(), 2u);
    EXPECT_EQ(answer.body["events"][0]["class"], "Alert_Firing");
    EXPECT_EQ(answer.body["events"][1]["class"], "Alert_Resolved");
    // The page runs for the first notification only.
    EXPECT_EQ(answer.body["events"][0]["result_events"].size(), round == 0 ? 1u : 0u);
  }
  const Reply other =
      PostAlerts(*client_, Notification({AlertOf("f2", labels)}, "team").dump(), true);
  ASSERT_EQ(other.status, 200);
  ASSERT_EQ(other.body["events"][0]["result_events"].size(), 1u);
  EXPECT_EQ(other.body["events"][0]["result_events"][0]["EventId"], "f2");
  EXPECT_EQ(other.body["events"][0]["result_events"][0]["event_key"], "UnitDown");
}

TEST_F(AlertmanagerInputTest, AReloadChangesTheMappingAndABadOneKeepsTheRunningOne) {
  Json config = AlertConfig(Json());
  StartWith(config);
  const std::string body = Notification({AlertOf("r1", {})}, "team").dump();
  EXPECT_EQ(PostAlerts(*client_, body).status, 404);

  config["alertmanager"] = Json{{"class", "Alert_Firing"}, {"receivers", {{"team", "Q"}}}};
  daemon_.WriteConfig(config);
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("configuration reloaded")) << daemon_.log();
  const Reply mapped = PostAlerts(*client_, body, true);
  ASSERT_EQ(mapped.status, 200) << mapped.body.dump();
  EXPECT_EQ(mapped.body["events"][0]["profile"], "Q");

  // A mapped property the class lacks: refused, the mapping to Q stays.
  config["alertmanager"]["properties"] = Json{{"Size", "labels.size"}};
  daemon_.WriteConfig(config);
  daemon_.Signal(SIGHUP);
  ASSERT_TRUE(daemon_.WaitForLog("alertmanager.properties.Size")) << daemon_.log();
  const Reply kept = PostAlerts(*client_, body, true);
  ASSERT_EQ(kept.status, 200) << kept.body.dump();
  EXPECT_EQ(kept.body["events"][0]["profile"], "Q");
}

// --- End to end with Alertmanager -------------------------------------------

TEST_F(AlertmanagerInputTest, EndToEndAnAlertNotifiedRepeatedlyRunsItsActionOncePerFingerprint) {
  const std::string binary = FindAlertmanager();
  if (binary.empty()) {
    GTEST_SKIP() << "Alertmanager is not installed (Debian: prometheus-alertmanager, which "
                    "`make test` installs); set AM_ALERTMANAGER to its path to run this test";
  }
  StartWith(AlertConfig(Json{{"class", "Alert_Firing"}}));
  Alertmanager alertmanager(dir_, binary);
  ASSERT_TRUE(
      alertmanager.Start("http://127.0.0.1:" + std::to_string(daemon_.port()) + "/v1/alertmanager"))
      << alertmanager.log();
  const Json first = {{"alertname", "UnitDown"},
                      {"severity", "critical"},
                      {"instance", "a"},
                      {"Unit", "nginx.service"}};
  ASSERT_EQ(PostTo(alertmanager, first), 200) << alertmanager.log();
  std::string fp1;
  ASSERT_TRUE(WaitFor([&] { return !(fp1 = FingerprintOf(alertmanager, "a")).empty(); }));

  // Repeated notifications: the alert's event arrives at least twice, its
  // page runs once.
  ASSERT_TRUE(WaitFor([&] { return EventsPerEventId(daemon_.Results())[fp1] >= 2; }))
      << daemon_.log() << alertmanager.log();
  EXPECT_EQ(ActionsPerEventId(daemon_.Results()), (std::map<std::string, int>{{fp1, 1}}));

  Json second = first;
  second["instance"] = "b";
  ASSERT_EQ(PostTo(alertmanager, second), 200);
  std::string fp2;
  ASSERT_TRUE(WaitFor([&] { return !(fp2 = FingerprintOf(alertmanager, "b")).empty(); }));
  ASSERT_NE(fp1, fp2);
  ASSERT_TRUE(WaitFor([&] { return EventsPerEventId(daemon_.Results())[fp2] >= 2; }))
      << daemon_.log() << alertmanager.log();
  EXPECT_EQ(ActionsPerEventId(daemon_.Results()), (std::map<std::string, int>{{fp1, 1}, {fp2, 1}}));

  // Every result event carries its alert's fingerprint, and the events the
  // alert's labels and name.
  for (const Json& line : daemon_.Results()) {
    const Json& event = line["event"]["properties"];
    EXPECT_EQ(event["event_key"], "UnitDown");
    EXPECT_EQ(event["severity"], "critical");
    EXPECT_EQ(event["Unit"], "nginx.service");
    EXPECT_TRUE(event["EventId"] == fp1 || event["EventId"] == fp2) << line.dump();
    for (const Json& result : line["result_events"]) {
      EXPECT_EQ(result["EventId"], event["EventId"]);
    }
  }
  EXPECT_GE(daemon_.Metric("actionmanagerd_actions_held_back_total{profile=\"P\"}").value_or(0), 2);
}

}  // namespace
}  // namespace amtest
