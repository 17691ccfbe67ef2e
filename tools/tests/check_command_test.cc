// amctl check: one bad input per problem it knows, the clean examples and
// docs, the exit statuses and the machine-readable outputs.
#include "tools/check_command.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/tests/amctl.h"

namespace {

using tools::Finding;
using tools::Findings;
using tools::Severity;
using tools_test::RunAmctl;
using tools_test::TempDir;

namespace fs = std::filesystem;

// A world with two event classes, a class with two keys and a method, and a
// class outside ZRV_Event; `actions` are the actions of the one rule for
// `event`.
std::string ScenarioWith(const std::string& event, const std::string& actions) {
  return R"({"profile": "P",
 "classes": [{"name": "Disk_Full", "superclass": "ZRV_Event",
              "properties": {"Drive": "string", "Id": "uint32", "Free": "uint32",
                             "When": "datetime"}},
             {"name": "Disk_Low", "superclass": "ZRV_Event", "properties": {"Drive": "string"}},
             {"name": "Loose", "properties": {"X": "string"}},
             {"name": "Volume", "properties": {"Drive": {"type": "string", "key": true},
                                               "Id": {"type": "uint32", "key": true}},
              "methods": {"Clean": {"in": {"Reason": "string", "Count": "uint32",
                                           "At": "datetime"}}}}],
 "settings": {"rules": [{"event": ")" +
         event + R"(", "actions": [)" + actions + R"(]}]},
 "events": []})";
}

// A built-in call on Volume with the given parameter lists.
std::string Clean(const std::string& keys, const std::string& ins) {
  return R"({"name": "clean", "kind": "builtin", "namespace": "root\\zrv", "class": "Volume",
             "method": "Clean", "key_params": )" +
         keys + R"(, "in_params": )" + ins + "}";
}

const char kBothKeys[] = R"([{"param": "Drive", "event_prop": "Drive"},
                             {"param": "Id", "event_prop": "Id"}])";

std::string Program(const std::string& command) {
  return R"({"name": "run", "kind": "program", "command": )" + scenario::Json(command).dump() + "}";
}

const Finding* FindCode(const Findings& findings, const std::string& code) {
  for (const Finding& finding : findings) {
    if (finding.code == code) return &finding;
  }
  return nullptr;
}

std::string Describe(const Findings& findings) {
  std::string text;
  for (const Finding& f : findings)
    text += f.file + ":" + f.place + ": " + (f.severity == Severity::kError ? "error" : "warning") +
            ": " + f.code + ": " + f.message + "\n";
  return text;
}

// A scenario whose program runs in a folder "nowhere" beside it.
const char kNoWrapper[] = R"({"profile": "P", "environment": {"ZMO_HALBERD_DIR": "nowhere"},
    "settings": {"rules": [{"event": "ZRV_Event", "actions": [{"name": "x", "kind": "program",
                                                               "command": "true"}]}]}})";

TEST(CheckCommandTest, EachProblemHasItsCodePlaceAndSeverity) {
  // The places of the scenario's one rule and of its first action.
  const std::string rule = "settings.rules[0].", a0 = rule + "actions[0].";
  const auto run = [](const std::string& command) {
    return ScenarioWith("Disk_Full", Program(command));
  };
  // An in-parameter `param` from the event property `prop`.
  const auto in = [](const std::string& param, const std::string& prop) {
    return ScenarioWith("Disk_Full", Clean(kBothKeys, R"([{"param": ")" + param +
                                                          R"(", "event_prop": ")" + prop + "\"}]"));
  };
  const auto keys = [](const std::string& event, const std::string& keys) {
    return ScenarioWith(event, Clean(keys, "[]"));
  };
  const auto call = [](const std::string& ns, const std::string& cls, const std::string& method) {
    return ScenarioWith("Disk_Full", R"({"name": "x", "kind": "builtin", "namespace": ")" + ns +
                                         R"(", "class": ")" + cls + R"(", "method": ")" + method +
                                         R"(", "class_call": 1})");
  };
  // Settings of rules for "A" and "a" (or `second`), the first with `action`.
  const auto rules = [](const std::string& action, const std::string& second = "a") {
    return R"({"rules": [{"event": "A", "actions": [)" + action + R"(]}, {"event": ")" + second +
           R"("}]})";
  };
  // A service configuration of one profile with `settings`, and `more` fields.
  const auto config = [](const std::string& settings, const std::string& more = "") {
    return R"({"state_dir": "s", )" + more + R"("profiles": [{"name": "P", "settings": )" +
           settings + "}]}";
  };
  const std::string program = R"({"name": "x", "kind": "program", "command": "true"})";
  const std::string builtin = R"({"name": "x", "kind": "builtin", )";
  // The document, and "CODE SEVERITY PLACE" (E: error, W: warning) of the
  // finding of that code it must give.
  const std::pair<std::string, std::string> cases[] = {
      // The readers' refusals: not JSON, an unknown field, an array.
      {"{\"rules\": [}", "AM101 E line 1, column 12"},
      {R"({"rules": [], "rule": 1})", "AM102 E rule"},
      {"[1]", "AM105 E "},
      // Events equal after lower-casing, an event twice, an action name twice
      // in a rule, a built-in without class, without method.
      {rules(""), "AM201 E rules[1].event"},
      {rules("", "A"), "AM202 E rules[1].event"},
      {rules(R"({"name": "x", "kind": "task"}, {"name": "x", "kind": "task"})", "B"),
       "AM203 E rules[0].actions[1].name"},
      {rules(builtin + R"("method": "M", "class_call": 1})", "B"),
       "AM204 E rules[0].actions[0].class"},
      {rules(builtin + R"("class": "C", "class_call": true})", "B"),
       "AM205 E rules[0].actions[0].method"},
      // An instance call without keys.
      {keys("Disk_Full", "[]"), "AM206 W " + a0 + "key_params"},
      // Instances that do not convert.
      {R"({"profile": "P", "classes": [{"name": "V", "properties": {"N": "uint8"}}],
           "instances": [{"class": "V", "properties": {"N": 300}}], "settings": {}})",
       "AM300 E instances[0].properties.N"},
      // A rule for a class the world lacks, for a class outside ZRV_Event; a
      // class the world lacks, a method the class lacks, another namespace.
      {ScenarioWith("Nope", ""), "AM301 W " + rule + "event"},
      {ScenarioWith("Loose", ""), "AM302 E " + rule + "event"},
      {call(R"(root\\zrv)", "Gone", "M"), "AM303 E " + a0 + "class"},
      {call(R"(root\\zrv)", "Volume", "Gone"), "AM304 E " + a0 + "method"},
      {call(R"(root\\other)", "Volume", "Clean"), "AM305 E " + a0 + "namespace"},
      // A key parameter that is not a key, a key left out, an in-parameter
      // the method does not declare; a key or an in-parameter from an event
      // property the event lacks.
      {keys("Disk_Full", R"([{"param": "Drive", "event_prop": "Drive"},
          {"param": "Id", "event_prop": "Id"}, {"param": "X", "event_prop": "When"}])"),
       "AM306 E " + a0 + "key_params[2].event_prop"},
      {keys("Disk_Full", R"([{"param": "Drive", "event_prop": "Drive"}])"),
       "AM307 E " + a0 + "key_params"},
      {in("Why", "Drive"), "AM308 W " + a0 + "in_params[0].param"},
      {keys("Disk_Low", kBothKeys), "AM309 E " + a0 + "key_params[1].event_prop"},
      {in("Reason", "Nope"), "AM310 W " + a0 + "in_params[0].event_prop"},
      // A text into a number, a number into a text; a datetime never converts.
      {in("Count", "Drive"), "AM311 W " + a0 + "in_params[0]"},
      {in("Reason", "Free"), "AM311 W " + a0 + "in_params[0]"},
      {in("At", "When"), "AM311 W " + a0 + "in_params[0]"},
      // Unbalanced quotes, the placeholder first or later, double quotes.
      {run("echo 'it is full"), "AM401 E " + a0 + "command"},
      {run("echo \"it is full"), "AM401 E " + a0 + "command"},
      {run("_-COMMAND-_ --now"), "AM402 E " + a0 + "command"},
      {run("echo _-COMMAND-_ done"), "AM403 W " + a0 + "command"},
      {run("echo \"a  b\""), "AM404 W " + a0 + "command"},
      // The wrapper's call and the quoted command make 512 characters.
      {run("echo " + std::string(488, 'x')), "AM405 E " + a0 + "command"},
      {run(" "), "AM406 W " + a0 + "command"},
      // The service's configuration: its reader (events equal after
      // lower-casing, a default profile it lacks), then its world.
      {config(rules("")), "AM201 E profiles[0].settings.rules[1].event"},
      {config("{}", R"("default_profile": "Q", )"), "AM102 E default_profile"},
      {config(R"({"rules": [{"event": "ZRV_Event", "actions": [{"name": "x", "kind": "builtin",
           "namespace": "root\\zrv", "class": "Pager", "method": "Send", "class_call": true}]}]})",
              R"("classes": [{"name": "Pager"}], )"),
       "AM304 E profiles[0].settings.rules[0].actions[0].method"},
      // A program wrapper folder without scustom.pl, in a scenario and in a
      // configuration.
      {kNoWrapper, "AM407 E environment.ZMO_HALBERD_DIR"},
      {config(R"({"rules": [{"event": "ZRV_Event", "actions": [)" + program + "]}]}",
              R"("environment": {"ZMO_HALBERD_DIR": "nowhere"}, )"),
       "AM407 E environment.ZMO_HALBERD_DIR"},
  };
  TempDir dir;
  for (const auto& [file, expected] : cases) {
    SCOPED_TRACE(expected);
    const std::string path = dir.Write("case.json", file);
    const Findings findings = tools::CheckFile(path, 11);
    const Finding* f = FindCode(findings, expected.substr(0, 5));
    ASSERT_NE(f, nullptr) << Describe(findings);
    // The file and a message belong to every finding.
    EXPECT_EQ(f->code + (f->severity == Severity::kError ? " E " : " W ") + f->place +
                  (f->file == path ? "" : " in another file") +
                  (f->message.empty() ? " unsaid" : ""),
              expected)
        << Describe(findings);
  }
  // The wrapper in place: programs can start.
  dir.Write("nowhere/scustom.pl", "exit 0;\n");
  EXPECT_EQ(FindCode(tools::CheckFile(dir.Write("case.json", kNoWrapper), 11), "AM407"), nullptr);
  // One character less is within the runner's limit.
  const std::string longest = dir.Write("case.json", run("echo " + std::string(487, 'x')));
  EXPECT_EQ(FindCode(tools::CheckFile(longest, 11), "AM405"), nullptr);
}

// Field paths become the line and column where they stand in the text.
TEST(CheckCommandTest, FieldPathsArePlacedInTheText) {
  const std::string text =
      "{\"a\": [10, 2],\n"
      "  \"rules\": [ {\"event\": \"A\", \"q\\\"k\": true},\n"
      "    {\"event_hex\": \"41\"}]}";
  // a[1] stands after a number, which the parser reads one past; q"k is the
  // key as the reader names it, unescaped; rules[1].event is given in its
  // hex form; a field left out stands at its object; what is not in the text
  // at all at the document. Another file's findings (an archive a scenario
  // names) are left alone.
  Findings findings;
  for (const char* place : {"a", "a[1]", "rules", "rules[0]", "rules[0].q\"k", "rules[1].event",
                            "rules[0].missing", "other"}) {
    tools::AddFinding(&findings, "f.json", place, "AM102", "m");
  }
  tools::AddFinding(&findings, "s.bin", "rules", "AM102", "m");
  tools::PlaceFieldPaths(text, "f.json", &findings);
  std::vector<std::string> placed;
  for (const Finding& f : findings)
    placed.push_back(f.place + " " + std::to_string(f.line) + ":" + std::to_string(f.column));
  EXPECT_EQ(placed, (std::vector<std::string>{"a 1:2", "a[1] 1:12", "rules 2:3", "rules[0] 2:14",
                                              "rules[0].q\"k 2:29", "rules[1].event 3:6",
                                              "rules[0].missing 2:14", "other 1:1", "rules 0:0"}));
}

// Every refusal of the readers is reported, a name collision among them,
// and the meaning checks still run for what was read: only the refused
// pieces are skipped, and a refusal that leaves no world says so.
TEST(CheckCommandTest, EveryRefusalIsReportedAndTheRestIsChecked) {
  // An action whose shape is refused (the checks skip it: it has no class
  // either) and one without a class.
  const std::string actions = R"({"name": "bad", "kind": "builtin", "method": "M",
                                   "class_call": "yes"},
      {"name": "x", "kind": "builtin", "method": "M", "class_call": true})";
  const std::string pager = R"({"name": "p", "kind": "builtin", "namespace": "root\\zrv",
      "class": "Volume", "method": "Gone", "class_call": true})";
  struct Case {
    std::string file;
    std::vector<std::string> found;  // "CODE place", in order
  };
  const Case cases[] = {
      // Settings.
      {R"({"rule": 1, "rules": [{"event": "A", "actions": [)" + actions + R"(]},
           {"event": "a", "when": 1}, {"event": "B", "actions": [{"name": "t", "kind": "job"}]}]})",
       {"AM201 rules[1].event", "AM102 rule", "AM102 rules[0].actions[0].class_call",
        "AM102 rules[1].when", "AM102 rules[2].actions[0].kind",
        "AM204 rules[0].actions[1].class"}},
      // A scenario: a refused action beside a method the class lacks.
      {ScenarioWith("Disk_Full", actions + "," + pager),
       {"AM102 settings.rules[0].actions[0].class_call", "AM204 settings.rules[0].actions[1].class",
        "AM304 settings.rules[0].actions[2].method"}},
      // A scenario: refusals of fields the checks do not read beside a method
      // the class lacks.
      {ScenarioWith("Disk_Full", pager.substr(0, pager.size() - 1) +
                                     R"(, "exec_limit": 65536, "colour": 1, "aux": 2})"),
       {"AM102 settings.rules[0].actions[0].exec_limit", "AM102 settings.rules[0].actions[0].aux",
        "AM102 settings.rules[0].actions[0].colour", "AM304 settings.rules[0].actions[0].method"}},
      // A scenario without a world.
      {R"({"profile": "P", "classes": [{"name": 5, "shape": 1}], "settings": {"rules": [
           {"event": "A", "actions": [)" +
           actions + "]}]}}",
       {"AM102 settings.rules[0].actions[0].class_call", "AM102 classes[0].name",
        "AM102 classes[0].shape", "AM204 settings.rules[0].actions[1].class"}},
      // A configuration refused in a profile.
      {R"({"state_dir": "s", "classes": [{"name": "Volume"}],
           "profiles": [{"name": "P", "settings": {"rules": [{"event": "ZRV_Event",
             "actions": [)" +
           actions + "," + pager + "]}]}}]}",
       {"AM102 profiles[0].settings.rules[0].actions[0].class_call",
        "AM204 profiles[0].settings.rules[0].actions[1].class",
        "AM304 profiles[0].settings.rules[0].actions[2].method"}},
      // A configuration refused in several fields.
      {R"({"state_dir": "s", "listen": {"port": 70000}, "queue_limit": 0, "colour": 1,
           "profiles": [{"name": "P", "settings": {"rules": [{"event": "ZRV_Event",
             "actions": [)" +
           actions + "]}]}}]}",
       {"AM102 profiles[0].settings.rules[0].actions[0].class_call", "AM102 listen.port",
        "AM102 queue_limit", "AM102 colour",
        "AM204 profiles[0].settings.rules[0].actions[1].class"}},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.found[0]);
    const Findings findings = tools::CheckFile(dir.Write("f.json", c.file), 11);
    std::vector<std::string> found;
    for (const Finding& f : findings) found.push_back(f.code + " " + f.place);
    EXPECT_EQ(found, c.found) << Describe(findings);
  }
  // The refusal that leaves no world says what it costs.
  const Findings worldless = tools::CheckFile(dir.Write("f.json", cases[3].file), 11);
  ASSERT_GE(worldless.size(), 3u);
  EXPECT_NE(worldless[2].message.find("checks that need classes do not run"), std::string::npos)
      << Describe(worldless);
}

// Which event properties the Alertmanager mapping always fills, for the keys
// and placeholders of a command-backed method.
TEST(CheckCommandTest, CommandValuesFromAlertsMustBeGuaranteed) {
  // Restart's command names {Name} (the key) and {Why}; Note is an
  // in-parameter it never names.
  const auto config = [](const std::string& key, const std::string& why, const std::string& note) {
    return R"({"state_dir": "s",
      "classes": [{"name": "Unit_Down", "superclass": "ZRV_Event",
                   "properties": {"Unit": "string", "Host": "string", "Url": "string",
                                  "Sure": "string", "Gone": "string",
                                  "Must": {"type": "string", "required": true}}},
                  {"name": "Service", "properties": {"Name": {"type": "string", "key": true}},
                   "methods": {"Restart": {"in": {"Why": "string", "Note": "string"},
                                           "command": ["/bin/true", "{Name}", "x{Why}"]}}}],
      "alertmanager": {"class": "Unit_Down", "properties": {"Unit": "labels.unit",
          "Host": "annotations.host", "Url": "generatorURL", "Sure": "labels.alertname"}},
      "profiles": [{"name": "P", "settings": {"rules": [{"event": "Unit_Down", "actions": [
        {"name": "r", "kind": "builtin", "namespace": "root\\zrv", "class": "Service",
         "method": "Restart", "key_params": [{"param": "Name", "event_prop": ")" +
           key + R"("}], "in_params": [{"param": "Why", "event_prop": ")" + why +
           R"("}, {"param": "Note", "event_prop": ")" + note + R"("}]}]}]}}]})";
  };
  const std::string action = "profiles[0].settings.rules[0].actions[0].";
  // The event properties for Name, Why and Note, and which of Name and Why
  // get AM501, in order.
  const std::array<std::string, 4> cases[] = {
      // Always filled: mapped fields, alertname, the fixed properties.
      {"Sure", "Url", "Unit", ""},
      {"EventId", "event_key", "Gone", ""},
      // A mapped label and a mapped annotation.
      {"Unit", "Host", "EventId", "Name Why "},
      // Severity, and a property filled by name only.
      {"severity", "Gone", "Sure", "Name Why "},
      // A required property counts as filled.
      {"Must", "Gone", "Sure", "Why "},
  };
  TempDir dir;
  for (const auto& [key, why, note, expected] : cases) {
    SCOPED_TRACE(key + " " + why + " " + note);
    const Findings findings = tools::CheckFile(dir.Write("f.json", config(key, why, note)), 11);
    std::string found;
    for (const Finding& f : findings) {
      if (f.code != "AM501") continue;
      found += f.place == action + "key_params[0].event_prop"  ? "Name "
               : f.place == action + "in_params[0].event_prop" ? "Why "
                                                               : f.place + " ";
    }
    EXPECT_EQ(found, expected) << Describe(findings);
  }
}

TEST(CheckCommandTest, ArchivesAreReadAtTheirVersion) {
  TempDir dir;
  // One rule "A" with one task action "t" (limit 0, no texts, no items).
  const std::vector<std::uint8_t> archive = {
      1,   0,   0,   0,   1,   'A', 1,   0,   0,   0, 1, 't', 15, 'C', 'T', 'a', 's', 'k', 'A',
      'c', 't', 'i', 'o', 'n', 'I', 'n', 'f', 'o', 0, 0, 0,   0,  0,   0,   0,   0,   0,   0};
  // "CODE PLACE; ..." of the findings of `bytes` read as an archive.
  const auto found = [&](const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (const Finding& f : tools::CheckFile(dir.Write("a.bin", bytes), 11))
      text += f.code + " " + f.place + "; ";
    return text;
  };
  EXPECT_EQ(found(archive), "");
  EXPECT_EQ(found({archive.begin(), archive.end() - 3}), "AM103 offset 34; ");
  // 123 rules make a count that starts with "{": still an archive.
  EXPECT_TRUE(found({'{', 0, 0, 0}).starts_with("AM103 offset ")) << found({'{', 0, 0, 0});
  // The same task entry twice: loading keeps one, hiding the other.
  std::vector<std::uint8_t> twice = {1, 0, 0, 0, 1, 'A', 2, 0, 0, 0};
  for (int i = 0; i < 2; ++i) twice.insert(twice.end(), archive.begin() + 10, archive.end());
  EXPECT_EQ(found(twice), "AM203 ; ");
}

// Names, sizes and modification times of everything under `folder`.
std::map<std::string, std::string> Listing(const fs::path& folder) {
  std::map<std::string, std::string> listing;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    listing[entry.path()] = std::to_string(entry.is_regular_file() ? entry.file_size() : 0) + " " +
                            std::to_string(entry.last_write_time().time_since_epoch().count());
  }
  return listing;
}

TEST(CheckCommandTest, ExitStatusFollowsSeverityAndStrict) {
  TempDir dir;
  const std::string clean = dir.Write("clean.json", R"({"rules": []})");
  const std::string warning = dir.Write("warning.json", R"({"rules": [{"event": "A", "actions": [
        {"name": "x", "kind": "program", "command": ""}]}]})");
  const std::string error =
      dir.Write("error.json", R"({"rules": [{"event": "A"}, {"event": "a"}]})");
  // In place: its programs run in the examples' folder, which holds scustom.pl.
  const std::string scenario =
      (fs::path(AM_SOURCE_DIR) / "tools" / "demo" / "demo_scenario.json").string();
  const std::string config =
      dir.Write("config.json", R"({"state_dir": "state", "socket": {"path": "run/s.sock"},
                         "results_file": "results.jsonl", "environment": {"ZMO_HALBERD_DIR": "."},
                         "profiles": [{"name": "P", "settings": {}}]})");
  struct Case {
    std::vector<std::string> args;
    int status;
  };
  const Case cases[] = {
      {{"check", clean}, 0},
      {{"check", scenario, config}, 0},
      {{"check", warning}, 0},
      {{"check", "--strict", warning}, 1},
      {{"check", clean, error}, 1},
      {{"check", dir.path().string() + "/missing.json"}, 1},
      {{"check", "-"}, 0},
      {{"check"}, 2},
      {{"check", clean, "--format", "xml"}, 2},
  };
  const auto before = Listing(dir.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const tools_test::RunResult run = RunAmctl(c.args, dir.path(), R"({"rules": []})");
    EXPECT_EQ(run.status, c.status) << run.err;
  }
  // Checking leaves the folder exactly as it was.
  EXPECT_EQ(Listing(dir.path()), before);
}

TEST(CheckCommandTest, JsonAndSarifCarryTheSameFindings) {
  TempDir dir;
  // A name with a space, which a URI must escape.
  const std::string file = dir.Write("a b.json", ScenarioWith("Disk_Full", Clean("[]", R"(
      [{"param": "Count", "event_prop": "Drive"}])")));
  const Findings expected = tools::CheckFile(file, 11);
  // AM206 stands at the key_params of the action.
  ASSERT_EQ(expected.size(), 2u) << Describe(expected);  // AM206 and AM311
  EXPECT_EQ(std::pair(expected[0].line, expected[0].column), std::pair(12, 33));

  const tools_test::RunResult text = RunAmctl({"check", file}, dir.path());
  EXPECT_EQ(text.status, 0) << text.err;  // warnings only
  EXPECT_EQ(text.out, Describe(expected));

  // Each finding whole in JSON; in SARIF its rule (by id and by index into
  // the driver's table of every code), level, field path, URI and region.
  const auto log =
      nlohmann::json::parse(RunAmctl({"check", "--format", "sarif", file}, dir.path()).out);
  const auto& run = log["runs"][0];
  const auto& rules = run["tool"]["driver"]["rules"];
  EXPECT_EQ(log["version"].dump() + " " + std::to_string(rules.size()),
            "\"2.1.0\" " + std::to_string(tools::LintRules().size()));
  nlohmann::json results, expected_array, expected_results;
  for (const auto& r : run["results"]) {
    const auto& at = r["locations"][0];
    results.push_back({r["ruleId"], rules[r["ruleIndex"].get<std::size_t>()]["id"], r["level"],
                       at["logicalLocations"][0]["fullyQualifiedName"],
                       at["physicalLocation"]["artifactLocation"]["uri"],
                       at["physicalLocation"]["region"]});
  }
  for (const Finding& e : expected) {
    expected_array.push_back({{"file", file},
                              {"place", e.place},
                              {"line", e.line},
                              {"column", e.column},
                              {"code", e.code},
                              {"severity", "warning"},
                              {"message", e.message}});
    expected_results.push_back({e.code,
                                e.code,
                                "warning",
                                e.place,
                                (dir.path() / "a%20b.json").string(),
                                {{"startLine", e.line}, {"startColumn", e.column}}});
  }
  EXPECT_EQ(nlohmann::json::parse(RunAmctl({"check", "--format", "json", file}, dir.path()).out),
            expected_array);
  EXPECT_EQ(results, expected_results);
  // A syntax error's line and column reach SARIF's region.
  const std::string broken = dir.Write("b.json", "{\n  \"rules\": [,]\n}");
  const auto region = nlohmann::json::parse(
      RunAmctl({"check", "--format", "sarif", broken}, dir.path())
          .out)["runs"][0]["results"][0]["locations"][0]["physicalLocation"]["region"];
  EXPECT_EQ(region, nlohmann::json({{"startLine", 2}, {"startColumn", 13}}));
}

}  // namespace

namespace {

TEST(CheckCommandTest, EveryCodeIsDocumentedOnce) {
  std::ifstream in(fs::path(AM_SOURCE_DIR) / "docs" / "lint.md");
  std::map<std::string, int> documented;
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with("## AM")) ++documented[line.substr(3)];
  }
  std::map<std::string, int> expected;
  for (const tools::LintRule& rule : tools::LintRules()) expected[std::string(rule.code)] = 1;
  EXPECT_EQ(documented, expected);
}

}  // namespace
