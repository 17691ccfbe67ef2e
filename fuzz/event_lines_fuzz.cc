// amctl's event lines (`amctl run --events`) on arbitrary text: each line is
// parsed, read as an event and made an instance of a repository that holds
// the standard classes and a class with a property of every type.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/trace_utils.h"
#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "scenario/scenario_world.h"
#include "world/world.h"
#include "repository/repository.h"

namespace {

world::World* g_world = nullptr;
const repository::Namespace* g_namespace = nullptr;
const std::string g_profile = "P1";

constexpr char kWorld[] = R"({"profile": "P1", "settings": {"rules": []}, "classes": [
  {"name": "Every_Type", "superclass": "ZRV_Event", "properties": {
    "s8": "sint8", "u8": "uint8", "s16": "sint16", "u16": "uint16", "s32": "sint32",
    "u32": "uint32", "s64": "sint64", "u64": "uint64", "r32": "real32", "r64": "real64",
    "b": "boolean", "s": "string", "d": "datetime", "r": "reference", "c": "char16",
    "o": "object"}}]})";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CTraceUtils::GetInstance()->SetThreshold(2);
  scenario::Json json;
  scenario::InputError error;
  scenario::Scenario scenario;
  if (!scenario::ParseJson(kWorld, &json, &error) ||
      !scenario::ReadScenario(json, "/nonexistent/world.json", &scenario, &error)) {
    __builtin_trap();
  }
  // Lives for the whole run, as the tool's repository lives for a whole run.
  g_world = new world::World(scenario.ns);
  g_namespace = &g_world->ns();
  if (!scenario::BuildWorld(scenario, *g_world, {}, &error)) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    scenario::Json json;
    scenario::InputError error;
    scenario::ScenarioObject event;
    if (!scenario::ParseJson(line, &json, &error) || !scenario::ReadEvent(json, "", &event, &error)) {
      continue;
    }
    wbem::ComPtr<IWbemClassObject> instance;
    if (scenario::MakeInstance(*g_namespace, event, &g_profile, &instance, &error)) {
      (void)scenario::PropertiesToJson(instance.get(), true);
    }
  }
  return 0;
}
