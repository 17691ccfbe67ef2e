// Program actions end to end: the real sink and rule executor, the in-memory
// repository, the wrapper script and real child processes.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "program_actions/tests/program_action_fixture.h"

namespace program_actions::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Key;
using ::testing::Not;

constexpr char kAm[] = "ActionManager";

TEST_F(ProgramActionTest, ResultCodeDecidesOutcomeAndResultEvent) {
  struct Case {
    const char* name;
    std::string command;
    int code;
    std::string output;
    std::string error;
    int msg_code;
    int result;
  };
  const Case cases[] = {
      {"output only", "echo first; echo second", 0, "first", "", 900, 1},
      {"no output at all", "true", 1001, "", "<STDOUT EMPTY>", 900, 1},
      {"exit 0 with error output", "echo out; echo oops >&2; echo more >&2", 1, "out", "oops", 901,
       0},
      {"non-zero exit", "echo out; exit 7", 7, "out", "", 901, 0},
      // Nothing captured outweighs the exit code: the runner reports 1001.
      {"non-zero exit without output", "exit 7", 1001, "", "<STDOUT EMPTY>", 900, 1},
      {"signalled", "echo partial; kill -TERM $$", 143, "partial", "", 901, 0},
      // The quote is not escaped: it splits the argument, and the wrapper
      // joins the pieces again.
      {"quote inside the command", "echo \"x y\"", 0, "x y", "", 900, 1},
      // The runner splits the line at blanks, so a double blank becomes one.
      {"double blank", "echo a  b", 0, "a b", "", 900, 1},
      {"message and variable lines skipped", "echo '#note'; echo AB=1; echo 42; echo 43", 0, "42",
       "", 900, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = RunEvent(c.command, DiskFullValues());
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.lines, ExpectedRunLines(c.command, c.code, c.output, c.error));
    EXPECT_THAT(outcome.results, ElementsAre(ExpectedResult(c.command, c.msg_code, c.code)));
  }
}

TEST_F(ProgramActionTest, PerlMissingFromPathCountsAsNoOutput) {
  const ScopedEnv path("PATH", other_dir_.c_str());
  const Outcome outcome = RunEvent("echo never", DiskFullValues());
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.lines, ExpectedRunLines("echo never", 1001, "", "<STDOUT EMPTY>"));
  EXPECT_THAT(outcome.results, ElementsAre(ExpectedResult("echo never", 900, 1001)));
}

TEST_F(ProgramActionTest, WorkingDirectoryFollowsZmoHalberdDirAndIsRestored) {
  const std::string script = script_dir_.string();
  const std::string other = other_dir_.string();
  const std::string missing = script + "/missing";
  struct Case {
    const char* name;
    const char* zmo;  // null: unset
    std::string agent_dir;
    std::vector<std::string> directory_lines;
  };
  const Case cases[] = {
      {"unset", nullptr, script, {}},
      {"empty", "", script, {}},
      {"equal to the agent's",
       script.c_str(),
       script,
       {"CImplProgramInfo::Execute: CurrentDirectory is already '" + script + "'",
        "CImplProgramInfo::Execute: CurrentDirectory restored to '" + script + "'"}},
      {"different from the agent's",
       script.c_str(),
       other,
       {"CImplProgramInfo::Execute: Changing CurrentDirectory from '" + other + "' to '" + script +
            "'",
        "CImplProgramInfo::Execute: CurrentDirectory restored to '" + other + "'"}},
      // The change fails unnoticed and the program runs where the agent is.
      {"not enterable",
       missing.c_str(),
       script,
       {"CImplProgramInfo::Execute: Changing CurrentDirectory from '" + script + "' to '" +
            missing + "'",
        "CImplProgramInfo::Execute: CurrentDirectory restored to '" + script + "'"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScopedEnv zmo("ZMO_HALBERD_DIR", c.zmo);
    const ScopedChdir agent(c.agent_dir);
    const Outcome outcome = RunEvent("pwd -P", DiskFullValues());

    std::vector<LogLine> expected = {
        {1, kAm, "Run Program :executing command [pwd -P] - Profile=Prof1, Model=DiskModel"}};
    for (const auto& line : c.directory_lines) expected.push_back({1, kAm, line});
    expected.push_back({2, kAm,
                        "Run Program : command [pwd -P] executed with RETCODE: 0 --STDOUT: " +
                            script + " --STDERR:  - Profile=Prof1, Model=DiskModel"});
    expected.push_back({3, "ZRVMethodProv", "Send indication of the event ZRV_ActionResult"});
    EXPECT_EQ(outcome.lines, expected);
    EXPECT_EQ(std::filesystem::current_path().string(), c.agent_dir);
    EXPECT_THAT(outcome.results, ElementsAre(ExpectedResult("pwd -P", 900, 0)));
  }
}

TEST_F(ProgramActionTest, MissingIdentityPropertiesBecomeNone) {
  ASSERT_EQ(ns_.Define(wbem::Class("Bare_Event").Property("Drive", CIM_STRING)), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("Numbered_Event")
                           .Property("EventId", CIM_UINT32)
                           .Property("event_key", CIM_STRING)
                           .Property("ModelName", CIM_STRING)),
            WBEM_S_NO_ERROR);
  struct Case {
    const char* name;
    std::string class_name;
    wbem::PropertyValues values;
    std::string event_id, event_key, model, severity;
  };
  const Case cases[] = {
      {"declared but null",
       "Disk_Full",
       {{"ProfileName", kProfile}, {"Drive", "C:"}},
       "None",
       "None",
       "None",
       "None"},
      {"not declared", "Bare_Event", {{"Drive", "C:"}}, "None", "None", "None", "None"},
      // A number is taken in its text form rather than dropped.
      {"numeric event id",
       "Numbered_Event",
       {{"EventId", 42}, {"ModelName", "M"}},
       "42",
       "None",
       "M",
       "None"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = RunEvent("echo ok", c.values, c.class_name);
    EXPECT_EQ(outcome.result, 1);

    std::vector<LogLine> expected = ExpectedRunLines("echo ok", 0, "ok", "", c.model);
    std::vector<LogLine> malformed;
    if (c.event_id == "None") {
      malformed.push_back(
          {0, kAm, "The event is malformed. The property EventId of  was not found"});
    }
    if (c.event_key == "None") {
      malformed.push_back(
          {0, kAm, "The event is malformed. The property event_key of  was not found"});
    }
    expected.insert(expected.begin() + 1, malformed.begin(), malformed.end());
    EXPECT_EQ(outcome.lines, expected);

    ResultEvent result = ExpectedResult("echo ok", 900, 0, c.severity);
    result.event_id = c.event_id;
    result.event_key = c.event_key;
    result.model_name = c.model;
    EXPECT_THAT(outcome.results, ElementsAre(result));
  }
}

TEST_F(ProgramActionTest, ExportsOnlyPropertiesTheEventClassDeclaresOrOverrides) {
  ASSERT_EQ(ns_.Define(wbem::Class("Disk_Full_C", "Disk_Full").Property("Letter", CIM_STRING)),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("Disk_Slow", "ZRV_Event")
                           .Property("ModelName", CIM_STRING, "SlowModel")
                           .Property("Latency", CIM_SINT32)
                           .Property("Healthy", CIM_BOOLEAN)),
            WBEM_S_NO_ERROR);
  struct Case {
    std::string class_name;
    wbem::PropertyValues values;
    std::map<std::string, std::string> own;  // the keys that start with the class name
    std::string model;
  };
  wbem::PropertyValues full_c = DiskFullValues();
  full_c.push_back({"Letter", "C"});
  const Case cases[] = {
      {"Disk_Full",
       DiskFullValues(),
       {{"Disk_Full_Drive", "C:"}, {"Disk_Full_Free", "10"}},
       kModel},
      // Drive and Free are inherited unchanged from Disk_Full here.
      {"Disk_Full_C", full_c, {{"Disk_Full_C_Letter", "C"}}, kModel},
      // An override counts as the class's own, even with the inherited value.
      {"Disk_Slow",
       {{"ProfileName", kProfile},
        {"EventId", "ev-17"},
        {"event_key", "C:|disk"},
        {"severity", "Critical"},
        {"Latency", -5},
        {"Healthy", false}},
       {{"Disk_Slow_Healthy", "FALSE"},
        {"Disk_Slow_Latency", "-5"},
        {"Disk_Slow_ModelName", "SlowModel"}},
       "SlowModel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.class_name);
    const Outcome outcome = RunEvent("env -0 > env.bin; echo done", c.values, c.class_name);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.lines,
              ExpectedRunLines("env -0 > env.bin; echo done", 0, "done", "", c.model));

    const auto env = ReadEnvDump("env.bin");
    std::map<std::string, std::string> own;
    for (const auto& [name, value] : env) {
      if (name.starts_with(c.class_name + "_")) own[name] = value;
    }
    EXPECT_EQ(own, c.own);
    const std::pair<std::string, std::string> fixed[] = {
        {"ZRV_EVENT", c.class_name}, {"EVENT_NAME", c.class_name}, {"EVENT_SEVERITY", "Critical"},
        {"ZRV_PROFILE", kProfile},   {"PROFILE", kProfile},        {"RESOURCE_MODEL", c.model},
        {"PROBE", kProbe},
    };
    for (const auto& [name, value] : fixed) {
      SCOPED_TRACE(name);
      const auto it = env.find(name);
      ASSERT_NE(it, env.end());
      EXPECT_EQ(it->second, value);
    }
    ResultEvent result = ExpectedResult("env -0 > env.bin; echo done", 900, 0);
    result.model_name = c.model;
    EXPECT_THAT(outcome.results, ElementsAre(result));
  }
}

TEST_F(ProgramActionTest, SeverityIsTheEventsOrNoneOrEmptyWithoutDefinition) {
  ASSERT_EQ(ns_.Define(wbem::Class("Bare_Event").Property("EventId", CIM_STRING)), WBEM_S_NO_ERROR);
  wbem::Namespace elsewhere = repo_.OpenNamespace("root\\elsewhere");
  ASSERT_EQ(elsewhere.Define(wbem::Class("Orphan_Event")
                                 .Property("EventId", CIM_STRING)
                                 .Property("severity", CIM_STRING)
                                 .Property("Drive", CIM_STRING)),
            WBEM_S_NO_ERROR);
  struct Case {
    const char* name;
    std::string class_name;
    const wbem::Namespace* ns;
    wbem::PropertyValues values;
    std::optional<std::string> exported;  // EVENT_SEVERITY; nullopt: absent
    std::string passed;                   // the result event's severity
    std::vector<LogLine> export_lines;
  };
  const Case cases[] = {
      {"string", "Disk_Full", &ns_, {{"severity", "Warning"}}, "Warning", "Warning", {}},
      {"null", "Disk_Full", &ns_, {{"severity", nullptr}}, "None", "None", {}},
      {"no such property", "Bare_Event", &ns_, {}, "None", "None", {}},
      {"no class definition",
       "Orphan_Event",
       &elsewhere,
       {{"severity", "Warning"}, {"Drive", "C:"}},
       std::nullopt,
       "",
       {{0, kAm, "The definition of the event Orphan_Event was not found in CIM Repository"}}},
  };
  const std::string command = "env -0 > env.bin; echo done";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    wbem::PropertyValues values = c.values;
    values.push_back({"EventId", "ev-17"});
    const Outcome outcome = RunEvent(command, values, c.class_name, c.ns);
    EXPECT_EQ(outcome.result, 1);

    const auto env = ReadEnvDump("env.bin");
    EXPECT_EQ(env.at("ZRV_EVENT"), c.class_name);
    EXPECT_EQ(env.at("EVENT_NAME"), c.class_name);
    if (c.exported) {
      EXPECT_EQ(env.at("EVENT_SEVERITY"), *c.exported);
    } else {
      EXPECT_THAT(env, Not(Contains(Key("EVENT_SEVERITY"))));
      EXPECT_THAT(env, Not(Contains(Key("Orphan_Event_Drive"))));
    }
    ASSERT_EQ(outcome.results.size(), 1u);
    EXPECT_EQ(outcome.results[0].severity, c.passed);

    // Neither class gives ModelName or event_key a value here.
    std::vector<LogLine> expected = ExpectedRunLines(command, 0, "done", "", "None");
    std::vector<LogLine> before_directory = {
        {0, kAm, "The event is malformed. The property event_key of  was not found"}};
    before_directory.insert(before_directory.end(), c.export_lines.begin(), c.export_lines.end());
    expected.insert(expected.begin() + 1, before_directory.begin(), before_directory.end());
    EXPECT_EQ(outcome.lines, expected);
  }
}

TEST_F(ProgramActionTest, UnreadableAndUnsupportedPropertiesAreSkippedWithTheirMessage) {
  ASSERT_EQ(ns_.Define(wbem::Class("Bare_Event").Property("Drive", CIM_STRING)), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("Disk_Report", "ZRV_Event")
                           .Property("Detail", CIM_OBJECT)
                           .Property("Drive", CIM_STRING)),
            WBEM_S_NO_ERROR);
  // The definition here names a property that the event from the other
  // namespace does not have.
  ASSERT_EQ(
      ns_.Define(
          wbem::Class("Split_Event").Property("Extra", CIM_STRING).Property("Drive", CIM_STRING)),
      WBEM_S_NO_ERROR);
  wbem::Namespace elsewhere = repo_.OpenNamespace("root\\elsewhere");
  ASSERT_EQ(elsewhere.Define(wbem::Class("Split_Event").Property("Drive", CIM_STRING)),
            WBEM_S_NO_ERROR);

  wbem::ComPtr<IWbemClassObject> detail;
  ASSERT_EQ(ns_.NewInstance("Bare_Event", {{"Drive", "D:"}}, &detail), WBEM_S_NO_ERROR);
  wbem::PropertyValues report = DiskFullValues();
  report.erase(report.end() - 2, report.end());  // Disk_Full's own Drive and Free
  report.push_back({"Detail", detail.get()});
  report.push_back({"Drive", "C:"});

  struct Case {
    std::string class_name;
    const wbem::Namespace* ns;
    wbem::PropertyValues values;
    LogLine message;
  };
  const Case cases[] = {
      {"Disk_Report",
       &ns_,
       report,
       {0, kAm, "The property Detail of the Event Disk_Report is of an unsupported type"}},
      {"Split_Event",
       &elsewhere,
       {{"Drive", "C:"}},
       {0, kAm, "Error in getting value of Extra property of Split_Event event"}},
  };
  const std::string command = "env -0 > env.bin; echo done";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.class_name);
    const Outcome outcome = RunEvent(command, c.values, c.class_name, c.ns);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_THAT(outcome.lines, Contains(c.message));
    const auto env = ReadEnvDump("env.bin");
    EXPECT_EQ(env.at(c.class_name + "_Drive"), "C:");
    EXPECT_THAT(env, Not(Contains(Key(c.class_name + "_Detail"))));
    EXPECT_THAT(env, Not(Contains(Key(c.class_name + "_Extra"))));
    EXPECT_EQ(outcome.results.size(), 1u);
  }
}

TEST_F(ProgramActionTest, AgentMarkerNeverReachesTheChildButTheRestOfTheAgentEnvironmentDoes) {
  const ScopedEnv marker("CHILD_OF_KAVDR", "1");
  const ScopedEnv other("AM_PROGRAM_TEST_AGENT_VARIABLE", "kept");
  const Outcome outcome = RunEvent("env -0 > env.bin; echo done", DiskFullValues());
  EXPECT_EQ(outcome.result, 1);
  const auto env = ReadEnvDump("env.bin");
  EXPECT_THAT(env, Not(Contains(Key("CHILD_OF_KAVDR"))));
  EXPECT_EQ(env.at("AM_PROGRAM_TEST_AGENT_VARIABLE"), "kept");
}

TEST_F(ProgramActionTest, EventValuesReachTheChildByteForByteAndAreNeverExecuted) {
  const std::string drive =
      "C:\" $(touch made_by_dollar) `touch made_by_backtick` ; touch made_by_semicolon\n"
      "second line\n\ttab 'single' \\ back \xC3\xA9 ${HOME} %PATH% \"";
  const std::string model = "$(touch made_by_model)\"`touch made_by_model_tick`\n";
  const std::string key = "k\"ey\n`touch made_by_key`";
  const std::string severity = "'; touch made_by_severity; '";
  wbem::PropertyValues values = {
      {"ProfileName", kProfile}, {"ModelName", model}, {"EventId", "ev-17"}, {"event_key", key},
      {"severity", severity},    {"Drive", drive},     {"Free", 10}};
  const std::string command = "env -0 > env.bin; echo done";
  const Outcome outcome = RunEvent(command, values);
  EXPECT_EQ(outcome.result, 1);

  const auto env = ReadEnvDump("env.bin");
  EXPECT_EQ(env.at("Disk_Full_Drive"), drive);
  EXPECT_EQ(env.at("RESOURCE_MODEL"), model);
  EXPECT_EQ(env.at("EVENT_SEVERITY"), severity);
  for (const auto& entry : std::filesystem::directory_iterator(script_dir_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("made_by"))
        << entry.path() << " was created: a value was executed";
  }
  ResultEvent result = ExpectedResult(command, 900, 0, severity);
  result.model_name = model;
  result.event_key = key;
  EXPECT_THAT(outcome.results, ElementsAre(result));
}

TEST_F(ProgramActionTest, EventRaisedForTheProfileRunsTheActionThroughTheSubscription) {
  const auto settings = MakeSettings("echo raised", "disk_full");
  CActionManagerSink sink(kProfile, *settings);
  ASSERT_EQ(sink.Start(services_.get()), 1);
  TakeLines();
  ASSERT_EQ(ns_.Raise("Disk_Full", DiskFullValues()), WBEM_S_NO_ERROR);
  // An event of another profile does not reach the sink.
  wbem::PropertyValues other = DiskFullValues();
  other[0].second = "Other profile";
  ASSERT_EQ(ns_.Raise("Disk_Full", other), WBEM_S_NO_ERROR);
  ASSERT_TRUE(repo_.WaitIdle());
  EXPECT_EQ(sink.Stop(), 1);
  EXPECT_EQ(TakeLines(), ExpectedRunLines("echo raised", 0, "raised", ""));
  EXPECT_THAT(TakeResults(), ElementsAre(ExpectedResult("echo raised", 900, 0)));
}

TEST_F(ProgramActionTest, NullEventRunsTheProgramWithNoneEverywhere) {
  const auto settings = MakeSettings("echo ok", "Disk_Full");
  CActionManagerSink sink(kProfile, *settings);
  ASSERT_EQ(sink.Start(services_.get()), 1);
  CProgramActionInfo info;
  info.m_strCommand = "echo ok";
  info.m_strDescriptiveName = kDescriptiveName;
  CImplProgramInfo executor(info);
  TakeLines();
  EXPECT_EQ(executor.Execute(&sink, nullptr), 1);
  ASSERT_TRUE(repo_.WaitIdle());
  sink.Stop();

  std::vector<LogLine> expected = ExpectedRunLines("echo ok", 0, "ok", "", "None");
  const std::vector<LogLine> before_directory = {
      {0, kAm, "The event is malformed. The property EventId of  was not found"},
      {0, kAm, "The event is malformed. The property event_key of  was not found"},
      {0, kAm, "Failed getting event Name"},
  };
  expected.insert(expected.begin() + 1, before_directory.begin(), before_directory.end());
  EXPECT_EQ(TakeLines(), expected);

  ResultEvent result = ExpectedResult("echo ok", 900, 0, "");
  result.event_id = result.event_key = result.model_name = "None";
  EXPECT_THAT(TakeResults(), ElementsAre(result));
}

TEST_F(ProgramActionTest, NullSinkIsRefusedWithoutRunning) {
  CProgramActionInfo info;
  info.m_strCommand = "touch must_not_exist";
  CImplProgramInfo executor(info);
  TakeLines();
  EXPECT_EQ(executor.Execute(nullptr, nullptr), 0);
  EXPECT_THAT(TakeLines(false),
              ElementsAre(LogLine{0, kAm,
                                  "Run Program : command [touch must_not_exist] not executed: no "
                                  "event sink"}));
  EXPECT_FALSE(std::filesystem::exists(script_dir_ / "must_not_exist"));
}

}  // namespace
}  // namespace program_actions::testing
