// POST /v1/alertmanager against the running daemon, and end to end with the
// distribution's Alertmanager, started on loopback with short intervals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <map>

#include "testing/alertmanager.h"
#include "testing/daemon.h"
#include "testing/daemon_test.h"
#include "testing/tls.h"

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
  Json notification = Json::parse(R"({"version": "4", "groupKey": "{}:{}", "truncatedAlerts": 0,
      "status": "firing", "groupLabels": {}, "commonLabels": {}, "commonAnnotations": {},
      "externalURL": "http://127.0.0.1:9093"})");
  notification["receiver"] = receiver;
  notification["alerts"] = alerts;
  return notification;
}

Json AlertOf(const std::string& fingerprint, const Json& labels,
             const std::string& status = "firing") {
  Json alert = Json::parse(R"({"annotations": {}, "startsAt": "2026-12-06T03:00:00Z",
      "endsAt": "0001-01-01T00:00:00Z", "generatorURL": ""})");
  alert["status"] = status;
  alert["labels"] = labels.is_null() ? Json::object() : labels;
  alert["fingerprint"] = fingerprint;
  return alert;
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
std::map<std::string, int> EventsPerEventId(const DaemonProcess& daemon) {
  std::map<std::string, int> counts;
  for (const std::string& id : daemon.ResultIds()) ++counts[id];
  return counts;
}

using AlertmanagerInputTest = DaemonTest;

TEST_F(AlertmanagerInputTest, NotificationsAreAnsweredWithTheirCodeAndNothingOfABadOneIsQueued) {
  Json config = AlertConfig(Json{{"class", "Alert_Firing"}});
  config["queue_limit"] = 3;
  config["classes"].back()["properties"]["Unit"] = Json{{"type", "string"}, {"required", true}};
  StartWith(config);
  const Json disk = {{"alertname", "DiskFull"}, {"severity", "critical"}, {"Unit", "a"}};
  const auto body = [](const std::vector<Json>& alerts) { return Notification(alerts).dump(); };
  // What the payload's mapping refuses is service_config's table; here only
  // what the daemon adds: parsing, the queue's bound, an alert without a
  // required property left out (the others still run), and a value its event
  // refuses, named by the label it came from. {name, body, status, in the answer}
  const std::tuple<const char*, std::string, int, std::string> cases[] = {
      {"two firing alerts", body({AlertOf("a1", disk), AlertOf("a2", disk)}), 202, ""},
      {"a resolved alert only", body({AlertOf("a1", disk, "resolved")}), 200, ""},
      {"not JSON", "{\"version\": ", 400, R"("place":"line 1, column 13")"},
      // More than the queue can ever hold: not worth a retry.
      {"four firing alerts for a queue of three",
       body({AlertOf("b1", disk), AlertOf("b2", disk), AlertOf("b3", disk), AlertOf("b4", disk)}),
       413, ""},
      {"a label out of its property's range, after a good alert",
       body({AlertOf("c1", disk), AlertOf("c2", {{"Unit", "a"}, {"FreeMB", "99999999999"}})}), 400,
       R"("place":"alerts[1].labels.FreeMB")"},
      {"an alert without its required property", body({AlertOf("u1", disk), AlertOf("u2", {})}),
       202, R"("ignored":1)"},
  };
  for (const auto& [name, request, status, says] : cases) {
    SCOPED_TRACE(name);
    const Reply answer = PostAlerts(*client_, request);
    EXPECT_EQ(answer.status, status) << answer.body.dump();
    EXPECT_THAT(answer.body.dump(), ::testing::HasSubstr(says));
  }
  // Only the firing alerts of the good requests became events.
  ASSERT_TRUE(WaitFor([&] { return daemon_.Results().size() == 3; })) << daemon_.log();
  EXPECT_EQ(EventsPerEventId(daemon_),
            (std::map<std::string, int>{{"a1", 1}, {"a2", 1}, {"u1", 1}}));
  const std::pair<const char*, double> metrics[] = {
      {"raised_total{status=\"firing\"}", 3},
      {"ignored_total{status=\"resolved\"}", 1},
      {"ignored_total{reason=\"missing_property\"}", 1},
      {"received_total{status=\"firing\"}", 10},
  };
  for (const auto& [name, value] : metrics) {
    EXPECT_EQ(daemon_.Metric(std::string("actionmanagerd_alerts_") + name), value) << name;
  }
  EXPECT_TRUE(daemon_.WaitForLog("alerts[1] ignored: Unit")) << daemon_.log();
}

TEST_F(AlertmanagerInputTest, WaitAnswersWithTheOutcomeAndTheLimitHoldsPerFingerprint) {
  Json config = AlertConfig(Json{{"class", "Alert_Firing"},
                                 {"resolved_class", "Alert_Resolved"},
                                 {"receivers", {{"team", "P"}}}});
  config["classes"].push_back(Json{{"name", "Alert_Resolved"}, {"superclass", "ZRV_Event"}});
  StartWith(config);
  const Json labels = {{"alertname", "UnitDown"}, {"Unit", "nginx.service"}};
  const auto notify = [&](const std::vector<Json>& alerts) {
    const Reply answer = PostAlerts(*client_, Notification(alerts, "team").dump(), true);
    EXPECT_EQ(answer.status, 200) << answer.body.dump();
    return answer.body["events"];
  };
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const Json events = notify({AlertOf("f1", labels), AlertOf("f0", labels, "resolved")});
    EXPECT_EQ(Only(events, {"class"}), R"([{"class":"Alert_Firing"},{"class":"Alert_Resolved"}])");
    // The page runs for the first notification only.
    EXPECT_EQ(events[0]["result_events"].size(), round == 0 ? 1u : 0u);
  }
  EXPECT_EQ(Only(notify({AlertOf("f2", labels)})[0]["result_events"], {"EventId", "event_key"}),
            R"([{"EventId":"f2","event_key":"UnitDown"}])");
}

TEST_F(AlertmanagerInputTest, AReloadChangesTheMappingAndABadOneKeepsTheRunningOne) {
  Json config = AlertConfig(Json());
  StartWith(config);
  const std::string body = Notification({AlertOf("r1", {})}, "team").dump();
  EXPECT_EQ(PostAlerts(*client_, body).status, 404);

  config["alertmanager"] = Json{{"class", "Alert_Firing"}, {"receivers", {{"team", "Q"}}}};
  ASSERT_TRUE(daemon_.Reload(config, "configuration reloaded")) << daemon_.log();
  EXPECT_EQ(Only(PostAlerts(*client_, body, true).body["events"], {"profile"}),
            R"([{"profile":"Q"}])");

  // A mapped property the class lacks: refused, the mapping to Q stays.
  config["alertmanager"]["properties"] = Json{{"Size", "labels.size"}};
  ASSERT_TRUE(daemon_.Reload(config, "alertmanager.properties.Size")) << daemon_.log();
  EXPECT_EQ(Only(PostAlerts(*client_, body, true).body["events"], {"profile"}),
            R"([{"profile":"Q"}])");
}

// --- End to end with Alertmanager -------------------------------------------

TEST_F(AlertmanagerInputTest, EndToEndAnAlertNotifiedRepeatedlyRunsItsActionOncePerFingerprint) {
  const std::string binary = FindAlertmanager();
  if (binary.empty()) GTEST_SKIP() << kNoAlertmanager;
  StartWith(AlertConfig(Json{{"class", "Alert_Firing"}}));
  Alertmanager alertmanager(dir_, binary);
  ASSERT_TRUE(
      alertmanager.Start("http://127.0.0.1:" + std::to_string(daemon_.port()) + "/v1/alertmanager"))
      << alertmanager.log();
  const Json first = {{"alertname", "UnitDown"},
                      {"severity", "critical"},
                      {"instance", "a"},
                      {"Unit", "nginx.service"}};
  ASSERT_EQ(alertmanager.Raise(first), 200) << alertmanager.log();
  std::string fp1;
  ASSERT_TRUE(WaitFor([&] { return !(fp1 = alertmanager.FingerprintOf("a")).empty(); }));

  // Repeated notifications: the alert's event arrives at least twice, its
  // page runs once.
  ASSERT_TRUE(WaitFor([&] { return EventsPerEventId(daemon_)[fp1] >= 2; }))
      << daemon_.log() << alertmanager.log();
  EXPECT_EQ(ActionsPerEventId(daemon_.Results()), (std::map<std::string, int>{{fp1, 1}}));

  Json second = first;
  second["instance"] = "b";
  ASSERT_EQ(alertmanager.Raise(second), 200);
  std::string fp2;
  ASSERT_TRUE(WaitFor([&] { return !(fp2 = alertmanager.FingerprintOf("b")).empty(); }));
  ASSERT_NE(fp1, fp2);
  ASSERT_TRUE(WaitFor([&] { return EventsPerEventId(daemon_)[fp2] >= 2; }))
      << daemon_.log() << alertmanager.log();
  EXPECT_EQ(ActionsPerEventId(daemon_.Results()), (std::map<std::string, int>{{fp1, 1}, {fp2, 1}}));

  // Every result event carries its alert's fingerprint, and the events the
  // alert's labels and name.
  for (const Json& line : daemon_.Results()) {
    const Json& event = line["event"]["properties"];
    EXPECT_EQ(Only(event, {"event_key", "severity", "Unit"}),
              R"({"event_key":"UnitDown","severity":"critical","Unit":"nginx.service"})");
    EXPECT_TRUE(event["EventId"] == fp1 || event["EventId"] == fp2) << line.dump();
    const Json ids = Json::parse(Only(line["result_events"], {"EventId"}));
    EXPECT_EQ(ids, Json(line["result_events"].size(), Json{{"EventId", event["EventId"]}}));
  }
  EXPECT_GE(daemon_.Metric("actionmanagerd_actions_held_back_total{profile=\"P\"}").value_or(0), 2);
}

// Over TLS, trusting a CA of the test's own, with the submit token from the
// webhook's http_config: the daemon's token lets the alert's action run; a
// wrong one is refused (401) before anything is queued.
TEST_F(AlertmanagerInputTest, EndToEndOverTlsTheTokenOfHttpConfigDecidesWhetherTheActionRuns) {
  const std::string binary = FindAlertmanager();
  if (binary.empty()) GTEST_SKIP() << kNoAlertmanager;
  const auto certificates = MakeCertificates(dir_, "server");
  ASSERT_TRUE(certificates.has_value());
  const std::string token = "submit-token-0123456789";
  Json config = AlertConfig(Json{{"class", "Alert_Firing"}});
  config["listen"]["tls_cert_file"] = certificates->cert.string();
  config["listen"]["tls_key_file"] = certificates->key.string();
  config["listen"]["token_file"] = WriteToken(dir_, "token", token);
  StartWith(config);
  const std::string url =
      "https://127.0.0.1:" + std::to_string(daemon_.port()) + "/v1/alertmanager";
  // The refused one first, while nothing else has reached the daemon.
  for (const auto& [name, credentials, runs] :
       {std::tuple("a wrong token", std::string("wrong-token-0123456789"), false),
        std::tuple("the submit token", token, true)}) {
    SCOPED_TRACE(name);
    TempDir am_dir;
    Alertmanager alertmanager(am_dir, binary);
    ASSERT_TRUE(alertmanager.Start(
        url,
        WebhookHttp{certificates->ca.string(), WriteToken(am_dir, "credentials", credentials)}))
        << alertmanager.log();
    ASSERT_EQ(alertmanager.Raise({{"alertname", "UnitDown"}, {"instance", name}}), 200);
    if (!runs) {
      EXPECT_TRUE(WaitFor([&] {
        return alertmanager.log().find("unexpected status code 401") != std::string::npos;
      })) << alertmanager.log();
      EXPECT_EQ(daemon_.Results().size(), 0u) << daemon_.log();
      continue;
    }
    std::string fingerprint;
    ASSERT_TRUE(WaitFor([&] { return !(fingerprint = alertmanager.FingerprintOf(name)).empty(); }));
    ASSERT_TRUE(WaitFor([&] { return ActionsPerEventId(daemon_.Results())[fingerprint] == 1; }))
        << daemon_.log() << alertmanager.log();
    EXPECT_EQ(ActionsPerEventId(daemon_.Results()), (std::map<std::string, int>{{fingerprint, 1}}));
  }
}

}  // namespace
}  // namespace amtest
