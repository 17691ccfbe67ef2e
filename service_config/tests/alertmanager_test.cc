// Alertmanager notifications mapped to events, without a daemon: which
// events a payload gives, and where a bad one is refused.
#include "service_config/alertmanager.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace service {
namespace {

using scenario::InputError;
using scenario::Json;

Json Alert(const std::string& fingerprint, const Json& labels, const Json& annotations = {},
           const std::string& status = "firing") {
  Json alert = Json{{"status", status},
                    {"labels", labels.is_null() ? Json::object() : labels},
                    {"annotations", annotations.is_null() ? Json::object() : annotations},
                    {"startsAt", "2026-12-06T03:00:00Z"},
                    {"endsAt", "0001-01-01T00:00:00Z"},
                    {"generatorURL", "http://prometheus:9090/graph"},
                    {"fingerprint", fingerprint}};
  return alert;
}

Json Payload(const std::vector<Json>& alerts, const std::string& receiver = "ops") {
  return Json{{"version", "4"},
              {"groupKey", "{}:{alertname=\"DiskFull\"}"},
              {"truncatedAlerts", 0},
              {"status", "firing"},
              {"receiver", receiver},
              {"groupLabels", {{"alertname", "DiskFull"}}},
              {"commonLabels", Json::object()},
              {"commonAnnotations", Json::object()},
              {"externalURL", "http://alertmanager:9093"},
              {"alerts", Json(alerts)}};
}

const Json kDisk = {{"alertname", "DiskFull"}, {"severity", "critical"}};

Json With(Json base, const Json& more) {
  for (const auto& [name, value] : more.items()) base[name] = value;
  return base;
}

class AlertmanagerMapTest : public ::testing::Test {
 protected:
  AlertmanagerMapTest() {
    config_.enabled = true;
    config_.firing_class = "Alert_Firing";
    const ClassShape event = {{"ProfileName", CIM_STRING}, {"ModelName", CIM_STRING},
                              {"EventId", CIM_STRING},     {"event_key", CIM_STRING},
                              {"severity", CIM_STRING}};
    targets_.firing = event;
    targets_.firing.insert(targets_.firing.end(), {{"Unit", CIM_STRING},
                                                   {"FreeMB", CIM_UINT32},
                                                   {"Ratio", CIM_REAL64},
                                                   {"Critical", CIM_BOOLEAN},
                                                   {"Blob", CIM_OBJECT},
                                                   {"Tags", CIM_STRING | CIM_FLAG_ARRAY}});
    targets_.resolved = event;
    targets_.resolved.push_back({"Unit", CIM_STRING});
    targets_.profiles = {"P", "ops"};
    targets_.default_profile = "P";
  }

  AlertmanagerConfig config_;
  AlertTargets targets_;
};

TEST_F(AlertmanagerMapTest, AlertsBecomeEventsByTheConfiguredMapping) {
  struct Case {
    const char* name;
    std::function<void(AlertmanagerConfig&, AlertTargets&)> configure;
    Json payload;
    Json expected;  // the events' {"class", "properties"}
    std::size_t ignored = 0;
  };
  const auto none = [](AlertmanagerConfig&, AlertTargets&) {};
  const Case cases[] = {
      {"labels fill the properties they name, converted, names without case",
       none,
       Payload({Alert("fp1",
                      With(kDisk, {{"unit", "nginx.service"}, {"FreeMB", "42"}, {"ratio", "0.5"},
                                   {"critical", "TRUE"}, {"instance", "db1"}}),
                      {{"summary", "disk full"}})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"event_key", "DiskFull"},
                       {"severity", "critical"}, {"Unit", "nginx.service"}, {"FreeMB", 42},
                       {"Ratio", 0.5}, {"Critical", true}}}}})},
      {"a resolved alert is ignored without a class for it",
       none,
       Payload({Alert("fp1", kDisk), Alert("fp2", kDisk, {}, "resolved")}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"event_key", "DiskFull"},
                       {"severity", "critical"}}}}}),
       1},
      {"a resolved alert becomes an event of the resolved class",
       [](AlertmanagerConfig& c, AlertTargets&) { c.resolved_class = "Alert_Resolved"; },
       Payload({Alert("fp2", With(kDisk, {{"FreeMB", "x"}, {"Unit", "u"}}), {}, "resolved")}),
       // FreeMB is not a property of the resolved class: not converted, not set.
       Json::array({{{"class", "Alert_Resolved"},
                     {"properties",
                      {{"EventId", "fp2"}, {"ProfileName", "ops"}, {"event_key", "DiskFull"},
                       {"severity", "critical"}, {"Unit", "u"}}}}})},
      {"a label wins over an annotation of the same name by default",
       none,
       Payload({Alert("fp1", {{"Unit", "from-label"}}, {{"unit", "from-annotation"}})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"Unit", "from-label"}}}}})},
      {"an annotation wins when preferred",
       [](AlertmanagerConfig& c, AlertTargets&) { c.labels_win = false; },
       Payload({Alert("fp1", {{"Unit", "from-label"}}, {{"unit", "from-annotation"}})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"Unit", "from-annotation"}}}}})},
      {"explicit sources come first, may replace event_key, and an absent one stays unset",
       [](AlertmanagerConfig& c, AlertTargets&) {
         c.properties = {{"unit", "annotations.service"}, {"event_key", "labels.job"},
                         {"ModelName", "generatorURL"}, {"Ratio", "labels.absent"}};
       },
       Payload({Alert("fp1", With(kDisk, {{"Unit", "by-name"}, {"job", "node"}, {"Ratio", "2"}}),
                      {{"service", "explicit.service"}})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"event_key", "node"},
                       {"severity", "critical"}, {"Unit", "explicit.service"},
                       {"ModelName", "http://prometheus:9090/graph"}}}}})},
      {"without filling by name only the fixed properties are set",
       [](AlertmanagerConfig& c, AlertTargets&) { c.fill_by_name = false; },
       Payload({Alert("fp1", With(kDisk, {{"Unit", "u"}, {"EventId", "forged"}}))}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1"}, {"ProfileName", "ops"}, {"event_key", "DiskFull"},
                       {"severity", "critical"}}}}})},
      {"labels never fill EventId, ProfileName, object or array properties",
       none,
       Payload({Alert("fp1", {{"EventId", "forged"}, {"ProfileName", "P"}, {"Blob", "b"},
                              {"Tags", "t"}})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties", {{"EventId", "fp1"}, {"ProfileName", "ops"}}}}})},
      {"the receivers map names the profile",
       [](AlertmanagerConfig& c, AlertTargets&) { c.receivers = {{"team-x", "P"}}; },
       Payload({Alert("fp1", {})}, "team-x"),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties", {{"EventId", "fp1"}, {"ProfileName", "P"}}}}})},
      {"a configured profile overrides the receiver",
       [](AlertmanagerConfig& c, AlertTargets&) { c.profile = "P"; },
       Payload({Alert("fp1", {})}, "ops"),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties", {{"EventId", "fp1"}, {"ProfileName", "P"}}}}})},
      {"an unknown receiver goes to the default profile",
       none,
       Payload({Alert("fp1", {})}, "somebody"),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties", {{"EventId", "fp1"}, {"ProfileName", "P"}}}}})},
      {"the EventId may tell incidents of one alert apart by their start",
       [](AlertmanagerConfig& c, AlertTargets&) { c.event_id_with_start = true; },
       Payload({Alert("fp1", {})}),
       Json::array({{{"class", "Alert_Firing"},
                     {"properties",
                      {{"EventId", "fp1@2026-12-06T03:00:00Z"}, {"ProfileName", "ops"}}}}})},
      {"no alerts, no events",
       none,
       Payload({}),
       Json::array()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AlertmanagerConfig config = config_;
    AlertTargets targets = targets_;
    c.configure(config, targets);
    AlertBatch batch;
    InputError error;
    ASSERT_TRUE(MapAlerts(c.payload, config, targets, &batch, &error))
        << error.place << ": " << error.message;
    Json events = Json::array();
    for (const AlertEvent& event : batch.events) events.push_back(event.event);
    EXPECT_EQ(events, c.expected) << events.dump(1);
    EXPECT_EQ(batch.ignored_resolved, c.ignored);
    EXPECT_EQ(batch.firing + batch.resolved, c.payload["alerts"].size());
  }
}

TEST_F(AlertmanagerMapTest, ABadPayloadIsRefusedAtItsPlaceWithNoEvents) {
  Json good = Payload({Alert("fp0", kDisk), Alert("fp1", kDisk), Alert("fp2", kDisk)});
  struct Case {
    const char* name;
    Json payload;
    std::string place;
    std::function<void(AlertmanagerConfig&, AlertTargets&)> configure = {};
  };
  auto change = [&](const std::function<void(Json&)>& edit) {
    Json payload = good;
    edit(payload);
    return payload;
  };
  const Case cases[] = {
      {"not an object", Json::array({good}), ""},
      {"no version", change([](Json& p) { p.erase("version"); }), "version"},
      {"another version", change([](Json& p) { p["version"] = "3"; }), "version"},
      {"a numeric version", change([](Json& p) { p["version"] = 4; }), "version"},
      {"no receiver", change([](Json& p) { p.erase("receiver"); }), "receiver"},
      {"an unknown status", change([](Json& p) { p["status"] = "pending"; }), "status"},
      {"alerts not an array", change([](Json& p) { p["alerts"] = Json::object(); }), "alerts"},
      {"no alerts", change([](Json& p) { p.erase("alerts"); }), "alerts"},
      {"a negative truncatedAlerts", change([](Json& p) { p["truncatedAlerts"] = -1; }),
       "truncatedAlerts"},
      {"a common label not a string",
       change([](Json& p) { p["commonLabels"]["x"] = 1; }), "commonLabels.x"},
      {"an alert not an object", change([](Json& p) { p["alerts"][1] = "x"; }), "alerts[1]"},
      {"a missing fingerprint", change([](Json& p) { p["alerts"][2].erase("fingerprint"); }),
       "alerts[2].fingerprint"},
      {"an empty fingerprint", change([](Json& p) { p["alerts"][2]["fingerprint"] = ""; }),
       "alerts[2].fingerprint"},
      {"a missing alert status", change([](Json& p) { p["alerts"][0].erase("status"); }),
       "alerts[0].status"},
      {"labels not an object", change([](Json& p) { p["alerts"][1]["labels"] = "a=b"; }),
       "alerts[1].labels"},
      {"a label not a string", change([](Json& p) { p["alerts"][1]["labels"]["n"] = 3; }),
       "alerts[1].labels.n"},
      {"an annotation not a string",
       change([](Json& p) { p["alerts"][1]["annotations"]["n"] = nullptr; }),
       "alerts[1].annotations.n"},
      {"startsAt not a string", change([](Json& p) { p["alerts"][0]["startsAt"] = 0; }),
       "alerts[0].startsAt"},
      {"an integer label that is no integer",
       change([](Json& p) { p["alerts"][1]["labels"]["FreeMB"] = "12MB"; }),
       "alerts[1].labels.FreeMB"},
      {"a real annotation that is no number",
       change([](Json& p) { p["alerts"][1]["annotations"]["Ratio"] = "half"; }),
       "alerts[1].annotations.Ratio"},
      {"a real that overflows", change([](Json& p) { p["alerts"][0]["labels"]["Ratio"] = "1e999"; }),
       "alerts[0].labels.Ratio"},
      {"a boolean label that is neither",
       change([](Json& p) { p["alerts"][0]["labels"]["Critical"] = "yes"; }),
       "alerts[0].labels.Critical"},
      {"an explicit source that does not convert",
       change([](Json& p) { p["alerts"][0]["annotations"]["free"] = "-"; }),
       "alerts[0].annotations.free",
       [](AlertmanagerConfig& c, AlertTargets&) { c.properties = {{"FreeMB", "annotations.free"}}; }},
      {"no startsAt when the EventId includes it",
       change([](Json& p) { p["alerts"][1].erase("startsAt"); }), "alerts[1].startsAt",
       [](AlertmanagerConfig& c, AlertTargets&) { c.event_id_with_start = true; }},
      {"a receiver that names no profile, and no default",
       good, "receiver",
       [](AlertmanagerConfig& c, AlertTargets& t) {
         t.default_profile.clear();
         c.receivers.clear();
         t.profiles = {"P"};
       }},
      {"a receiver mapped to a profile that no longer runs",
       good, "receiver",
       [](AlertmanagerConfig& c, AlertTargets&) { c.receivers = {{"ops", "Gone"}}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AlertmanagerConfig config = config_;
    AlertTargets targets = targets_;
    if (c.configure) c.configure(config, targets);
    AlertBatch batch;
    batch.events.resize(1);  // must be left as it was
    InputError error;
    EXPECT_FALSE(MapAlerts(c.payload, config, targets, &batch, &error));
    EXPECT_EQ(error.place, c.place) << error.message;
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(batch.events.size(), 1u);
  }
}

TEST_F(AlertmanagerMapTest, ALargeTruncatedNotificationKeepsEveryAlertApart) {
  std::vector<Json> alerts;
  for (int i = 0; i < 2000; ++i) {
    alerts.push_back(Alert("fp" + std::to_string(i), With(kDisk, {{"FreeMB", std::to_string(i)}}),
                           {}, i % 2 == 0 ? "firing" : "resolved"));
  }
  Json payload = Payload(alerts);
  payload["truncatedAlerts"] = 17;
  AlertBatch batch;
  InputError error;
  ASSERT_TRUE(MapAlerts(payload, config_, targets_, &batch, &error)) << error.message;
  EXPECT_EQ(batch.truncated, 17);
  EXPECT_EQ(batch.firing, 1000u);
  EXPECT_EQ(batch.ignored_resolved, 1000u);
  ASSERT_EQ(batch.events.size(), 1000u);
  for (std::size_t i = 0; i < batch.events.size(); ++i) {
    const Json& properties = batch.events[i].event["properties"];
    ASSERT_EQ(properties["EventId"], "fp" + std::to_string(2 * i));
    ASSERT_EQ(properties["FreeMB"], 2 * i);
    ASSERT_EQ(batch.events[i].path, "alerts[" + std::to_string(2 * i) + "]");
  }
}

TEST_F(AlertmanagerMapTest, ALaterRefusalOfAValueNamesItsLabel) {
  AlertBatch batch;
  InputError error;
  ASSERT_TRUE(MapAlerts(Payload({Alert("fp0", {}), Alert("fp1", {{"FreeMB", "99999999999"}})}),
                        config_, targets_, &batch, &error));
  ASSERT_EQ(batch.events.size(), 2u);
  const AlertEvent& second = batch.events[1];
  struct Case {
    std::string given, expected;
  };
  for (const Case& c : {Case{"alerts[1].properties.FreeMB", "alerts[1].labels.FreeMB"},
                        Case{"alerts[1].properties.EventId", "alerts[1].fingerprint"},
                        Case{"alerts[1].properties.Other", "alerts[1].properties.Other"},
                        Case{"alerts[1].class", "alerts[1].class"}}) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(AlertPlace(second, c.given), c.expected);
  }
}

TEST(AlertSourceTest, NamesOnlyLabelsAnnotationsAndKnownFields) {
  for (const char* good : {"labels.x", "annotations.summary", "fingerprint", "receiver",
                           "generatorURL", "groupKey"}) {
    EXPECT_TRUE(IsAlertSource(good)) << good;
  }
  for (const char* bad : {"labels.", "label.x", "alerts", "fingerprints", "", "annotations"}) {
    EXPECT_FALSE(IsAlertSource(bad)) << bad;
  }
}

}  // namespace
}  // namespace service
