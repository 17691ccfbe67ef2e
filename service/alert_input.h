// The Alertmanager input: the configuration's "alertmanager" mapping checked
// against the classes its events are made of, and the mapping of a
// notification to checked events (see service_config/alertmanager.h).
//
// Immutable once prepared, so any thread may map with it; a reload prepares
// a new one and the daemon swaps it whole.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "service/profile_set.h"
#include "service/status.h"
#include "service_config/alertmanager.h"
#include "world/world.h"

namespace service {

class AlertInput {
 public:
  // The mapping of `config` with the shapes of its classes in `world` and the
  // properties `classes` require of them. A
  // kFailed status (naming `file`) when a mapped property is not one the
  // classes declare or cannot take text, or a class has no instances.
  [[nodiscard]] static Status Prepare(const AlertmanagerConfig& config,
                                      const std::vector<scenario::ScenarioClass>& classes,
                                      world::World& world, const std::filesystem::path& file,
                                      std::shared_ptr<const AlertInput>* out);

  // Whether the configuration has an "alertmanager" object.
  bool enabled() const { return config_.enabled; }

  // Checks one event built from an alert, as the event input does.
  using Check = std::function<Status(const scenario::Json& event, const std::string& path,
                                     Incoming* out)>;
  // The alerts of `payload` as events for `profiles`' targets, each passed
  // through `check`; a kInvalid status when the payload or one of its events
  // is refused. A value refused by the check is reported at the label or
  // annotation it came from. An alert whose event lacks a property its class
  // requires is left out, logged and counted in batch->ignored_missing, so
  // that the others still run.
  [[nodiscard]] Status Map(const scenario::Json& payload, AlertTargets targets, const Check& check,
                           AlertBatch* batch, std::vector<Incoming>* events) const;

 private:
  AlertmanagerConfig config_;
  ClassShape firing_;
  ClassShape resolved_;
  // Property -> the class that requires it, for each event class.
  std::vector<std::pair<std::string, std::string>> firing_required_;
  std::vector<std::pair<std::string, std::string>> resolved_required_;
};

}  // namespace service
