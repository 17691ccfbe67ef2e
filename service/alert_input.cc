#include "service/alert_input.h"

#include <utility>

#include "scenario/scenario_world.h"
#include "service/log.h"
#include "wbem/holders.h"

namespace service {
namespace {

// The properties `class_name` declares, inherited ones included.
Status Shape(world::World& world, const std::string& class_name, ClassShape* shape) {
  wbem::ComPtr<IWbemClassObject> instance;
  const HRESULT made = world.ns().NewInstance(class_name, {}, &instance);
  if (made != WBEM_S_NO_ERROR ||
      instance->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY) != WBEM_S_NO_ERROR) {
    return {Reason::kFailed, "no instance of \"" + class_name + "\": " + scenario::ResultText(made),
            ""};
  }
  shape->clear();
  for (;;) {
    wbem::Bstr name;
    CIMTYPE type = 0;
    if (instance->Next(0, name.Out(), nullptr, &type, nullptr) != WBEM_S_NO_ERROR) break;
    shape->push_back({name.ToUtf8(), type});
  }
  instance->EndEnumeration();
  return Status::Ok();
}

// Why the property `name` of `class_name` (of `shape`) cannot be mapped;
// empty when it can.
std::string Unmappable(const std::string& name, const std::string& class_name,
                       const ClassShape& shape) {
  const PropertyType* found = nullptr;
  for (const PropertyType& property : shape) {
    if (scenario::SameName(property.name, name)) found = &property;
  }
  if (found == nullptr) return "is not a property of " + class_name;
  if (!FillableFromText(found->type)) {
    return "is an object or array property, which text cannot fill";
  }
  return "";
}

}  // namespace

Status AlertInput::Prepare(const AlertmanagerConfig& config,
                           const std::vector<scenario::ScenarioClass>& classes, world::World& world,
                           const std::filesystem::path& file,
                           std::shared_ptr<const AlertInput>* out) {
  auto input = std::make_shared<AlertInput>();
  input->config_ = config;
  if (config.enabled) {
    input->firing_required_ = scenario::RequiredProperties(classes, config.firing_class);
    if (!config.resolved_class.empty()) {
      input->resolved_required_ = scenario::RequiredProperties(classes, config.resolved_class);
    }
    if (Status shaped = Shape(world, config.firing_class, &input->firing_); !shaped.ok()) {
      return shaped;
    }
    if (!config.resolved_class.empty()) {
      if (Status shaped = Shape(world, config.resolved_class, &input->resolved_); !shaped.ok()) {
        return shaped;
      }
    }
    for (const auto& [name, source] : config.properties) {
      for (const auto& [class_name, shape] :
           {std::pair{&config.firing_class, &input->firing_},
            std::pair{&config.resolved_class, &input->resolved_}}) {
        if (class_name->empty()) continue;
        const std::string why = Unmappable(name, *class_name, *shape);
        if (!why.empty()) {
          return {Reason::kFailed, file.string() + ": alertmanager.properties." + name + ": " + why,
                  ""};
        }
      }
    }
  }
  *out = std::move(input);
  return Status::Ok();
}

Status AlertInput::Map(const scenario::Json& payload, AlertTargets targets, const Check& check,
                       AlertBatch* batch, std::vector<Incoming>* events) const {
  targets.firing = firing_;
  targets.resolved = resolved_;
  if (scenario::InputError error; !MapAlerts(payload, config_, targets, batch, &error)) {
    return {Reason::kInvalid, error.message, error.place};
  }
  std::erase_if(batch->events, [&](const AlertEvent& event) {
    const auto properties = event.event.find("properties");
    const auto* missing =
        scenario::MissingRequired(event.firing ? firing_required_ : resolved_required_,
                                  properties == event.event.end() ? nullptr : &*properties);
    if (missing == nullptr) return false;
    const std::string place = AlertPlace(
        event, scenario::FieldPath(scenario::FieldPath(event.path, "properties"), missing->first));
    Log(kPriorityWarning, "receiver \"" + batch->receiver + "\": " + event.path +
                              " ignored: " + missing->first + " is required by class " +
                              missing->second + " and " + place + " gives no value");
    ++batch->ignored_missing;
    return true;
  });
  events->resize(batch->events.size());
  for (std::size_t i = 0; i < batch->events.size(); ++i) {
    const AlertEvent& event = batch->events[i];
    if (Status checked = check(event.event, event.path, &(*events)[i]); !checked.ok()) {
      checked.place = AlertPlace(event, checked.place);
      return checked;
    }
  }
  return Status::Ok();
}

}  // namespace service
