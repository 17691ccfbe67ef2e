// amctl's scenario reader on arbitrary text, and the repository built from
// what it accepts: classes with their providers, instances and events.
// Anything may be refused; nothing may crash, hang or leak.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "host/trace_utils.h"
#include "repository/repository.h"
#include "scenario/json_input.h"
#include "scenario/scenario.h"
#include "scenario/scenario_world.h"
#include "testing/temp_dir.h"
#include "world/world.h"

namespace {

// The folder a scenario's relative paths start from: it holds a settings
// archive "s.bin" (one program action) and "odd.bin" (an action of no kind).
std::filesystem::path g_folder;

// Only names inside the folder: the fuzzer must not read the machine's files
// (a device would be read until the size limit).
bool NamesOnlyTheFolder(const scenario::Json& json) {
  if (!json.is_object()) return true;
  const auto it = json.find("settings_archive");
  if (it == json.end() || !it->is_string()) return true;
  const std::string& name = it->get_ref<const std::string&>();
  return name.find('/') == std::string::npos && name.find("..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CTraceUtils::GetInstance()->SetThreshold(2);
  static const amtest::TempDir folder;  // removed at exit
  g_folder = folder.path();
  // Octal escapes, which end before a letter: counts, lengths, texts.
  std::ofstream(g_folder / "s.bin", std::ios::binary)
      << std::string("\1\0\0\0\1E\1\0\0\0\1a\22CProgramActionInfo\0\0\1c\0\0\0", 38);
  std::ofstream(g_folder / "odd.bin", std::ios::binary)
      << std::string("\1\0\0\0\1E\1\0\0\0\1x\3Odd", 16);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  scenario::Json json;
  scenario::InputError error;
  if (!scenario::ParseJson(text, &json, &error) || !NamesOnlyTheFolder(json)) return 0;
  // Reading on past every problem must not fail differently: up to the
  // first problem both ways read alike, so they agree on it.
  scenario::Problems every(scenario::Problems::Keep::kEvery);
  scenario::Scenario read_on;
  scenario::ReadScenario(every, json, g_folder / "scenario.json", &read_on);
  scenario::Scenario scenario;
  const bool read = scenario::ReadScenario(json, g_folder / "scenario.json", &scenario, &error);
  if (read != every.ok() || (!read && (every.all().front().place != error.place ||
                                       every.all().front().message != error.message))) {
    std::abort();
  }
  if (!read) return 0;
  world::World world(scenario.ns);
  const repository::Namespace& ns = world.ns();
  if (!scenario::BuildWorld(scenario, world, {}, &error)) return 0;
  for (const scenario::ScenarioObject& event : scenario.events) {
    wbem::ComPtr<IWbemClassObject> instance;
    if (!scenario::MakeInstance(ns, event, &scenario.profile, &instance, &error)) return 0;
    (void)scenario::PropertiesToJson(instance.get(), true)
        .dump(-1, ' ', false, scenario::Json::error_handler_t::replace);
  }
  return 0;
}
