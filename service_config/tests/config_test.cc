// The configuration reader's refusals, in process: every configuration a
// daemon could not run is refused with the place of the problem, before any
// daemon starts. The daemon's tests only check that such a refusal stops it.
#include "service_config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "testing/daemon.h"

namespace service {
namespace {

using amtest::Json;

// The daemon tests' world with one profile "P" that pages, a class Job for
// command-backed methods (classes[4]), an event class Alert_Firing and its
// files in `dir`.
Json Base(const amtest::TempDir& dir) {
  Json config = amtest::BaseConfig(
      {{"P", amtest::Rules(Json::array({amtest::PageAction(), amtest::TaskAction()}))}});
  config["classes"].push_back(Json{{"name", "Job"}, {"methods", Json::object()}});
  config["classes"].push_back(Json::parse(R"(
    {"name": "Alert_Firing", "superclass": "ZRV_Event", "properties": {"Unit": "string"}})"));
  config["state_dir"] = (dir / "state").string();
  config["results_file"] = (dir / "results.jsonl").string();
  return config;
}

// A method Job.Go in reason form, run by `argv`.
Json Go(Json argv) {
  return Json{{"in", Json{{"Reason", "string"}}}, {"command", std::move(argv)}};
}

TEST(ConfigTest, ConfigurationsThatCannotRunAreRefusedWithThePlace) {
  amtest::TempDir dir;
  // Files with the given permissions added to the owner's.
  using std::filesystem::perms;
  const auto file = [&](const char* name, const char* content, perms more) {
    const auto path = dir.Write(name, content);
    std::filesystem::permissions(path, perms::owner_read | more);
    return path.string();
  };
  const std::string open_token = file("open-token", "0123456789abcdef\n", perms::others_read);
  const std::string token = file("token", "0123456789abcdef\n", perms::none);
  const std::string open_db = file("database", "host=/run/postgresql\n", perms::others_read);
  const auto J = [](const char* text) { return Json::parse(text); };
  struct Case {
    const char* pointer;  // set to `value` in the base
    Json value;
    std::string text;  // in "place: message"
  };
  const std::string go = "classes[4].methods.Go.command";
  const Case cases[] = {
      {"/listen/address", "0.0.0.0", "listen.token_file"},  // another address without a token
      {"/listen/token_file", open_token, "others have access to the token file"},
      {"/listen", Json{{"address", "0.0.0.0"}, {"token_file", token}},
       "listen.tls_cert_file: is required"},
      {"/listen/tls_cert_file", "c.pem", "listen.tls_key_file"},
      {"/colour", "red", "colour: is not a known field"},
      {"/missing_event_id", "none", "missing_event_id: must be"},
      {"/profiles/1", Base(dir)["profiles"][0], "profiles[1].name"},
      {"/profiles/0/settings/rules/0/actions/0/kind", "x",
       "profiles[0].settings.rules[0].actions[0].kind"},
      {"/classes/4/methods/Go", Go({"/bin/echo", "{Missing}"}),
       go + "[1]: {Missing} names no key of Job"},
      {"/classes/4/methods/Go", Go({"{Reason}"}), go + "[0]: the program takes no placeholder"},
      {"/classes/4/methods/Go", Go({"/bin/echo", "{Reason"}), go + "[1]: a \"{\" without"},
      {"/classes/4/methods/Go", Go(Json::array()), go + ": must name the program to run"},
      {"/classes/4/methods/Go", Go({"/bin/echo", 5}), go + "[1]: must be a string"},
      {"/classes/4/methods/Go", J(R"({"command": ["/bin/true"], "return_value": 0})"),
       "answers with the command's exit status"},
      {"/alertmanager", J(R"({"class": "Plain"})"), "alertmanager.class"},  // no event class
      {"/alertmanager", J(R"({"class": "Alert_Firing", "profile": "Nobody"})"),
       "alertmanager.profile"},
      {"/alertmanager", J(R"({"class": "Alert_Firing", "receivers": {"r": "Nobody"}})"),
       "alertmanager.receivers.r"},
      {"/alertmanager", J(R"({"class": "Alert_Firing", "properties": {"EventId": "labels.x"}})"),
       "alertmanager.properties.EventId"},
      {"/alertmanager", J(R"({"class": "Alert_Firing", "properties": {"Unit": "labels"}})"),
       "alertmanager.properties.Unit"},
      {"/alertmanager", J(R"({"class": "Alert_Firing", "prefer": "both"})"), "alertmanager.prefer"},
      {"/state", J(R"({"kind": "mysql"})"), "state.kind: must be \"sqlite\" or \"postgresql\""},
      {"/state", J(R"({"kind": "postgresql"})"), "state.connection"},
      {"/state", Json{{"kind", "postgresql"}, {"connection_file", open_db}},
       "others have access to the connection file"},
  };
  // The unchanged base is read (the reload test's first step), so each row
  // is refused for its own change.
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pointer) + " = " + c.value.dump());
    Json json = Base(dir);
    json[Json::json_pointer(c.pointer)] = c.value;
    Config config;
    scenario::InputError error;
    EXPECT_FALSE(ReadConfig(dir.Write("config.json", json.dump()), &config, &error));
    EXPECT_THAT(error.place + ": " + error.message, ::testing::HasSubstr(c.text));
  }
}

TEST(ConfigTest, AReloadNamesOnlyTheRestartOnlyFieldsThatChanged) {
  amtest::TempDir dir;
  Config running;
  scenario::InputError error;
  ASSERT_TRUE(ReadConfig(dir.Write("config.json", Base(dir).dump()), &running, &error));
  // Each row a merge patch of the base, and the fields it must name.
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"({"queue_limit": 5})", {}},
      {R"({"state_dir": "other"})", {"state_dir"}},
      {R"({"socket": {"path": "a.sock"}})", {"socket"}},
      {R"({"environment": {"X": "1"}, "namespace": "root\\x"})", {"namespace", "environment"}},
  };
  for (const auto& [patch, fields] : cases) {
    SCOPED_TRACE(patch);
    Json json = Base(dir);
    json.merge_patch(Json::parse(patch));
    Config fresh;
    ASSERT_TRUE(ReadConfig(dir.Write("config.json", json.dump()), &fresh, &error)) << error.message;
    EXPECT_EQ(RestartOnlyChanges(running, fresh), fields);
  }
}

}  // namespace
}  // namespace service
