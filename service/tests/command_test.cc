// Methods backed by commands, in the running daemon with real children: what
// the program receives, how its end becomes the result event, its output in
// the log, and that neither a time-out nor a stop leaves a process behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testing/daemon.h"
#include "testing/daemon_test.h"

namespace amtest {
namespace {

using ::testing::HasSubstr;
using namespace std::string_literals;

const std::string kRecorder = AMD_RECORD_CALL;

// The signed 32 bits of an HRESULT, as a result event carries it.
std::int64_t Signed(std::uint32_t hresult) { return static_cast<std::int32_t>(hresult); }

// The result event of `method` among an event's outcome.
Json ResultOf(const Json& outcome, const std::string& method) {
  for (const Json& result : outcome["result_events"]) {
    if (result["Method"] == method) return result;
  }
  return Json();
}

class CommandTest : public DaemonTest {
 protected:
  // The world: Alarm events (Name, Text, Other, Count) whose rule calls each
  // of `methods` in turn, every in-parameter that an Alarm property names fed
  // from it. The methods are class Job's (class calls) or, given `units`,
  // those of class Unit keyed by Name, with one instance per name and the key
  // taken from the Alarm's Name.
  Json Config(const Json& methods, const std::vector<std::string>& units = {}) {
    const std::string cls = units.empty() ? "Job" : "Unit";
    const Json keys = units.empty()
                          ? Json::array()
                          : Json::array({Json{{"param", "Name"}, {"event_prop", "Name"}}});
    Json actions = Json::array();
    for (const auto& [method, plan] : methods.items()) {
      Json in = Json::array();
      const Json params = plan.value("in", Json::object());
      for (const auto& [param, type] : params.items()) {
        if (param != "Unset") in.push_back(Json{{"param", param}, {"event_prop", param}});
      }
      Json action = PageAction();
      action.update({{"name", method},
                     {"class", cls},
                     {"method", method},
                     {"class_call", units.empty()},
                     {"key_params", keys},
                     {"in_params", in}});
      actions.push_back(action);
    }
    Json config = BaseConfig(
        {{"P", Json{{"rules", Json::array({Json{{"event", "Alarm"}, {"actions", actions}}})}}}});
    config["classes"].push_back(Json::parse(R"({"name": "Alarm", "superclass": "ZRV_Event",
        "properties": {"Name": "string", "Text": "string", "Other": "string", "Count": "uint32"}})"));
    config["classes"].push_back(Json{{"name", cls}, {"methods", methods}});
    if (units.empty()) return config;
    config["classes"].back()["properties"] =
        Json{{"Name", Json{{"type", "string"}, {"key", true}}}};
    for (const std::string& name : units) {
      config["instances"].push_back(Json{{"class", "Unit"}, {"properties", Json{{"Name", name}}}});
    }
    return config;
  }

  Json Raise(const Json& properties) {
    const Reply reply =
        Post(*client_, Json{{"class", "Alarm"}, {"properties", properties}}.dump(), true);
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    if (reply.status != 200) return Json();
    return reply.body["events"][0];
  }
};

// Each text cut to 40 bytes: a failure must not print the long values whole.
std::string Abbreviated(const std::vector<std::string>& texts) {
  Json list = Json::array();
  for (const std::string& text : texts) {
    list.push_back(
        text.size() > 40 ? text.substr(0, 40) + "...(" + std::to_string(text.size()) + ")" : text);
  }
  return list.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::vector<std::string> SplitNul(const std::string& bytes) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = bytes.find('\0', from)) != std::string::npos; from = at + 1) {
    parts.push_back(bytes.substr(from, at - from));
  }
  return parts;
}

TEST_F(CommandTest, HostileValuesArriveAsOneArgumentAndOneVariableEach) {
  const std::string out = (dir_.path() / "call").string();
  const Json methods = Json{
      {"Record", Json{{"in", Json{{"Text", "string"}, {"Other", "string"}, {"Count", "uint32"}}},
                      {"out", Json{{"ReturnValue", "uint32"}}},
                      {"command", Json::array({kRecorder, out, "{Name}", "{Text}", "<{other}>",
                                               "{Count}", "{{Text}}"})}}}};
  // A key travels inside an object path, which the built-in action writes
  // without escaping: a key value cannot hold a double quote or "\\".
  const std::vector<std::string> keys = {
      "a;b|c&d", "$(touch x)`id`", "<in >out *? 'q'", "line1\nline2", "-rf", " lead and trail "};
  // clang-format off
  const std::vector<std::string> values = {
      "; rm -rf / | cat && echo $HOME `id` $(id)", "\"double\" 'single' \\back\\slash\\",
      "*?[a-z]<>&|;(){}", "new\nline\ttab\rreturn", "--option=-x", std::string(65536, 'v'),
      "{Name} stays text", "Größe €"};
  // clang-format on
  StartWith(Config(methods, keys));
  for (std::size_t i = 0; i < std::max(keys.size(), values.size()); ++i) {
    const std::string& key = keys[i % keys.size()];
    const std::string& text = values[i % values.size()];
    const std::string& other = values[(i + 3) % values.size()];
    SCOPED_TRACE("key " + key + ", text " + text.substr(0, 40) + ", other " + other.substr(0, 40));
    std::filesystem::remove(out);
    const Json outcome = Raise(Json{{"EventId", "e" + std::to_string(i)},
                                    {"Name", key},
                                    {"Text", text},
                                    {"Other", other},
                                    {"Count", 4000000000u}});
    EXPECT_EQ(Only(ResultOf(outcome, "Record"), {"MsgInfo", "return_code"}),
              R"({"MsgInfo":"ZRV_CorrelatedEvents|900","return_code":0})");
    const std::vector<std::string> got = SplitNul(dir_.Read("call"));
    // The arguments, an empty entry, then the AM_ variables.
    // clang-format off
    const std::vector<std::string> expected = {
        key, text, "<" + other + ">", "4000000000", "{Text}", "", "AM_IN_COUNT=4000000000",
        "AM_IN_OTHER=" + other, "AM_IN_TEXT=" + text, "AM_KEY_NAME=" + key};
    // clang-format on
    EXPECT_TRUE(got == expected) << Abbreviated(got) << "\nexpected " << Abbreviated(expected);
  }
}

TEST_F(CommandTest, ExitStatusFailuresToStartAndTimeOutBecomeTheResultEvent) {
  const std::string not_executable = dir_.Write("not_executable.sh", "#!/bin/sh\nexit 0\n");
  ::chmod(not_executable.c_str(), 0644);
  const std::string pid_file = (dir_.path() / "slow.pid").string();
  const auto run = [](Json argv, int timeout = 30) {
    return Json{{"out", Json{{"ReturnValue", "uint32"}}},
                {"command", std::move(argv)},
                {"timeout_seconds", timeout}};
  };
  // {method, its plan, the result code, the return code}
  const std::vector<std::tuple<std::string, Json, std::string, std::int64_t>> cases = {
      {"Ok", run(Json::array({"/bin/true"})), "900", 0},
      {"Three", run(Json::array({"/bin/sh", "-c", "echo complaint >&2; exit 3"})), "900", 3},
      {"Max", run(Json::array({"/bin/sh", "-c", "exit 255"})), "900", 255},
      {"Missing", run(Json::array({"/nonexistent/program"})), "901", Signed(0x80070002)},
      {"NotOnPath", run(Json::array({"no-such-program-anywhere"})), "901", Signed(0x80070002)},
      {"NotExecutable", run(Json::array({not_executable})), "901", Signed(0x80070005)},
      {"Killed", run(Json::array({"/bin/sh", "-c", "kill -KILL $$"})), "901", Signed(0x8007042B)},
      {"Slow",
       run(Json::array({"/bin/sh", "-c", "echo $$ > " + pid_file + "; sleep 300 & sleep 300"}), 1),
       "901", Signed(0x800705B4)},
  };
  Json methods = Json::object();
  for (const auto& [method, plan, code, return_code] : cases) methods[method] = plan;
  StartWith(Config(methods));
  const Json outcome = Raise(Json{{"EventId", "e1"}});
  ASSERT_EQ(outcome["result_events"].size(), cases.size()) << outcome.dump();
  for (const auto& [method, plan, code, return_code] : cases) {
    EXPECT_EQ(
        Only(ResultOf(outcome, method), {"MsgInfo", "return_code"}),
        Json({{"MsgInfo", "ZRV_CorrelatedEvents|" + code}, {"return_code", return_code}}).dump())
        << method;
  }
  EXPECT_THAT(daemon_.log(), HasSubstr("command of Job.Missing: cannot start "
                                       "\"/nonexistent/program\": No such file or directory"));
  EXPECT_THAT(daemon_.log(), HasSubstr("stderr: complaint"));
  EXPECT_THAT(daemon_.log(), HasSubstr("ran past its 1 s; its process group was killed"));
  // The time-out killed the shell's background sleep too.
  const pid_t group = std::stoi(dir_.Read("slow.pid"));
  EXPECT_TRUE(WaitFor([&] { return !GroupAlive(group); })) << "group " << group;
}

TEST_F(CommandTest, ValuesThatNoArgumentCanCarryFailTheCall) {
  const std::string out = (dir_.path() / "call").string();
  Json methods = Json::object();
  methods["Echo"] = Json{{"in", Json{{"Text", "string"}, {"Unset", "string"}}},
                         {"command", Json::array({kRecorder, out, "{Text}"})}};
  methods["NeedsUnset"] = Json{{"in", Json{{"Text", "string"}, {"Unset", "string"}}},
                               {"command", Json::array({kRecorder, out, "{Unset}"})}};
  StartWith(Config(methods));
  // {Text, Echo's return code, NeedsUnset's}
  const std::tuple<Json, std::int64_t, std::int64_t> cases[] = {
      {"fine", 0, Signed(0x80041028)},  // WBEM_E_ILLEGAL_NULL: {Unset} has no value
      {"a\0b"s, Signed(0x80041008), Signed(0x80041008)},  // a NUL byte: WBEM_E_INVALID_PARAMETER
      // Empty and null reach the method as empty text: never an empty argument.
      {"", Signed(0x80041028), Signed(0x80041028)},
      {nullptr, Signed(0x80041028), Signed(0x80041028)},
  };
  int id = 0;
  for (const auto& [text, echo, needs_unset] : cases) {
    SCOPED_TRACE(text.dump());
    const Json outcome = Raise(Json{{"EventId", "e" + std::to_string(++id)}, {"Text", text}});
    EXPECT_EQ(Only(outcome["result_events"], {"Method", "return_code"}),
              Json({{{"Method", "Echo"}, {"return_code", echo}},
                    {{"Method", "NeedsUnset"}, {"return_code", needs_unset}}})
                  .dump());
  }
  EXPECT_THAT(daemon_.log(), HasSubstr("{Unset} has no value in this call"));
  EXPECT_THAT(daemon_.log(), HasSubstr("the value of Text holds a NUL byte"));
}

TEST_F(CommandTest, OutputIsLoggedEscapedWithinItsBounds) {
  Json methods = Json::object();
  methods["Chatty"] =
      Json{{"command", Json::array({"/bin/sh", "-c",
                                    "i=0; while [ $i -lt 500 ]; do echo line$i; i=$((i+1)); done; "
                                    "printf 'bad\\001\\377 end\\n' >&2"})},
           {"max_output_bytes", 1000}};
  methods["Quiet"] = Json{{"command", Json::array({"/bin/sh", "-c", "echo hidden; echo hid >&2"})},
                          {"max_output_bytes", 0}};
  StartWith(Config(methods));
  const Json outcome = Raise(Json{{"EventId", "e1"}});
  EXPECT_EQ(ResultOf(outcome, "Chatty")["return_code"], 0);
  const std::string log = daemon_.log();
  EXPECT_THAT(log, HasSubstr("stdout: line0\n"));
  EXPECT_THAT(log, HasSubstr("stdout: line99\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("stdout: line100\n"))) << "at most 100 lines";
  EXPECT_THAT(log, HasSubstr("more lines not logged"));
  EXPECT_THAT(log, HasSubstr("stdout: output beyond max_output_bytes (1000) was read and dropped"));
  EXPECT_THAT(log, HasSubstr("stderr: bad\\x01\\xFF end\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("stdout: hidden")));
  EXPECT_THAT(log, HasSubstr("stderr: output beyond max_output_bytes (0)"));
  // The history keeps what each command printed within the same bound, as
  // text (a byte that is no UTF-8 becomes U+FFFD).
  std::string chatty;  // the first 1000 bytes of its output
  for (int i = 0; chatty.size() < 1000; ++i) chatty += "line" + std::to_string(i) + "\n";
  chatty.resize(1000);
  const Json printed = {{"action", 0}, {"stdout", chatty}, {"stderr", "bad\x01\xEF\xBF\xBD end\n"}};
  const Json history = daemon_.Get("/v1/results?event_id=e1").body["results"];
  EXPECT_EQ(Only(history, {"action", "stdout", "stderr"}),
            Json({{{"action", 1}, {"stdout", ""}, {"stderr", ""}}, printed}).dump());
  // The same in the ?wait=1 answer and the results line: only the action
  // that printed.
  for (const Json& answer : {outcome, daemon_.Results().at(0)}) {
    EXPECT_EQ(Only(answer["output"], {"action", "stdout", "stderr"}),
              Json::array({printed}).dump());
  }
}

TEST_F(CommandTest, AStopEndsARunningCommandAndLeavesNoProcess) {
  const std::string pid_file = (dir_.path() / "long.pid").string();
  Json methods = Json::object();
  methods["Long"] =
      Json{{"command",
            Json::array({"/bin/sh", "-c", "echo $$ > " + pid_file + "; sleep 300 & sleep 300"})},
           {"timeout_seconds", 600}};
  Json config = Config(methods);
  config["stop_seconds"] = 1;
  StartWith(config);
  ASSERT_EQ(Post(*client_, Json{{"class", "Alarm"}, {"properties", Json{{"EventId", "e1"}}}}.dump())
                .status,
            202);
  ASSERT_TRUE(WaitFor([&] { return !dir_.Read("long.pid").empty(); }));
  const pid_t group = std::stoi(dir_.Read("long.pid"));
  ASSERT_TRUE(GroupAlive(group));
  daemon_.Signal(SIGTERM);
  EXPECT_EQ(daemon_.WaitExit(std::chrono::seconds(20)), 0) << daemon_.log();
  // The killed group outlives the daemon as zombies until init reaps them.
  EXPECT_TRUE(WaitFor([&] { return !GroupAlive(group); })) << "group " << group;
  EXPECT_THAT(daemon_.log(), HasSubstr("was stopped with the daemon"));
  const std::vector<Json> results = daemon_.Results();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(ResultOf(results[0], "Long")["return_code"], Signed(0x80041033));
}

}  // namespace
}  // namespace amtest
