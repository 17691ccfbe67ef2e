// The scenario reader: each problem of a scenario document is refused with
// the place it lies at. Problems found only when the world is built from a
// scenario (the repository refusing a class, an event's values) are amctl's
// run tests' concern.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
      {with(R"("classes": [{"name": "A", "properties": {"x": {"type": "uint8", "required": 1}}}])"),
       "classes[0].properties.x.required: must be"},
      {with(R"("environment": {"A": 1})"), "environment.A: must be a string"},
      {R"({"profile": "P", "settings": {"rules": [{"event": "E", "actions": [{"name": "a"}]}]}})",
       "settings.rules[0].actions[0].kind: is required"},
      // The expect block, which amctl test reads.
      {with(R"("expect": {"logs": [{"text": "a", "regex": "b"}]})"), "expect.logs[0]: needs"},
      {with(R"("expect": {"logs": [{"regex": "("}]})"), "expect.logs[0].regex: is not a regular"},
      {with(R"("expect": {"logs": [{"text": "a", "level": 4}]})"), "expect.logs[0].level: must be"},
      {with(R"("expect": {"logs": [{"regex": ")" + std::string(1001, 'a') + R"("}]})"),
       "expect.logs[0].regex: is longer than 1000 characters"},
      {with(R"("expect": {"process_event": [1.5]})"),
       "expect.process_event[0]: must be an integer"},
      {with(R"("expect": {"method_calls": [{"path": 1}]})"), "calls[0].path: must be a string"},
      {with(R"("expect": {"method_calls": [{"in": []}]})"), "expect.method_calls[0].in: must be"},
      {with(R"("expect": {"result_events": [1]})"), "expect.result_events[0]: must be an object"},
      {with(R"("expect": {"program_runs": -1})"), "expect.program_runs: must be an integer"},
      {with(R"("expect": {"bogus": 1})"), "expect.bogus: is not a known field"},
  };
  const amtest::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    const std::string refusal = Refusal(c.scenario, dir / "scenario.json");
    EXPECT_NE(refusal.find(c.error), std::string::npos) << refusal;
  }
}

// A checker's reader reads on past each refusal, in the document's order; a
// program's reader stops at the first.
TEST(ScenarioReaderTest, EveryProblemIsKeptWhenAsked) {
  const Json json = Json::parse(R"({"profile": 1, "classes": [{"name": "A", "x": 1}, {"name": 2}],
      "settings": {"rules": [{"event": "E", "actions": [{"name": "a", "kind": "task",
        "exec_limit": -1, "y": 0}, {"kind": "builtin", "class": 3}]}]},
      "environment": {"A": 1, "B": 2}, "z": 0})");
  const std::string a = "settings.rules[0].actions[";
  const std::vector<std::string> every = {
      "profile",     "classes[0].x", "classes[1].name", a + "0].exec_limit", a + "0].y",
      a + "1].name", a + "1].class", "environment.A",   "environment.B",     "z"};
  for (const auto keep : {Problems::Keep::kFirst, Problems::Keep::kEvery}) {
    Problems problems(keep);
    Scenario read;
    ReadScenario(problems, json, "s.json", &read);
    std::vector<std::string> places;
    for (const InputError& problem : problems.all()) places.push_back(problem.place);
    EXPECT_EQ(places, keep == Problems::Keep::kEvery ? every : std::vector{every[0]});
  }
}

// Required of subclasses too; only absent or null leaves it out.
TEST(ScenarioReaderTest, RequiredPropertiesAreInheritedAndOnlyAbsentOrNullIsMissing) {
  InputError error;
  const Json json = Json::parse(R"({"profile": "P", "settings": {"rules": []}, "classes": [
    {"name": "Base", "properties": {"Host": {"type": "string", "required": true}}},
    {"name": "Unit_Down", "superclass": "Base",
     "properties": {"Unit": {"type": "string", "required": true}, "Note": "string"}}]})");
  Scenario read;
  ASSERT_TRUE(ReadScenario(json, "s.json", &read, &error)) << error.message;
  const auto required = RequiredProperties(read.classes, "unit_down");
  const std::pair<const char*, const char*> cases[] = {
      // properties, the one missing
      {R"({"Host": "h", "unit": "", "Note": null})", ""},
      {R"({"Host": "h"})", "Unit"},
      {R"({"Host": "h", "Unit": null})", "Unit"},
      {R"({"Unit": "u"})", "Host"}};
  for (const auto& [text, name] : cases) {
    SCOPED_TRACE(text);
    const Json properties = Json::parse(text);
    const auto* missing = MissingRequired(required, &properties);
    EXPECT_EQ(missing == nullptr ? "" : missing->first, name);
  }
}

}  // namespace
}  // namespace scenario
