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

// The pieces of `text` as "'literal' {placeholder} ...", or "refused".
std::string Pieces(const std::string& text) {
  CommandArgument pieces;
  std::string message;
  if (!ParseCommandArgument(text, &pieces, &message)) return message.empty() ? "" : "refused";
  std::string shown;
  for (const CommandPiece& p : pieces)
    shown += (shown.empty() ? "" : " ") + (p.placeholder ? "{" + p.text + "}" : "'" + p.text + "'");
  return shown;
}

TEST(CommandArgumentTest, PlaceholdersLiteralsAndEscapedBracesOrARefusal) {
  // The last rows: lone or unclosed braces, and an empty placeholder.
  const std::pair<std::string, std::string> cases[] = {
      {"", "''"},
      {"restart", "'restart'"},
      {"{Unit}", "{Unit}"},
      {"--unit={Unit}.service", "'--unit=' {Unit} '.service'"},
      {"{A}{B}", "{A} {B}"},
      {"{{Unit}}", "'{Unit}'"},
      {"a}}b{{c", "'a}b{c'"},
      {"{{{Unit}}}", "'{' {Unit} '}'"},
      {"{Odd name-1}", "{Odd name-1}"},
      {"}", "refused"},
      {"a}b", "refused"},
      {"{", "refused"},
      {"{Unit", "refused"},
      {"{}", "refused"},
      {"{a{b}", "refused"},
      {"x{{y}", "refused"}};
  for (const auto& [text, pieces] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Pieces(text), pieces);
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
  const std::pair<std::string, std::string> cases[] = {
      {"plain text, 100%", "plain text, 100%"},
      {"tab\there\r", "tab\\x09here\\x0D"},
      {"back\\slash", "back\\\\slash"},
      {"nul\0byte"s, "nul\\x00byte"},
      {"\x1b[31mred\x7f", "\\x1B[31mred\\x7F"},
      {"Größe €", "Größe €"},
      {"overlong \xC0\xAF", "overlong \\xC0\\xAF"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [raw, logged] : cases) EXPECT_EQ(EscapeOutputLine(raw), logged);
}

scenario::ScenarioClass Class(const char* name, const char* superclass,
                              std::vector<scenario::ScenarioProperty> properties) {
  scenario::ScenarioClass cls;
  cls.name = name;
  cls.superclass = superclass;
  cls.properties = std::move(properties);
  return cls;
}

// Restart of Unit, a subclass of Base: keys Name and Host (inherited), the
// property Label, and each row's in-parameters (mostly `in`: Reason, Count
// and Blob, an object).
TEST(PrepareCommandTest, EveryPlaceholderMustNameOneValueWithTextAndNamesMustNotClash) {
  const scenario::ScenarioClass unit = Class("Unit", "base",
                                             {{"Name", CIM_STRING, true, std::nullopt, ""},
                                              {"Label", CIM_STRING, false, std::nullopt, ""}});
  const std::vector<std::string> keys =
      ClassKeys({Class("Base", "", {{"Host", CIM_STRING, true, std::nullopt, ""}}), unit}, unit);
  EXPECT_EQ(keys, (std::vector<std::string>{"Name", "Host"})) << "inherited keys count";
  using In = std::vector<std::pair<std::string, CIMTYPE>>;
  const In in = {{"Reason", CIM_STRING}, {"Count", CIM_UINT32}, {"Blob", CIM_OBJECT}};
  const std::string at = "classes[1].methods.Restart.";
  struct Case {
    std::vector<std::string> argv;
    std::string refusal;  // "place: part of the message"; empty: accepted
    In in;
    CIMTYPE return_type = CIM_UINT32;
  };
  // A placeholder of no key and one as the program are the configuration
  // reader's table's rows (config_test).
  const Case cases[] = {
      {{"/bin/x", "{name}", "{HOST}", "{reason}", "n={Count}", "{{Label}}"}, "", in},
      {{"/bin/x", "ok", "{Nope}"}, at + "command[2]: {Nope}", in},
      {{"/bin/x", "{Blob}"}, at + "command[1]: {Blob} is an in-parameter without a text form", in},
      {{"/bin/x", "a}"}, at + "command[1]: a lone", in},
      // A key and an in-parameter of one name; two names of one variable.
      {{"/bin/x", "{Name}"}, "is both a key and an in-parameter", {{"Name", CIM_STRING}}},
      {{"/bin/x"},
       "would both be the variable AM_IN_A_B",
       {{"a.b", CIM_STRING}, {"A_B", CIM_STRING}}},
      {{"/bin/x"}, at + "out.ReturnValue: ", in, CIM_STRING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv.back() + " " + c.refusal);
    scenario::ScenarioMethod method;
    method.name = "Restart";
    method.path = "classes[1].methods.Restart";
    method.in = c.in;
    method.return_type = c.return_type;
    method.command.emplace().argv = c.argv;
    CommandPlan plan;
    scenario::InputError error;
    if (PrepareCommand(unit, method, keys, "/etc", &plan, &error)) {
      EXPECT_EQ(plan.label + " " + std::to_string(plan.argv.size()) + " " + plan.directory.string(),
                "Unit.Restart " + std::to_string(c.argv.size()) + " /etc");
      EXPECT_EQ(c.refusal, "");
    } else {
      EXPECT_NE((error.place + ": " + error.message).find(c.refusal), std::string::npos)
          << error.place << ": " << error.message;
      EXPECT_NE(c.refusal, "");
    }
  }
}

}  // namespace
}  // namespace service
