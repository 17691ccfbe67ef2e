// amctl's event lines (`amctl run --events`) on arbitrary text: each line is
// parsed, read as an event and made an instance of a repository that holds
// the standard classes and a class with a property of every type.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "host/trace_utils.h"
#include "tools/json_input.h"
#include "tools/scenario.h"
#include "tools/scenario_world.h"
#include "repository/repository.h"

namespace {

repository::Repository* g_repository = nullptr;
repository::Namespace* g_namespace = nullptr;
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
  tools::Json json;
  tools::InputError error;
  tools::Scenario scenario;
  if (!tools::ParseJson(kWorld, &json, &error) ||
      !tools::ReadScenario(json, "/nonexistent/world.json", &scenario, &error)) {
    __builtin_trap();
  }
  // Lives for the whole run, as the tool's repository lives for a whole run.
  g_repository = new repository::Repository();
  g_namespace = new repository::Namespace(g_repository->OpenNamespace(scenario.ns));
  if (!tools::BuildWorld(scenario, *g_namespace, {}, &error)) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    tools::Json json;
    tools::InputError error;
    tools::ScenarioObject event;
    if (!tools::ParseJson(line, &json, &error) || !tools::ReadEvent(json, "", &event, &error)) {
      continue;
    }
    wbem::ComPtr<IWbemClassObject> instance;
    if (tools::MakeInstance(*g_namespace, event, &g_profile, &instance, &error)) {
      (void)tools::PropertiesToJson(instance.get(), true);
    }
  }
  return 0;
}
