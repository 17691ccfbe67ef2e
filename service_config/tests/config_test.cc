// The configuration reader's refusals, in process: every configuration a
// daemon could not run is refused with the place of the problem, before any
// daemon starts. The daemon's tests only check that such a refusal stops it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "service_config/config.h"
#include "testing/daemon.h"

namespace service {
namespace {

using amtest::Json;

// The daemon tests' world with one profile "P" that pages, a class Job for
// command-backed methods (classes[4]) and its files in `dir`.
Json Base(const amtest::TempDir& dir) {
  Json config = amtest::BaseConfig(
      {{"P", amtest::Rules(Json::array({amtest::PageAction(), amtest::TaskAction()}))}});
  config["classes"].push_back(Json{{"name", "Job"}, {"methods", Json::object()}});
  config["state_dir"] = (dir / "state").string();
  config["results_file"] = (dir / "results.jsonl").string();
  return config;
}

// A method Job.Go in reason form, run by `argv`.
void Command(Json& config, Json argv) {
  config["classes"][4]["methods"]["Go"] = Json{{"in", Json{{"Reason", "string"}}},
                                               {"command", std::move(argv)}};
}

void Alerts(Json& config, Json alertmanager) {
  config["classes"].push_back(Json::parse(R"(
    {"name": "Alert_Firing", "superclass": "ZRV_Event", "properties": {"Unit": "string"}})"));
  config["alertmanager"] = std::move(alertmanager);
}

TEST(ConfigTest, ConfigurationsThatCannotRunAreRefusedWithThePlace) {
  struct Case {
    const char* name;
    std::function<void(Json&)> change;
    std::string text;  // in "place: message"
  };
  amtest::TempDir dir;
  const Case cases[] = {
      {"another address without a token", [](Json& c) { c["listen"]["address"] = "0.0.0.0"; },
       "listen.token_file"},
      {"a token file others can read",
       [&](Json& c) {
         const auto file = dir.Write("open-token", "0123456789abcdef\n");
         std::filesystem::permissions(file, std::filesystem::perms::others_read,
                                      std::filesystem::perm_options::add);
         c["listen"]["token_file"] = file.string();
       },
       "others have access to the token file"},
      {"a token off loopback without TLS",
       [&](Json& c) {
         const auto file = dir.Write("token", "0123456789abcdef\n");
         std::filesystem::permissions(file, std::filesystem::perms::owner_read);
         c["listen"] = Json{{"address", "0.0.0.0"}, {"token_file", file.string()}};
       },
       "listen.tls_cert_file: is required"},
      {"a certificate without its key", [](Json& c) { c["listen"]["tls_cert_file"] = "c.pem"; },
       "listen.tls_key_file"},
      {"an unknown field", [](Json& c) { c["colour"] = "red"; }, "colour: is not a known field"},
      {"an unknown rule for events without an id",
       [](Json& c) { c["missing_event_id"] = "none"; }, "missing_event_id: must be"},
      {"two profiles of one name", [](Json& c) { c["profiles"].push_back(c["profiles"][0]); },
       "profiles[1].name"},
      {"a bad action",
       [](Json& c) { c["profiles"][0]["settings"]["rules"][0]["actions"][0]["kind"] = "x"; },
       "profiles[0].settings.rules[0].actions[0].kind"},
      {"a placeholder of no key",
       [](Json& c) { Command(c, Json::array({"/bin/echo", "{Missing}"})); },
       "classes[4].methods.Go.command[1]: {Missing} names no key of Job"},
      {"a placeholder as the program", [](Json& c) { Command(c, Json::array({"{Reason}"})); },
       "classes[4].methods.Go.command[0]: the program takes no placeholder"},
      {"an unclosed brace", [](Json& c) { Command(c, Json::array({"/bin/echo", "{Reason"})); },
       "classes[4].methods.Go.command[1]: a \"{\" without"},
      {"no program", [](Json& c) { Command(c, Json::array()); },
       "classes[4].methods.Go.command: must name the program to run"},
      {"an argument of no text", [](Json& c) { Command(c, Json::array({"/bin/echo", 5})); },
       "classes[4].methods.Go.command[1]: must be a string"},
      {"a command with a fixed return value",
       [](Json& c) {
         c["classes"][4]["methods"]["Go"] =
             Json{{"command", Json::array({"/bin/true"})}, {"return_value", 0}};
       },
       "answers with the command's exit status"},
      {"alerts of a class that is no event class",
       [](Json& c) { Alerts(c, Json{{"class", "Plain"}}); }, "alertmanager.class"},
      {"alerts for an unknown profile",
       [](Json& c) { Alerts(c, Json{{"class", "Alert_Firing"}, {"profile", "Nobody"}}); },
       "alertmanager.profile"},
      {"a receiver mapped to an unknown profile",
       [](Json& c) {
         Alerts(c, Json{{"class", "Alert_Firing"}, {"receivers", {{"r", "Nobody"}}}});
       },
       "alertmanager.receivers.r"},
      {"EventId mapped",
       [](Json& c) {
         Alerts(c, Json{{"class", "Alert_Firing"}, {"properties", {{"EventId", "labels.x"}}}});
       },
       "alertmanager.properties.EventId"},
      {"a source that is none",
       [](Json& c) {
         Alerts(c, Json{{"class", "Alert_Firing"}, {"properties", {{"Unit", "labels"}}}});
       },
       "alertmanager.properties.Unit"},
      {"prefer neither",
       [](Json& c) { Alerts(c, Json{{"class", "Alert_Firing"}, {"prefer", "both"}}); },
       "alertmanager.prefer"},
      {"a state of no known kind", [](Json& c) { c["state"] = Json{{"kind", "mysql"}}; },
       "state.kind: must be \"sqlite\" or \"postgresql\""},
      {"a PostgreSQL state without its connection",
       [](Json& c) { c["state"] = Json{{"kind", "postgresql"}}; }, "state.connection"},
      {"a connection file others can read",
       [&](Json& c) {
         const auto file = dir.Write("database", "host=/run/postgresql\n");
         std::filesystem::permissions(file, std::filesystem::perms::others_read,
                                      std::filesystem::perm_options::add);
         c["state"] = Json{{"kind", "postgresql"}, {"connection_file", file.string()}};
       },
       "others have access to the connection file"},
  };
  {
    SCOPED_TRACE("the unchanged base");
    Config config;
    scenario::InputError error;
    ASSERT_TRUE(ReadConfig(dir.Write("config.json", Base(dir).dump()), &config, &error))
        << error.place << ": " << error.message;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json json = Base(dir);
    c.change(json);
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
  struct Case {
    std::function<void(Json&)> change;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {[](Json& c) { c["queue_limit"] = 5; }, {}},
      {[&](Json& c) { c["state_dir"] = (dir / "other").string(); }, {"state_dir"}},
      {[](Json& c) { c["socket"] = Json{{"path", "a.sock"}}; }, {"socket"}},
      {[](Json& c) { c["environment"]["X"] = "1", c["namespace"] = "root\\x"; },
       {"namespace", "environment"}},
  };
  for (const Case& c : cases) {
    Json json = Base(dir);
    c.change(json);
    SCOPED_TRACE(json.dump());
    Config fresh;
    ASSERT_TRUE(ReadConfig(dir.Write("config.json", json.dump()), &fresh, &error)) << error.message;
    EXPECT_EQ(RestartOnlyChanges(running, fresh), c.fields);
  }
}

}  // namespace
}  // namespace service
