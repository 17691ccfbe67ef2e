// The settings JSON reader and writer, in process: what a document files,
// what it is refused for and where, and what the writer gives back.
#include "scenario/settings_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace scenario {
namespace {

using namespace std::string_literals;

// "PLACE: MESSAGE" of the refusal of `text`, or "accepted".
std::string Refusal(const std::string& text) {
  Json json;
  InputError error;
  CActionManagerSettings settings;
  settings.m_mapRules["Kept"];
  if (ParseJson(text, &json, &error) && SettingsFromJson(json, &settings, &error)) {
    return "accepted";
  }
  // A refused document leaves the settings as they were.
  if (settings.m_mapRules.GetCount() != 1 || settings.m_mapRules.Lookup("Kept") == nullptr) {
    return "changed";
  }
  return error.place + ": " + error.message;
}

// The document read and written back; "" when it was refused.
Json RoundTrip(const std::string& text) {
  Json json;
  InputError error;
  CActionManagerSettings settings;
  if (!ParseJson(text, &json, &error) || !SettingsFromJson(json, &settings, &error)) return {};
  return SettingsToJson(settings);
}

// Every field of each kind given once, all left out once ("bare"), texts
// that are not UTF-8 given as hex; what is written back has every field:
// omitted ones with their defaults, a plain task text with the NUL byte the
// task constructor appends, and texts that are not UTF-8 as hex again.
TEST(SettingsJsonTest, EveryFieldIsFiledAndWrittenBackWithTheDefaultsOfOmittedOnes) {
  const Json json = RoundTrip(R"({"rules": [{"event": "Disk_Full", "actions": [
    {"name": "restart", "kind": "builtin", "exec_limit": 1, "namespace": "root\\zrv",
     "class": "Service", "method": "Restart", "class_call": true, "descriptive_name": "Restart it",
     "aux": "", "key_params": [{"param": "Name", "event_prop": "Drive"}],
     "in_params": [{"param": "Reason", "event_prop": "event_key"}]},
    {"name": "notify", "kind": "program", "command": "echo hi", "probe": "disk"},
    {"name": "ticket", "kind": "task", "exec_limit": 3, "text1": "ab", "text2_hex": "00",
     "items": ["x", {"hex": "79"}, ""]},
    {"name": "bare", "kind": "builtin"}]},
    {"event_hex": "45ff", "actions": [{"name_hex": "ff41", "kind": "builtin", "method_hex": "c0",
     "key_params": [{"param_hex": "80", "event_prop": "é"}]},
     {"name": "t", "kind": "task", "items": [{"hex": "fe"}, "ok"]}]}]})");
  const Json written = Json::parse(R"({"rules": [{"event": "Disk_Full", "actions": [
    {"name": "restart", "kind": "builtin", "exec_limit": 1, "namespace": "root\\zrv",
     "class": "Service", "method": "Restart", "class_call": 1, "descriptive_name": "Restart it",
     "aux": "", "key_params": [{"param": "Name", "event_prop": "Drive"}],
     "in_params": [{"param": "Reason", "event_prop": "event_key"}]},
    {"name": "notify", "kind": "program", "exec_limit": 0, "command": "echo hi", "probe": "disk",
     "descriptive_name": "", "aux": ""},
    {"name": "ticket", "kind": "task", "exec_limit": 3, "text1_hex": "616200", "text2_hex": "00",
     "items": ["x", "y", ""]},
    {"name": "bare", "kind": "builtin", "exec_limit": 0, "namespace": "", "class": "", "method": "",
     "class_call": 0, "descriptive_name": "", "aux": "", "key_params": [], "in_params": []}]},
    {"event_hex": "45ff", "actions": [
    {"name_hex": "ff41", "kind": "builtin", "exec_limit": 0, "namespace": "", "class": "",
     "method_hex": "c0", "class_call": 0, "descriptive_name": "", "aux": "",
     "key_params": [{"param_hex": "80", "event_prop": "é"}], "in_params": []},
    {"name": "t", "kind": "task", "exec_limit": 0, "text1_hex": "", "text2_hex": "",
     "items": [{"hex": "fe"}, "ok"]}]}]})");
  // Rules and actions sorted: the written order is the component's (the next
  // test), not the document's.
  const auto sorted = [](Json json) {
    for (Json& rule : json["rules"]) std::sort(rule["actions"].begin(), rule["actions"].end());
    std::sort(json["rules"].begin(), json["rules"].end());
    return json;
  };
  EXPECT_EQ(sorted(json), sorted(written));
  // What was written reads back to itself.
  EXPECT_EQ(RoundTrip(json.dump()), json);
}

TEST(SettingsJsonTest, RulesAndActionsAreWrittenInTheOrderTheComponentEnumeratesThem) {
  Json document;
  InputError error;
  ASSERT_TRUE(ParseJson(R"({"rules": [{"event": "b", "actions": [
      {"name": "z", "kind": "task"}, {"name": "a", "kind": "task"}, {"name": "M", "kind": "task"}]},
      {"event": "A"}, {"event": "c"}]})",
                        &document, &error));
  CActionManagerSettings settings;
  ASSERT_TRUE(SettingsFromJson(document, &settings, &error)) << error.message;
  std::string enumerated, written;
  for (const auto& [event, rule] : settings.m_mapRules) {
    enumerated += event + ":";
    for (const auto& entry : rule) enumerated += entry.first + ",";
  }
  const Json json = SettingsToJson(settings);
  for (const auto& rule : json["rules"]) {
    written += rule["event"].get<std::string>() + ":";
    for (const auto& action : rule["actions"]) written += action["name"].get<std::string>() + ",";
  }
  EXPECT_EQ(written, enumerated);
  EXPECT_EQ(written.size(), "b:z,a,M,A:c:"s.size());
}

TEST(SettingsJsonTest, ProblemsAreRefusedWithTheirPlace) {
  const std::string limit(64, '['), limit_end(64, ']');
  // The document of one rule "E" whose one action "a" has `fields` besides its name.
  const auto A = [](const std::string& fields) {
    return R"({"rules": [{"event": "E", "actions": [{"name": "a", )" + fields + "}]}]}";
  };
  const std::string at = "rules[0].actions[0].";
  const struct {
    std::string json;
    std::string error;
  } cases[] = {
      // The parser would take a NUL byte for the end of the input.
      {"{\"rules\": []}\0garbage"s, "line 1, column 14: a NUL byte is not allowed"},
      {"{\"rules\": [\n\0]}"s, "line 2, column 1: a NUL byte is not allowed"},
      {limit + limit_end, "the document: must be an object, not an array"},
      {"[" + limit + limit_end + "]", "line 1, column 65: nested deeper than 64 levels"},
      // Brackets inside strings do not nest.
      {R"({"rules": [{"event": ")" + std::string(100, '[') + R"(", "actions": {}}]})",
       "rules[0].actions: must be an array, not an object"},
      {A(R"("kind": "task", "exec_limit": 1e400)"),
       "line 1, column 83: the number 1e400 is out of range"},
      {A(R"("kind": "task", "exec_limit": 18446744073709551616)"),
       "exec_limit: must be an integer from 0 to 65535, not a number beyond the 64-bit integers"},
      {A(R"("kind": "task", "exec_limit": 1.0)"),
       "exec_limit: must be an integer from 0 to 65535, not a number written with a decimal point "
       "or an exponent"},
      {R"({"rules": [{"event": "Disk_Full"}, {"event": "E"}, {"event": "disk_FULL"}]})",
       "rules[2].event: differs from rules[0].event only in letter case"},
      {"", "line 1, column 1: syntax error"},
      {"{\n  \"rules\": [,]\n}", "line 2, column 13: syntax error"},
      {"{\"rules\": \"\xff\"}", "line 1, column 12: syntax error"},
      {R"({"rule": []})", "rule: is not a known field"},
      {R"({"rules": {}})", "rules: must be an array, not an object"},
      {R"({"rules": [{"actions": []}]})", "rules[0].event: is required"},
      {R"({"rules": [{"event": "E", "event": "F"}]})", "rules[0].event: is given twice"},
      {R"({"rules": [{"event": "E", "actions": [{"kind": "task"}]}]})", at + "name: is required"},
      {R"({"rules": [{"event": "E", "actions": [{"name": "a"}]}]})", at + "kind: is required"},
      {A(R"("kind": "script")"), at + "kind: must be \"builtin\", \"program\" or \"task\""},
      {R"({"rules": [{"event": "E", "actions": [{"name": "a", "kind": "task"},
          {"name": "b", "kind": "task", "exec_limit": 65536}]}]})",
       "rules[0].actions[1].exec_limit: must be an integer from 0 to 65535"},
      {A(R"("kind": "task", "exec_limit": 65535)"), "accepted"},
      {A(R"("kind": "task", "exec_limit": -1)"),
       at + "exec_limit: must be an integer from 0 to 65535"},
      {A(R"("kind": "task", "exec_limit": 1.5)"),
       at + "exec_limit: must be an integer from 0 to 65535, not a number with a fraction"},
      {A(R"("kind": "builtin", "class_call": "yes")"),
       at + "class_call: must be an integer from -2147483648 to 2147483647"},
      {A(R"("kind": "builtin", "class_call": 2147483648)"), at + "class_call: must be an integer"},
      {A(R"("kind": "builtin", "class_call": -2147483648)"), "accepted"},
      {A(R"("kind": "program", "method": "M")"), at + "method: is not a known field"},
      {A(R"("kind": "program", "command": 5)"), at + "command: must be a string, not a number"},
      {A(R"("kind": "task", "text1": "x", "text1_hex": "78")"),
       at + "text1_hex: give either text1 or text1_hex, not both"},
      {A(R"("kind": "task", "text2_hex": "7")"), at + "text2_hex: must be an even number of hex"},
      {A(R"("kind": "task", "text2_hex": "zz")"), at + "text2_hex: must be an even number of hex"},
      {A(R"("kind": "task", "items": ["x", 1])"),
       at + "items[1]: must be a string or {\"hex\": ...}, not a number"},
      {A(R"("kind": "task", "items": [{"hex": "x"}])"),
       at + "items[0].hex: must be an even number of hex digits"},
      {A(R"("kind": "builtin", "key_params": [{"param": "p", "event": "e"}])"),
       at + "key_params[0].event: is not a known field"},
      {A(R"("kind": "builtin", "in_params": {})"),
       at + "in_params: must be an array, not an object"},
      {A(R"("kind": "task"}, {"name": "a", "kind": "program")"),
       "rules[0].actions[1].name: repeats the name of rules[0].actions[0]"},
      {R"({"rules": [{"event": "E"}, {"event": "E"}]})",
       "rules[1].event: repeats the event of rules[0]"},
      {R"({"rules": [{"event": "E", "actions": [5]}]})",
       "rules[0].actions[0]: must be an object, not a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const std::string refusal = Refusal(c.json);
    if (c.error == "accepted") {
      EXPECT_EQ(refusal, "accepted");
    } else {
      EXPECT_NE(refusal.find(c.error), std::string::npos) << refusal;
    }
  }
}

}  // namespace
}  // namespace scenario
