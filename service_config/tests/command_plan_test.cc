// The pieces of a command-backed method that need no process: argument
// templates, variable names, the escaping of logged output, and the checks
// made when the configuration is read.
#include "service_config/command_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace service {
namespace {

using namespace std::string_literals;

TEST(CommandArgumentTest, PlaceholdersLiteralsAndEscapedBraces) {
  struct Case {
    std::string text;
    CommandArgument pieces;
  };
  const Case cases[] = {
      {"", {{false, ""}}},
      {"restart", {{false, "restart"}}},
      {"{Unit}", {{true, "Unit"}}},
      {"--unit={Unit}.service", {{false, "--unit="}, {true, "Unit"}, {false, ".service"}}},
      {"{A}{B}", {{true, "A"}, {true, "B"}}},
      {"{{Unit}}", {{false, "{Unit}"}}},
      {"a}}b{{c", {{false, "a}b{c"}}},
      {"{{{Unit}}}", {{false, "{"}, {true, "Unit"}, {false, "}"}}},
      {"{Odd name-1}", {{true, "Odd name-1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    CommandArgument pieces;
    std::string message;
    ASSERT_TRUE(ParseCommandArgument(c.text, &pieces, &message)) << message;
    EXPECT_EQ(pieces, c.pieces);
  }
}

TEST(CommandArgumentTest, LoneOrUnclosedBracesAreRefused) {
  for (const std::string& text : {"}"s, "a}b"s, "{"s, "{Unit"s, "{}"s, "{a{b}"s, "x{{y}"s}) {
    SCOPED_TRACE(text);
    CommandArgument pieces;
    std::string message;
    EXPECT_FALSE(ParseCommandArgument(text, &pieces, &message));
    EXPECT_FALSE(message.empty());
  }
}

TEST(CommandVariableTest, NamesAreUpperCasedAndOtherBytesBecomeUnderscores) {
  EXPECT_EQ(CommandVariable("AM_KEY_", "Name"), "AM_KEY_NAME");
  EXPECT_EQ(CommandVariable("AM_IN_", "unit_2"), "AM_IN_UNIT_2");
  EXPECT_EQ(CommandVariable("AM_IN_", "Unit-Name.x"), "AM_IN_UNIT_NAME_X");
  EXPECT_EQ(CommandVariable("AM_IN_", "Größe"), "AM_IN_GR____E") << "each byte of ö and ß";
}

// Which sequences are invalid UTF-8 is base's (base/tests/utf8_test.cc); here
// that each byte of one is written as hex.
TEST(EscapeOutputLineTest, ControlBytesAndInvalidUtf8AreWrittenAsHex) {
  struct Case {
    std::string raw, logged;
  };
  const Case cases[] = {
      {"plain text, 100%", "plain text, 100%"},
      {"tab\there\r", "tab\\x09here\\x0D"},
      {"back\\slash", "back\\\\slash"},
      {"nul\0byte"s, "nul\\x00byte"},
      {"\x1b[31mred\x7f", "\\x1B[31mred\\x7F"},
      {"Größe €", "Größe €"},
      {"overlong \xC0\xAF", "overlong \\xC0\\xAF"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    EXPECT_EQ(EscapeOutputLine(c.raw), c.logged);
  }
}

scenario::ScenarioMethod Method(std::vector<std::string> argv) {
  scenario::ScenarioMethod method;
  method.name = "Restart";
  method.path = "classes[1].methods.Restart";
  method.in = {{"Reason", CIM_STRING}, {"Count", CIM_UINT32}, {"Blob", CIM_OBJECT}};
  method.command.emplace().argv = std::move(argv);
  return method;
}

TEST(PrepareCommandTest, EveryPlaceholderMustNameOneValueWithText) {
  scenario::ScenarioClass base;
  base.name = "Base";
  base.properties.push_back({"Host", CIM_STRING, true, std::nullopt, ""});
  scenario::ScenarioClass unit;
  unit.name = "Unit";
  unit.superclass = "base";
  unit.properties.push_back({"Name", CIM_STRING, true, std::nullopt, ""});
  unit.properties.push_back({"Label", CIM_STRING, false, std::nullopt, ""});
  const std::vector<scenario::ScenarioClass> classes = {base, unit};
  const std::vector<std::string> keys = ClassKeys(classes, unit);
  EXPECT_EQ(keys, (std::vector<std::string>{"Name", "Host"})) << "inherited keys count";

  struct Case {
    std::vector<std::string> argv;
    std::string place;  // empty: accepted
    std::string message_part;
  };
  // A placeholder of no key and one as the program are the configuration
  // reader's table's rows (config_test).
  const Case cases[] = {
      {{"/bin/x", "{name}", "{HOST}", "{reason}", "n={Count}", "{{Label}}"}, "", ""},
      {{"/bin/x", "ok", "{Nope}"}, "classes[1].methods.Restart.command[2]", "{Nope}"},
      {{"/bin/x", "{Blob}"}, "classes[1].methods.Restart.command[1]", "without a text form"},
      {{"/bin/x", "a}"}, "classes[1].methods.Restart.command[1]", "lone"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back());
    CommandPlan plan;
    scenario::InputError error;
    const bool ok = PrepareCommand(unit, Method(c.argv), keys, "/etc", &plan, &error);
    EXPECT_EQ(ok, c.place.empty());
    if (ok) {
      EXPECT_EQ(plan.label, "Unit.Restart");
      EXPECT_EQ(plan.argv.size(), c.argv.size());
      EXPECT_EQ(plan.directory, "/etc");
    } else {
      EXPECT_EQ(error.place, c.place);
      EXPECT_NE(error.message.find(c.message_part), std::string::npos) << error.message;
    }
  }
}

TEST(PrepareCommandTest, AmbiguousNamesAndAReturnValueWithoutIntegerAreRefused) {
  scenario::ScenarioClass unit;
  unit.name = "Unit";
  unit.properties.push_back({"Reason", CIM_STRING, true, std::nullopt, ""});
  unit.properties.push_back({"Unit-Name", CIM_STRING, true, std::nullopt, ""});
  scenario::InputError error;
  CommandPlan plan;

  scenario::ScenarioMethod both = Method({"/bin/x", "{Reason}"});
  both.in = {{"Reason", CIM_STRING}};
  EXPECT_FALSE(PrepareCommand(unit, both, {"Reason", "Unit-Name"}, "/", &plan, &error));
  EXPECT_NE(error.message.find("both"), std::string::npos) << error.message;

  scenario::ScenarioMethod clash = Method({"/bin/x"});
  clash.in = {{"a.b", CIM_STRING}, {"A_B", CIM_STRING}};
  EXPECT_FALSE(PrepareCommand(unit, clash, {"Unit-Name"}, "/", &plan, &error));
  EXPECT_NE(error.message.find("AM_IN_A_B"), std::string::npos) << error.message;

  scenario::ScenarioMethod text = Method({"/bin/x"});
  text.return_type = CIM_STRING;
  EXPECT_FALSE(PrepareCommand(unit, text, {"Unit-Name"}, "/", &plan, &error));
  EXPECT_EQ(error.place, "classes[1].methods.Restart.out.ReturnValue");
}

}  // namespace
}  // namespace service
