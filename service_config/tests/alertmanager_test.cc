// Alertmanager notifications mapped to events, without a daemon: which
// events a payload gives, and where a bad one is refused.
#include "service_config/alertmanager.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string_view>
#include <vector>

namespace service {
namespace {

using scenario::InputError;
using scenario::Json;

Json J(const char* text) { return Json::parse(text); }

Json Alert(const std::string& fingerprint, const Json& labels, const Json& annotations = {},
           const std::string& status = "firing") {
  Json alert = J(R"({"startsAt": "2026-12-06T03:00:00Z", "endsAt": "0001-01-01T00:00:00Z",
                     "generatorURL": "http://prometheus:9090/graph"})");
  alert["status"] = status;
  alert["labels"] = labels.is_null() ? Json::object() : labels;
  alert["annotations"] = annotations.is_null() ? Json::object() : annotations;
  alert["fingerprint"] = fingerprint;
  return alert;
}

Json Payload(const std::vector<Json>& alerts, const std::string& receiver = "ops") {
  Json payload = J(R"({"version": "4", "groupKey": "{}:{alertname=\"DiskFull\"}",
      "truncatedAlerts": 0, "status": "firing", "groupLabels": {"alertname": "DiskFull"},
      "commonLabels": {}, "commonAnnotations": {}, "externalURL": "http://alertmanager:9093"})");
  payload["receiver"] = receiver;
  payload["alerts"] = alerts;
  return payload;
}

const Json kDisk = {{"alertname", "DiskFull"}, {"severity", "critical"}};

Json With(Json base, const Json& more) {
  for (const auto& [name, value] : more.items()) base[name] = value;
  return base;
}

using Configure = std::function<void(AlertmanagerConfig&, AlertTargets&)>;

class AlertmanagerMapTest : public ::testing::Test {
 protected:
  AlertmanagerMapTest() {
    config_.enabled = true;
    config_.firing_class = "Alert_Firing";
    for (const char* name :
         {"ProfileName", "ModelName", "EventId", "event_key", "severity", "Unit"}) {
      targets_.firing.push_back({name, CIM_STRING});
    }
    targets_.resolved = targets_.firing;
    targets_.firing.insert(targets_.firing.end(), {{"FreeMB", CIM_UINT32},
                                                   {"Ratio", CIM_REAL64},
                                                   {"Critical", CIM_BOOLEAN},
                                                   {"Blob", CIM_OBJECT},
                                                   {"Tags", CIM_STRING | CIM_FLAG_ARRAY}});
    targets_.profiles = {"P", "ops"};
    targets_.default_profile = "P";
  }

  AlertmanagerConfig config_;
  AlertTargets targets_;
};

// The events of alerts "fp1" for profile "ops" (or what `props` puts in
// their place), each with the properties `props` adds, from the alerts
// `first` on.
Json Events(std::initializer_list<const char*> props, const char* cls = "Alert_Firing",
            int first = 0) {
  Json events = Json::array();
  for (const char* p : props) {
    events.push_back({{"path", "alerts[" + std::to_string(first++) + "]"},
                      {"class", cls},
                      {"properties", With(J(R"({"EventId":"fp1","ProfileName":"ops"})"), J(p))}});
  }
  return events;
}

TEST_F(AlertmanagerMapTest, AlertsBecomeEventsByTheConfiguredMapping) {
  struct Case {
    Configure configure;
    Json payload;
    Json expected;  // the events' {"class", "properties"}
    std::size_t ignored = 0;
  };
  const auto none = [](auto&, auto&) {};
  const char* disk = R"({"event_key":"DiskFull","severity":"critical"})";
  const Json both = J(R"({"Unit":"from-label"})"), annotated = J(R"({"unit":"from-annotation"})");
  const Case cases[] = {
      // Labels fill the properties they name, converted, names without case.
      {none,
       Payload({Alert("fp1", With(kDisk, J(R"({"unit":"nginx.service","FreeMB":"42","ratio":"0.5",
                                        "critical":"TRUE","instance":"db1"})")),
                      J(R"({"summary":"disk full"})"))}),
       Events({R"({"event_key":"DiskFull","severity":"critical","Unit":"nginx.service",
                   "FreeMB":42,"Ratio":0.5,"Critical":true})"})},
      // A resolved alert is ignored without a class for it.
      {none, Payload({Alert("fp2", kDisk, {}, "resolved"), Alert("fp1", kDisk)}),
       Events({disk}, "Alert_Firing", 1), 1},
      // Each alert is mapped on its own, and the count of those left out is kept.
      {none,
       With(Payload({Alert("fp1", {{"Unit", "a"}}), Alert("fp1", {})}), {{"truncatedAlerts", 17}}),
       Events({R"({"Unit":"a"})", "{}"})},
      // A resolved alert becomes an event of the resolved class; FreeMB is not
      // a property of that class: not converted, not set.
      {[](auto& c, auto&) { c.resolved_class = "Alert_Resolved"; },
       Payload({Alert("fp2", With(kDisk, J(R"({"FreeMB":"x","Unit":"u"})")), {}, "resolved")}),
       Events({R"({"EventId":"fp2","event_key":"DiskFull","severity":"critical","Unit":"u"})"},
              "Alert_Resolved")},
      // A label wins over an annotation of the same name by default; an
      // annotation wins when preferred.
      {none, Payload({Alert("fp1", both, annotated)}), Events({R"({"Unit":"from-label"})"})},
      {[](auto& c, auto&) { c.labels_win = false; }, Payload({Alert("fp1", both, annotated)}),
       Events({R"({"Unit":"from-annotation"})"})},
      // Explicit sources come first, may replace event_key, and an absent one
      // stays unset.
      {[](auto& c, auto&) {
         c.properties = {{"unit", "annotations.service"},
                         {"event_key", "labels.job"},
                         {"ModelName", "generatorURL"},
                         {"Ratio", "labels.absent"}};
       },
       Payload({Alert("fp1", With(kDisk, J(R"({"Unit":"by-name","job":"node","Ratio":"2"})")),
                      J(R"({"service":"explicit.service"})"))}),
       Events({R"({"event_key":"node","severity":"critical","Unit":"explicit.service",
                   "ModelName":"http://prometheus:9090/graph"})"})},
      // Without filling by name only the fixed properties are set.
      {[](auto& c, auto&) { c.fill_by_name = false; },
       Payload({Alert("fp1", With(kDisk, J(R"({"Unit":"u","EventId":"forged"})")))}),
       Events({disk})},
      // Labels never fill EventId, ProfileName, object or array properties.
      {none,
       Payload(
           {Alert("fp1", J(R"({"EventId":"forged","ProfileName":"P","Blob":"b","Tags":"t"})"))}),
       Events({"{}"})},
      // The receivers map names the profile; a configured profile overrides
      // the receiver; an unknown receiver goes to the default profile.
      {[](auto& c, auto&) {
         c.receivers = {{"team-x", "P"}};
       },
       Payload({Alert("fp1", {})}, "team-x"), Events({R"({"ProfileName":"P"})"})},
      {[](auto& c, auto&) { c.profile = "P"; }, Payload({Alert("fp1", {})}, "ops"),
       Events({R"({"ProfileName":"P"})"})},
      {none, Payload({Alert("fp1", {})}, "somebody"), Events({R"({"ProfileName":"P"})"})},
      // The EventId may tell incidents of one alert apart by their start.
      {[](auto& c, auto&) { c.event_id_with_start = true; }, Payload({Alert("fp1", {})}),
       Events({R"({"EventId":"fp1@2026-12-06T03:00:00Z"})"})},
      // No alerts, no events.
      {none, Payload({}), Json::array()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.payload["alerts"].dump());
    AlertmanagerConfig config = config_;
    AlertTargets targets = targets_;
    c.configure(config, targets);
    AlertBatch batch;
    InputError error;
    ASSERT_TRUE(MapAlerts(c.payload, config, targets, &batch, &error))
        << error.place << ": " << error.message;
    Json events = Json::array();
    for (const AlertEvent& e : batch.events) events.push_back(With({{"path", e.path}}, e.event));
    EXPECT_EQ(events, c.expected) << events.dump(1);
    // The batch's counts: resolved ones ignored, firing, resolved, truncated.
    std::size_t firing = 0;
    for (const Json& alert : c.payload["alerts"]) firing += alert["status"] == "firing";
    EXPECT_EQ(Json({batch.ignored_resolved, batch.firing, batch.resolved, batch.truncated}),
              Json({c.ignored, firing, c.payload["alerts"].size() - firing,
                    c.payload["truncatedAlerts"].get<std::size_t>()}));
  }
}

TEST_F(AlertmanagerMapTest, ABadPayloadIsRefusedAtItsPlaceWithNoEvents) {
  const Json good = Payload({Alert("fp0", kDisk), Alert("fp1", kDisk), Alert("fp2", kDisk)});
  const Json gone(Json::value_t::discarded);  // the member is erased
  struct Case {
    const char* pointer;  // what is changed and where the refusal must point
    Json value;
    Configure configure = {};
  };
  const Case cases[] = {
      {"/version", gone},
      {"/version", "3"},
      {"/version", 4},
      {"/receiver", gone},
      {"/status", "pending"},
      {"/alerts", Json::object()},
      {"/alerts", gone},
      {"/truncatedAlerts", -1},
      {"/commonLabels/x", 1},
      {"/alerts/1", "x"},
      {"/alerts/2/fingerprint", gone},
      {"/alerts/2/fingerprint", ""},
      {"/alerts/0/status", gone},
      {"/alerts/1/labels", "a=b"},
      {"/alerts/1/labels/n", 3},
      {"/alerts/1/annotations/n", nullptr},
      {"/alerts/0/startsAt", 0},
      {"/alerts/1/labels/FreeMB", "12MB"},
      {"/alerts/1/annotations/Ratio", "half"},
      {"/alerts/0/labels/Ratio", "1e999"},
      {"/alerts/0/labels/Critical", "yes"},
      {"/alerts/0/annotations/free", "-",
       [](auto& c, auto&) {
         c.properties = {{"FreeMB", "annotations.free"}};
       }},
      {"/alerts/1/startsAt", gone, [](auto& c, auto&) { c.event_id_with_start = true; }},
      // A receiver that names no profile, with no default; one mapped to a
      // profile that no longer runs.
      {"/receiver", "ops",
       [](auto& c, auto& t) {
         t.default_profile.clear(), c.receivers.clear(), t.profiles = {"P"};
       }},
      {"/receiver", "ops",
       [](auto& c, auto&) {
         c.receivers = {{"ops", "Gone"}};
       }},
  };
  const auto refused = [&](const Json& payload, const Configure& configure,
                           const std::string& place) {
    AlertmanagerConfig config = config_;
    AlertTargets targets = targets_;
    if (configure) configure(config, targets);
    AlertBatch batch;
    batch.events.resize(1);  // must be left as it was
    InputError error;
    EXPECT_FALSE(MapAlerts(payload, config, targets, &batch, &error));
    EXPECT_EQ(error.place, place) << error.message;
    EXPECT_FALSE(error.message.empty());
    EXPECT_EQ(batch.events.size(), 1u);
  };
  refused(Json::array({good}), {}, "");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pointer) + " = " + c.value.dump());
    const Json::json_pointer pointer(c.pointer);
    Json payload = good;
    if (c.value.is_discarded()) {
      payload[pointer.parent_pointer()].erase(pointer.back());
    } else {
      payload[pointer] = c.value;
    }
    // The pointer as a field path: "/alerts/1/labels" is "alerts[1].labels".
    std::string place = std::regex_replace(c.pointer, std::regex("/(\\d+)"), "[$1]");
    place = std::regex_replace(place.substr(place.starts_with("/") ? 1 : 0), std::regex("/"), ".");
    refused(payload, c.configure, place);
  }
}

TEST_F(AlertmanagerMapTest, ALaterRefusalOfAValueNamesItsLabel) {
  AlertBatch batch;
  InputError error;
  ASSERT_TRUE(MapAlerts(Payload({Alert("fp0", {}), Alert("fp1", {{"FreeMB", "99999999999"}})}),
                        config_, targets_, &batch, &error));
  ASSERT_EQ(batch.events.size(), 2u);
  const AlertEvent& second = batch.events[1];
  // The place a later check gives, and the place of the alert it stands for.
  for (const auto& [given, expected] :
       {std::pair{"alerts[1].properties.FreeMB", "alerts[1].labels.FreeMB"},
        std::pair{"alerts[1].properties.EventId", "alerts[1].fingerprint"},
        std::pair{"alerts[1].properties.Other", "alerts[1].properties.Other"},
        std::pair{"alerts[1].class", "alerts[1].class"}}) {
    EXPECT_EQ(AlertPlace(second, given), expected) << given;
  }
}

TEST(AlertSourceTest, NamesOnlyLabelsAnnotationsAndKnownFields) {
  for (const char* good :
       {"labels.x", "annotations.summary", "fingerprint", "receiver", "generatorURL", "groupKey"}) {
    EXPECT_TRUE(IsAlertSource(good)) << good;
  }
  for (const char* bad : {"labels.", "label.x", "alerts", "fingerprints", "", "annotations"}) {
    EXPECT_FALSE(IsAlertSource(bad)) << bad;
  }
}

}  // namespace
}  // namespace service
