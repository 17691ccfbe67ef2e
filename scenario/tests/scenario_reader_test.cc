// The scenario reader: each problem of a scenario document is refused with
// the place it lies at. Problems found only when the world is built from a
// scenario (the repository refusing a class, an event's values) are amctl's
// run tests' concern.
#include <gtest/gtest.h>

#include <string>

#include "scenario/scenario.h"
#include "testing/temp_dir.h"

namespace scenario {
namespace {

// "FILE: PLACE: MESSAGE" as the tools print a refusal, FILE only when the
// problem lies in another file than the scenario, PLACE only when there is one.
std::string Refusal(const std::string& text, const std::filesystem::path& file) {
  Json json;
  InputError error;
  if (!ParseJson(text, &json, &error)) return "not JSON: " + error.message;
  Scenario read;
  if (ReadScenario(json, file, &read, &error)) return "accepted";
  return (error.file.empty() ? "" : error.file + ": ") +
         (error.place.empty() ? "" : error.place + ": ") + error.message;
}

TEST(ScenarioReaderTest, ProblemsAreRefusedWithTheirPlace) {
  // A scenario with profile "P", empty settings and `more` fields.
  const auto with = [](const std::string& more) {
    return R"({"profile": "P", "settings": {"rules": []}, )" + more + "}";
  };
  const struct {
    std::string scenario;
    std::string error;
  } cases[] = {
      {R"({"settings": {}})", "profile: is required"},
      {with(R"("setings": {})"), "setings: is not a known field"},
      {R"({"profile": "P"})", "settings: is required (or settings_archive)"},
      {with(R"("settings_archive": "x.bin")"),
       "settings_archive: give either settings or settings_archive, not both"},
      {R"({"profile": "P", "settings_archive": "missing.bin"})",
       "missing.bin: cannot read: No such file or directory"},
      {with(R"("classes": [{"name": "A", "properties": {"x": "int"}}])"),
       "classes[0].properties.x: \"int\" is not a type name"},
      {with(R"("classes": [{"name": "A", "methods": {"M": {"return_value": 1, "hresult": 5}}}])"),
       "classes[0].methods.M.hresult: give either return_value or hresult, not both"},
      {with(R"("classes": [{"name": "A", "properties": {"x": "string", "X": "string"}}])"),
       "classes[0].properties.X: repeats a name (names ignore case)"},
      {with(R"("environment": {"A": 1})"), "environment.A: must be a string"},
      {R"({"profile": "P", "settings": {"rules": [{"event": "E", "actions": [{"name": "a"}]}]}})",
       "settings.rules[0].actions[0].kind: is required"},
  };
  const amtest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    const std::string refusal = Refusal(c.scenario, dir / "scenario.json");
    EXPECT_NE(refusal.find(c.error), std::string::npos) << refusal;
  }
}

}  // namespace
}  // namespace scenario
