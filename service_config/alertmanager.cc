#include "service_config/alertmanager.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <set>
#include <tuple>

#include "base/ascii.h"
#include "scenario/scenario.h"

namespace service {
namespace {

using scenario::FieldPath;
using scenario::IndexPath;
using scenario::InputError;
using scenario::Json;

// Fields of an alert and of the notification that "properties" may name.
constexpr const char* kAlertFields[] = {"status", "startsAt", "endsAt", "generatorURL",
                                        "fingerprint"};
constexpr const char* kNotificationFields[] = {"receiver", "externalURL", "groupKey"};
// Properties the mapping sets itself; labels never fill them by name.
constexpr const char* kFixed[] = {"EventId", "ProfileName", "event_key", "severity"};

using scenario::JsonTypeName;
using scenario::SameName;

bool IsFixed(std::string_view name) {
  for (const char* fixed : kFixed) {
    if (SameName(name, fixed)) return true;
  }
  return false;
}

bool Fail(InputError* error, std::string place, std::string message) {
  *error = {std::move(place), std::move(message)};
  return false;
}

// A string field; `required` makes absence a problem. `*out` untouched when
// absent.
bool ReadString(const Json& object, const std::string& path, const char* field, bool required,
                const std::string** out, InputError* error) {
  const auto it = object.find(field);
  if (it == object.end()) {
    return required ? Fail(error, FieldPath(path, field), "missing") : true;
  }
  if (!it->is_string()) {
    return Fail(error, FieldPath(path, field), std::string("must be a string, not ") + JsonTypeName(*it));
  }
  *out = it->get_ptr<const std::string*>();
  return true;
}

// An object whose values are all strings (labels, annotations).
bool ReadTextMap(const Json& object, const std::string& path, const char* field, bool required,
                 const Json** out, InputError* error) {
  const auto it = object.find(field);
  if (it == object.end()) {
    return required ? Fail(error, FieldPath(path, field), "missing") : true;
  }
  const std::string place = FieldPath(path, field);
  if (!it->is_object()) {
    return Fail(error, place, std::string("must be an object, not ") + JsonTypeName(*it));
  }
  for (const auto& [name, value] : it->items()) {
    if (!value.is_string()) {
      return Fail(error, FieldPath(place, name),
                  std::string("must be a string, not ") + JsonTypeName(value));
    }
  }
  *out = &*it;
  return true;
}

bool ReadStatus(const Json& object, const std::string& path, bool* firing, InputError* error) {
  const std::string* status = nullptr;
  if (!ReadString(object, path, "status", true, &status, error)) return false;
  if (*status != "firing" && *status != "resolved") {
    return Fail(error, FieldPath(path, "status"),
                "must be \"firing\" or \"resolved\", not \"" + *status + "\"");
  }
  *firing = *status == "firing";
  return true;
}

template <typename Number>
bool ParseWhole(const std::string& text, Number* out) {
  const char* end = text.data() + text.size();
  const auto [at, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && at == end && !text.empty();
}

// `text` as the JSON value a property of `type` takes; range checks are left
// to the instance's conversion.
bool ConvertText(const std::string& text, CIMTYPE type, const std::string& place, Json* out,
                 InputError* error) {
  switch (type) {
    case CIM_SINT8:
    case CIM_SINT16:
    case CIM_SINT32:
    case CIM_SINT64:
    case CIM_UINT8:
    case CIM_UINT16:
    case CIM_UINT32:
    case CIM_UINT64: {
      std::int64_t signed_value = 0;
      std::uint64_t unsigned_value = 0;
      if (!text.starts_with('-') && ParseWhole(text, &unsigned_value)) {
        *out = unsigned_value;
      } else if (ParseWhole(text, &signed_value)) {
        *out = signed_value;
      } else {
        return Fail(error, place, "\"" + text + "\" is not an integer");
      }
      return true;
    }
    case CIM_REAL32:
    case CIM_REAL64: {
      double value = 0;
      if (!ParseWhole(text, &value) || !std::isfinite(value)) {
        return Fail(error, place, "\"" + text + "\" is not a number");
      }
      *out = value;
      return true;
    }
    case CIM_BOOLEAN:
      if (SameName(text, "true")) {
        *out = true;
      } else if (SameName(text, "false")) {
        *out = false;
      } else {
        return Fail(error, place, "\"" + text + "\" is neither true nor false");
      }
      return true;
    default:
      *out = text;  // strings, datetime, reference, char16: checked by the conversion
      return true;
  }
}

const PropertyType* FindProperty(const ClassShape& shape, std::string_view name) {
  for (const PropertyType& property : shape) {
    if (SameName(property.name, name)) return &property;
  }
  return nullptr;
}

// The value of `name` in a text map, names compared without case (an exact
// match first); null when absent.
const Json* FindText(const Json* map, std::string_view name, std::string* key) {
  if (map == nullptr) return nullptr;
  const auto exact = map->find(name);
  if (exact != map->end()) {
    *key = exact.key();
    return &*exact;
  }
  for (const auto& [candidate, value] : map->items()) {
    if (SameName(candidate, name)) {
      *key = candidate;
      return &value;
    }
  }
  return nullptr;
}

struct AlertView {
  const Json* alert = nullptr;
  const Json* labels = nullptr;
  const Json* annotations = nullptr;
  std::string path;
};

// The text `source` names for one alert, with its place; false when absent.
bool SourceText(const std::string& source, const AlertView& view, const Json& payload,
                std::string* text, std::string* place) {
  for (const auto& [prefix, map, field] :
       {std::tuple{std::string_view("labels."), view.labels, "labels"},
        std::tuple{std::string_view("annotations."), view.annotations, "annotations"}}) {
    if (!source.starts_with(prefix)) continue;
    const std::string name = source.substr(prefix.size());
    if (map == nullptr) return false;
    const auto it = map->find(name);
    if (it == map->end()) return false;
    *text = it->get<std::string>();
    *place = FieldPath(FieldPath(view.path, field), name);
    return true;
  }
  for (const char* field : kAlertFields) {
    if (source != field) continue;
    const auto it = view.alert->find(field);
    if (it == view.alert->end() || !it->is_string()) return false;
    *text = it->get<std::string>();
    *place = FieldPath(view.path, field);
    return true;
  }
  for (const char* field : kNotificationFields) {
    if (source != field) continue;
    const auto it = payload.find(field);
    if (it == payload.end() || !it->is_string()) return false;
    *text = it->get<std::string>();
    *place = field;
    return true;
  }
  return false;
}

bool ResolveProfile(const AlertmanagerConfig& config, const AlertTargets& targets,
                    const std::string& receiver, std::string* profile, InputError* error) {
  std::string chosen;
  std::string why;
  if (!config.profile.empty()) {
    chosen = config.profile;
    why = "the configured profile";
  } else if (const auto mapped = config.receivers.find(receiver); mapped != config.receivers.end()) {
    chosen = mapped->second;
    why = "the profile configured for the receiver";
  } else if (targets.profiles.count(receiver) != 0) {
    chosen = receiver;
  } else if (!targets.default_profile.empty()) {
    chosen = targets.default_profile;
  } else {
    return Fail(error, "receiver",
                "\"" + receiver +
                    "\" is no profile, has no entry in alertmanager.receivers, and no default "
                    "profile is configured");
  }
  if (targets.profiles.count(chosen) == 0) {
    return Fail(error, "receiver", why + " \"" + chosen + "\" is not a running profile");
  }
  *profile = std::move(chosen);
  return true;
}

// The properties of one event under construction, each with the place in
// the payload its value came from.
class EventFiller {
 public:
  EventFiller(const ClassShape& shape, AlertEvent* out, InputError* error)
      : shape_(shape), out_(out), error_(error) {}

  void Put(const std::string& name, Json value, const std::string& place) {
    properties_[name] = std::move(value);
    set_.insert(base::AsciiLowered(name));
    out_->sources[name] = place;
  }
  // Converts and puts `text` into the property `name` (as the class spells
  // it when it declares it); false with the error when it does not convert.
  bool Fill(std::string_view name, const std::string& text, const std::string& place) {
    const PropertyType* property = FindProperty(shape_, name);
    Json value;
    if (property == nullptr) {
      Put(std::string(name), text, place);  // refused by validation, at its source
      return true;
    }
    if (!ConvertText(text, property->type, place, &value, error_)) return false;
    Put(property->name, std::move(value), place);
    return true;
  }
  // Counts `name` as given a value, so that filling by name leaves it alone.
  void Reserve(const std::string& name) { set_.insert(base::AsciiLowered(name)); }
  bool IsSet(const std::string& name) const { return set_.count(base::AsciiLowered(name)) != 0; }
  const ClassShape& shape() const { return shape_; }
  Json TakeProperties() { return std::move(properties_); }

 private:
  const ClassShape& shape_;
  AlertEvent* out_;
  InputError* error_;
  Json properties_ = Json::object();
  std::set<std::string> set_;  // folded names already given a value
};

// EventId, ProfileName, and the labels every event carries.
bool PutFixed(const AlertView& view, const std::string& profile, const AlertmanagerConfig& config,
              EventFiller& filler, InputError* error) {
  std::string event_id = view.alert->at("fingerprint").get<std::string>();
  if (config.event_id_with_start) {
    const auto starts = view.alert->find("startsAt");
    if (starts == view.alert->end()) {
      return Fail(error, FieldPath(view.path, "startsAt"), "missing (the EventId includes it)");
    }
    event_id += "@" + starts->get<std::string>();
  }
  filler.Put("EventId", std::move(event_id), FieldPath(view.path, "fingerprint"));
  filler.Put("ProfileName", profile, "receiver");
  // Label names are case-sensitive in Alertmanager: these two are exact.
  for (const auto& [label, property] : {std::pair{"alertname", "event_key"},
                                        std::pair{"severity", "severity"}}) {
    const auto it = view.labels->find(label);
    if (it != view.labels->end()) {
      filler.Put(property, it->get<std::string>(),
                 FieldPath(FieldPath(view.path, "labels"), label));
    }
  }
  return true;
}

// The class's text properties not set yet, from the label or annotation of
// the same name.
bool FillByName(const AlertView& view, const AlertmanagerConfig& config, EventFiller& filler) {
  // A property with an explicit source keeps to it, even when it is absent.
  for (const auto& [name, source] : config.properties) filler.Reserve(name);
  for (const PropertyType& property : filler.shape()) {
    if (IsFixed(property.name) || filler.IsSet(property.name) || !FillableFromText(property.type)) {
      continue;
    }
    std::string label_key, annotation_key;
    const Json* label = FindText(view.labels, property.name, &label_key);
    const Json* annotation = FindText(view.annotations, property.name, &annotation_key);
    if (label == nullptr && annotation == nullptr) continue;
    const bool use_label = label != nullptr && (annotation == nullptr || config.labels_win);
    const std::string place = use_label
                                  ? FieldPath(FieldPath(view.path, "labels"), label_key)
                                  : FieldPath(FieldPath(view.path, "annotations"), annotation_key);
    if (!filler.Fill(property.name, (use_label ? label : annotation)->get<std::string>(), place)) {
      return false;
    }
  }
  return true;
}

bool MapAlert(const Json& payload, const AlertView& view, bool firing, const std::string& profile,
              const AlertmanagerConfig& config, const AlertTargets& targets, AlertEvent* out,
              InputError* error) {
  EventFiller filler(firing ? targets.firing : targets.resolved, out, error);
  if (!PutFixed(view, profile, config, filler, error)) return false;
  for (const auto& [name, source] : config.properties) {
    std::string text, place;
    if (!SourceText(source, view, payload, &text, &place)) continue;
    if (!filler.Fill(name, text, place)) return false;
  }
  if (config.fill_by_name && !FillByName(view, config, filler)) return false;
  out->event = Json{{"class", firing ? config.firing_class : config.resolved_class},
                    {"properties", filler.TakeProperties()}};
  out->path = view.path;
  out->firing = firing;
  return true;
}

}  // namespace

bool IsAlertSource(const std::string& source) {
  for (const char* prefix : {"labels.", "annotations."}) {
    if (source.starts_with(prefix) && source.size() > std::string_view(prefix).size()) return true;
  }
  for (const char* field : kAlertFields) {
    if (source == field) return true;
  }
  for (const char* field : kNotificationFields) {
    if (source == field) return true;
  }
  return false;
}

bool FillableFromText(CIMTYPE type) {
  return (type & CIM_FLAG_ARRAY) == 0 && type != CIM_OBJECT;
}

namespace {

// The payload's fields around its alerts: a version 4 notification, its
// receiver (in `*receiver`, pointing into `payload`) and its truncation count.
bool ReadEnvelope(const Json& payload, const std::string** receiver, std::int64_t* truncated_alerts,
                  InputError* error) {
  if (!payload.is_object()) {
    return Fail(error, "", std::string("the payload must be an object, not ") + JsonTypeName(payload));
  }
  const std::string* version = nullptr;
  if (!ReadString(payload, "", "version", true, &version, error)) return false;
  if (*version != "4") {
    return Fail(error, "version", "\"" + *version + "\" is not a known version (\"4\" is)");
  }
  const std::string* ignored = nullptr;
  const Json* map = nullptr;
  bool firing = false;
  if (!ReadString(payload, "", "receiver", true, receiver, error) ||
      !ReadStatus(payload, "", &firing, error) ||
      !ReadString(payload, "", "groupKey", false, &ignored, error) ||
      !ReadString(payload, "", "externalURL", false, &ignored, error) ||
      !ReadTextMap(payload, "", "groupLabels", false, &map, error) ||
      !ReadTextMap(payload, "", "commonLabels", false, &map, error) ||
      !ReadTextMap(payload, "", "commonAnnotations", false, &map, error)) {
    return false;
  }
  if (const auto truncated = payload.find("truncatedAlerts"); truncated != payload.end()) {
    if (!truncated->is_number_integer() || truncated->get<std::int64_t>() < 0) {
      return Fail(error, "truncatedAlerts", "must be a count (an integer from 0)");
    }
    *truncated_alerts = truncated->get<std::int64_t>();
  }
  return true;
}

// One alert's own fields, checked; its labels and annotations into `view`.
bool ReadAlertFields(AlertView& view, bool* firing, InputError* error) {
  const std::string* fingerprint = nullptr;
  const std::string* text = nullptr;
  if (!ReadStatus(*view.alert, view.path, firing, error) ||
      !ReadTextMap(*view.alert, view.path, "labels", true, &view.labels, error) ||
      !ReadTextMap(*view.alert, view.path, "annotations", false, &view.annotations, error) ||
      !ReadString(*view.alert, view.path, "fingerprint", true, &fingerprint, error) ||
      !ReadString(*view.alert, view.path, "startsAt", false, &text, error) ||
      !ReadString(*view.alert, view.path, "endsAt", false, &text, error) ||
      !ReadString(*view.alert, view.path, "generatorURL", false, &text, error)) {
    return false;
  }
  if (fingerprint->empty()) return Fail(error, FieldPath(view.path, "fingerprint"), "is empty");
  return true;
}

}  // namespace

bool MapAlerts(const Json& payload, const AlertmanagerConfig& config, const AlertTargets& targets,
               AlertBatch* out, InputError* error) {
  AlertBatch batch;
  const std::string* receiver = nullptr;
  if (!ReadEnvelope(payload, &receiver, &batch.truncated, error)) return false;
  const auto alerts = payload.find("alerts");
  if (alerts == payload.end()) return Fail(error, "alerts", "missing");
  if (!alerts->is_array()) {
    return Fail(error, "alerts", std::string("must be an array, not ") + JsonTypeName(*alerts));
  }
  batch.receiver = *receiver;
  std::string profile;
  bool profile_known = false;
  for (std::size_t i = 0; i < alerts->size(); ++i) {
    AlertView view;
    view.alert = &(*alerts)[i];
    view.path = IndexPath("alerts", i);
    if (!view.alert->is_object()) {
      return Fail(error, view.path,
                  std::string("must be an object, not ") + JsonTypeName(*view.alert));
    }
    bool alert_firing = false;
    if (!ReadAlertFields(view, &alert_firing, error)) return false;
    ++(alert_firing ? batch.firing : batch.resolved);
    if (!alert_firing && config.resolved_class.empty()) {
      ++batch.ignored_resolved;
      continue;
    }
    if (!profile_known) {
      if (!ResolveProfile(config, targets, *receiver, &profile, error)) return false;
      profile_known = true;
    }
    AlertEvent event;
    if (!MapAlert(payload, view, alert_firing, profile, config, targets, &event, error)) {
      return false;
    }
    batch.events.push_back(std::move(event));
  }
  *out = std::move(batch);
  return true;
}

std::string AlertPlace(const AlertEvent& event, const std::string& place) {
  const std::string prefix = FieldPath(event.path, "properties") + ".";
  if (!place.starts_with(prefix)) return place;
  const auto source = event.sources.find(place.substr(prefix.size()));
  return source == event.sources.end() ? place : source->second;
}

}  // namespace service
