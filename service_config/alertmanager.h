// Alertmanager's webhook notifications (payload version 4) as events.
//
// A notification carries a group of alerts. Each firing alert becomes one
// event of the configured class:
//
//   EventId      the alert's fingerprint: the execution limit of an action
//                then holds per alert, across the repeated notifications.
//                The fingerprint is a hash of the labels, so an alert that
//                resolves and fires again keeps it; with
//                event_id_with_start the alert's startsAt is appended
//                ("<fingerprint>@<startsAt>"), so each such incident counts
//                apart
//   event_key    the label "alertname"
//   severity     the label "severity"
//   ProfileName  the configured profile; else the receiver's entry in
//                "receivers"; else the receiver's name when a profile has it;
//                else the default profile
//   others       "properties" (property -> "labels.X", "annotations.X", or a
//                field of the alert or the notification), then, when
//                fill_by_name holds, a label or annotation whose name is a
//                property of the class (names compared without case; on a
//                clash between a label and an annotation `prefer` wins)
//
// A resolved alert is ignored unless a class for resolved alerts is
// configured; it then becomes an event of that class, mapped the same way.
// Texts convert to the property's type: integers and reals from their
// decimal text, booleans from "true"/"false"; properties of type object or
// array are never filled from text.
//
// Mapping is all or nothing: the first problem is returned with its place in
// the payload ("alerts[2].fingerprint", "alerts[0].labels.FreeMB") and no
// event is produced. Pure functions, no I/O; thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scenario/json_input.h"
#include "wbem/types.h"

namespace service {

struct AlertmanagerConfig {
  bool enabled = false;  // the configuration has an "alertmanager" object
  std::string firing_class;
  std::string resolved_class;  // empty: resolved alerts are ignored
  std::string profile;         // empty: from the receiver
  std::map<std::string, std::string> receivers;  // receiver -> profile
  // Property -> source, in the configuration's order.
  std::vector<std::pair<std::string, std::string>> properties;
  bool fill_by_name = true;
  bool labels_win = true;  // "prefer": "labels" (default) or "annotations"
  bool event_id_with_start = false;  // "event_id": "fingerprint_and_start"
};

// A property a class declares (inherited ones included) and its type.
struct PropertyType {
  std::string name;
  CIMTYPE type = CIM_STRING;
};
using ClassShape = std::vector<PropertyType>;

// Whether `source` names something a property can be filled from:
// "labels.NAME", "annotations.NAME", or one of the fields listed in
// kAlertFields / kNotificationFields.
bool IsAlertSource(const std::string& source);
// Whether values of `type` can be made from text.
bool FillableFromText(CIMTYPE type);

// One event made from one alert: {"class": ..., "properties": {...}}.
struct AlertEvent {
  scenario::Json event;
  std::string path;    // "alerts[2]"
  bool firing = true;  // its alert's status
  // Property (as named in the event) -> the place in the payload its value
  // came from, so that a later refusal of the value can name that place.
  std::map<std::string, std::string> sources;
};

struct AlertBatch {
  std::vector<AlertEvent> events;
  std::size_t firing = 0;            // alerts in the payload, by status
  std::size_t resolved = 0;
  std::size_t ignored_resolved = 0;  // resolved alerts without a class to raise
  std::size_t ignored_missing = 0;   // alerts without a property their class requires
  std::int64_t truncated = 0;        // alerts Alertmanager left out (max_alerts)
  std::string receiver;
};

// What the mapping needs to know of the running daemon.
struct AlertTargets {
  ClassShape firing;
  ClassShape resolved;  // unused without a resolved class
  std::set<std::string> profiles;
  std::string default_profile;
};

// Maps a parsed payload. False with `*error` (place and message) when the
// payload is not a version 4 notification, a value does not convert, or an
// alert's profile cannot be found; `*out` then holds no events.
[[nodiscard]] bool MapAlerts(const scenario::Json& payload, const AlertmanagerConfig& config,
                             const AlertTargets& targets, AlertBatch* out,
                             scenario::InputError* error);

// The place to report for a problem that the event's validation found at
// `place` (e.g. "alerts[1].properties.FreeMB"): the label or annotation the
// value came from when it came from one, else `place` itself.
std::string AlertPlace(const AlertEvent& event, const std::string& place);

}  // namespace service
