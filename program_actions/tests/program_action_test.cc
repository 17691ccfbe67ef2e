// Program actions end to end: the real sink and rule executor, the in-memory
// repository, the wrapper script and real child processes. A temporary
// directory holds the wrapper script and is named by "ZMO_HALBERD_DIR"; the
// agent's environment and current directory are put back after each case,
// and a case that left the current directory changed fails.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "actions/testing/action_world.h"
#include "program_actions/impl_program_info.h"
#include "runner/current_directory.h"
#include "settings/action_rule.h"
#include "testing/temp_dir.h"

namespace program_actions::testing {
namespace {

using namespace actions::testing;  // NOLINT(build/namespaces)
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kProfile[] = "Prof1";
constexpr char kModel[] = "DiskModel";
constexpr char kDescriptiveName[] = "Check the disk";
constexpr char kDump[] = "env -0 > env.bin; echo done";  // the child's environment, then "done"

// Sets `name` to `value`, or unsets it when `value` is null.
void SetEnv(const char* name, const char* value) {
  value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
}

class ProgramActionTest : public ActionWorld {
 protected:
  void SetUp() override {
    start_dir_ = runner::GetCurrentDirectoryText();
    ASSERT_FALSE(start_dir_.empty());
    // Resolved paths: the agent compares directories byte for byte, and
    // getcwd reports resolved paths.
    script_dir_ = std::filesystem::canonical(script_temp_.path());
    std::filesystem::copy_file(AM_SCUSTOM_PL, script_dir_ / "scustom.pl");
    for (char** entry = environ; *entry != nullptr; ++entry) saved_env_.emplace_back(*entry);
    SetEnv("ZMO_HALBERD_DIR", script_dir_.c_str());
    // The agent's own marker stays with the agent; the rest of its environment goes along.
    SetEnv("CHILD_OF_KAVDR", "1");
    SetEnv("AM_PROGRAM_TEST_AGENT_VARIABLE", "kept");
    ASSERT_NO_FATAL_FAILURE(ActionWorld::SetUp());
    ASSERT_EQ(ns_.Define(repository::Class("Disk_Full", "ZRV_Event")
                             .Property("Drive", CIM_STRING)
                             .Property("Free", CIM_UINT32)),
              WBEM_S_NO_ERROR);
  }
  void TearDown() override {
    ActionWorld::TearDown();
    EXPECT_EQ(runner::GetCurrentDirectoryText(), start_dir_) << "the case left the directory";
    (void)runner::SetCurrentDirectoryText(start_dir_);
    ::clearenv();
    for (const std::string& entry : saved_env_) {
      const std::size_t eq = entry.find('=');
      ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
  }

  static std::unique_ptr<CActionManagerSettings> Settings(const std::string& command,
                                                          const std::string& class_name) {
    auto action = std::make_unique<CProgramActionInfo>();
    action->m_strCommand = command;
    action->m_strProbe = "disk_probe";
    action->m_strDescriptiveName = kDescriptiveName;
    action->m_strAux = "not read";
    auto settings = std::make_unique<CActionManagerSettings>();
    AddRule(*settings, class_name, ActionList(std::move(action)));
    return settings;
  }

  // Runs `command` for one event of `class_name` made in `ns` (root\zrv when
  // null) through a started sink of the profile; returns ProcessEvent's
  // result, and leaves the log from the executor's first line on in lines_.
  int RunEvent(const std::string& command, const repository::PropertyValues& values,
               const std::string& class_name = "Disk_Full",
               const repository::Namespace* ns = nullptr) {
    CActionManagerSink sink(kProfile, *Settings(command, class_name));
    EXPECT_EQ(sink.Start(services_.get()), 1);
    auto event = NewEvent(class_name, values, ns);
    journal_->Take();
    const int result = event ? Process(sink, event.get()) : -1;
    sink.Stop();
    // The component's own lines come before the executor's first one.
    lines_ = journal_->Take();
    lines_.erase(lines_.begin(), std::find_if(lines_.begin(), lines_.end(), [](const auto& line) {
                   return line.starts_with("1 ActionManager: Run Program :executing");
                 }));
    return result;
  }

  // clang-format off
  static repository::PropertyValues DiskFullValues() {
    return {{"ProfileName", kProfile}, {"ModelName", kModel}, {"EventId", "ev-17"},
            {"event_key", "C:|disk"},  {"severity", "Critical"}, {"Drive", "C:"},
            {"Free", 10}};
  }
  // clang-format on

  // The lines of one run; `inserted` goes after the first, `directory` holds
  // the directory lines (by default those of the agent in its own directory
  // and "ZMO_HALBERD_DIR" naming the script's).
  std::vector<std::string> RunLines(const std::string& command, int code, const std::string& output,
                                    const std::string& error, const std::string& model = kModel,
                                    std::vector<std::string> inserted = {},
                                    std::optional<std::vector<std::string>> directory = {}) const {
    const std::string am = "1 ActionManager: CImplProgramInfo::Execute: ";
    std::vector<std::string> lines = {"1 ActionManager: Run Program :executing command [" +
                                      command + "] - Profile=Prof1, Model=" + model};
    lines.insert(lines.end(), inserted.begin(), inserted.end());
    if (!directory) {
      directory = {
          "Changing CurrentDirectory from '" + start_dir_ + "' to '" + script_dir_.string() + "'",
          "CurrentDirectory restored to '" + start_dir_ + "'"};
    }
    for (const std::string& line : *directory) lines.push_back(am + line);
    lines.push_back("2 ActionManager: Run Program : command [" + command +
                    "] executed with RETCODE: " + std::to_string(code) + " --STDOUT: " + output +
                    " --STDERR: " + error + " - Profile=Prof1, Model=" + model);
    lines.push_back("3 ZRVMethodProv: Send indication of the event ZRV_ActionResult");
    return lines;
  }

  // The result event of one run of the usual event, as TakeResultText shows it.
  static std::string Result(const std::string& command, int msg_code, int return_code) {
    return "AlreadySent=FALSE Duration=0 EventId=\"ev-17\" Method=NULL ModelName=\"DiskModel\" "
           "MsgInfo=\"ZRV_CorrelatedEvents|" +
           std::to_string(msg_code) +
           "\" ProfileName=\"Prof1\" "
           "ProgressiveNumber=0 Send2Vox=TRUE descriptive_name=\"Check the disk\" "
           "event_key=\"C:|disk\" program=" +
           Mof(command) + " return_code=" + std::to_string(return_code) +
           " send_to_kvrn=TRUE severity=\"Critical\"\n";
  }

  // Of the NUL-separated dump that kDump wrote, the variables that start with
  // `prefix` and those the agent sets or must keep from the child.
  std::map<std::string, std::string> ReadEnvDump(const std::string& prefix) const {
    static const std::set<std::string> kWatched = {"AM_PROGRAM_TEST_AGENT_VARIABLE",
                                                   "CHILD_OF_KAVDR",
                                                   "EVENT_NAME",
                                                   "EVENT_SEVERITY",
                                                   "PROBE",
                                                   "PROFILE",
                                                   "RESOURCE_MODEL",
                                                   "ZRV_EVENT",
                                                   "ZRV_PROFILE"};
    std::ifstream in(script_dir_ / "env.bin", std::ios::binary);
    std::map<std::string, std::string> env;
    for (std::string entry; std::getline(in, entry, '\0');) {
      const std::string name = entry.substr(0, entry.find('='));
      if (name.starts_with(prefix) || kWatched.contains(name))
        env[name] = entry.substr(name.size() + 1);
    }
    return env;
  }

  amtest::TempDir script_temp_;
  std::string start_dir_;               // the agent's directory at the start of a case
  std::filesystem::path script_dir_;    // holds scustom.pl; "ZMO_HALBERD_DIR"
  std::vector<std::string> saved_env_;  // the agent's environment, put back after each case
  std::vector<std::string> lines_;
};

const std::string kMalformed = "0 ActionManager: The event is malformed. The property ";

TEST_F(ProgramActionTest, ResultCodeDecidesOutcomeAndResultEvent) {
  struct Case {
    std::string command;
    int code;
    std::string output, error;
    int msg_code, result;
  };
  const Case cases[] = {
      {"echo first; echo second", 0, "first", "", 900, 1},
      {"true", 1001, "", "<STDOUT EMPTY>", 900, 1},  // no output at all
      {"echo out; echo oops >&2; echo more >&2", 1, "out", "oops", 901, 0},
      {"echo out; exit 7", 7, "out", "", 901, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(RunEvent(c.command, DiskFullValues()), c.result);
    EXPECT_EQ(lines_, RunLines(c.command, c.code, c.output, c.error));
    EXPECT_EQ(TakeResultText(), Result(c.command, c.msg_code, c.code));
  }
}

TEST_F(ProgramActionTest, WorkingDirectoryFollowsZmoHalberdDirAndIsRestored) {
  const std::string script = script_dir_.string();
  const std::string missing = script + "/missing";
  const std::string changing = "Changing CurrentDirectory from '";
  struct Case {
    const char* zmo;  // null: unset
    std::string agent_dir;
    std::vector<std::string> directory_lines;
  };
  // clang-format off
  const Case cases[] = {
      {nullptr, script, {}},
      {script.c_str(), script,
       {"CurrentDirectory is already '" + script + "'",
        "CurrentDirectory restored to '" + script + "'"}},
      {script.c_str(), "/",
       {changing + "/' to '" + script + "'", "CurrentDirectory restored to '/'"}},
      // The change fails unnoticed and the program runs where the agent is.
      {missing.c_str(), script,
       {changing + script + "' to '" + missing + "'",
        "CurrentDirectory restored to '" + script + "'"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zmo == nullptr ? "unset" : c.zmo);
    SCOPED_TRACE(c.agent_dir);
    SetEnv("ZMO_HALBERD_DIR", c.zmo);
    std::filesystem::current_path(c.agent_dir);
    EXPECT_EQ(RunEvent("pwd -P", DiskFullValues()), 1);
    EXPECT_EQ(lines_, RunLines("pwd -P", 0, script, "", kModel, {}, c.directory_lines));
    EXPECT_EQ(std::filesystem::current_path().string(), c.agent_dir);
    std::filesystem::current_path(start_dir_);
    EXPECT_EQ(TakeResultText(), Result("pwd -P", 900, 0));
  }
}

// What reaches the child's environment: the fixed variables, the event
// class's own properties (declared or overridden there) named after the
// class, byte for byte and never executed; what cannot be read or has no
// text form is skipped with its message. Without a class definition in the
// sink's namespace nothing of the event is exported, the severity included.
TEST_F(ProgramActionTest, ExportsTheEventClasssOwnPropertiesToTheChild) {
  repository::Namespace elsewhere = repo_.OpenNamespace("root\\elsewhere");
  auto define = [](const repository::Namespace& ns, const repository::Class& definition) {
    EXPECT_EQ(ns.Define(definition), WBEM_S_NO_ERROR);
  };
  using repository::Class;
  // Split_Event's definition here names a property that the event from the
  // other namespace does not have; Orphan_Event has no definition here at all.
  // clang-format off
  define(ns_, Class("Disk_Full_C", "Disk_Full").Property("Letter", CIM_STRING));
  define(ns_, Class("Disk_Slow", "ZRV_Event").Property("ModelName", CIM_STRING, "SlowModel")
                  .Property("Latency", CIM_SINT32).Property("Healthy", CIM_BOOLEAN));
  define(ns_, Class("Bare_Event").Property("Drive", CIM_STRING));
  define(ns_, Class("Disk_Report", "ZRV_Event").Property("Detail", CIM_OBJECT)
                  .Property("Drive", CIM_STRING));
  define(ns_, Class("Split_Event").Property("Extra", CIM_STRING).Property("Drive", CIM_STRING));
  define(elsewhere, Class("Split_Event").Property("Drive", CIM_STRING));
  define(elsewhere, Class("Orphan_Event").Property("EventId", CIM_STRING)
                        .Property("severity", CIM_STRING).Property("Drive", CIM_STRING));
  // clang-format on
  auto detail = NewEvent("Bare_Event", {{"Drive", "D:"}});
  const std::string drive =
      "C:\" $(touch made_by_dollar) `touch made_by_backtick` ; touch made_by_semicolon\n"
      "second line\n\ttab 'single' \\ back \xC3\xA9 ${HOME} %PATH% \"";
  const std::string model = "$(touch made_by_model)\"`touch made_by_model_tick`\n";
  const std::string key = "k\"ey\n`touch made_by_key`";
  const std::string severity = "'; touch made_by_severity; '";
  // clang-format off
  repository::PropertyValues hostile = {{"ProfileName", kProfile}, {"ModelName", model},
                                        {"EventId", "ev-17"},      {"event_key", key},
                                        {"severity", severity},    {"Drive", drive},
                                        {"Free", 10}};
  // clang-format on
  repository::PropertyValues full_c = DiskFullValues();
  full_c.push_back({"Letter", "C"});
  repository::PropertyValues slow = DiskFullValues();
  slow.erase(slow.begin() + 1);  // ModelName, which Disk_Slow overrides with a default
  slow.resize(4);                // without Disk_Full's own Drive and Free
  slow.insert(slow.end(), {{"Latency", -5}, {"Healthy", false}});
  const std::string no_event_key = kMalformed + "event_key of  was not found";
  struct Case {
    std::string class_name;
    const repository::Namespace* ns;
    repository::PropertyValues values;
    std::map<std::string, std::string> own;  // the variables that start with the class name
    std::string model, severity;             // as exported; severity "-": not exported
    std::vector<std::string> inserted;       // the lines after the executor's first
  };
  // clang-format off
  const Case cases[] = {
      {"Disk_Full", nullptr, DiskFullValues(),
       {{"Disk_Full_Drive", "C:"}, {"Disk_Full_Free", "10"}}, kModel, "Critical", {}},
      {"Disk_Full", nullptr, hostile, {{"Disk_Full_Drive", drive}, {"Disk_Full_Free", "10"}},
       model, severity, {}},
      // Drive and Free are inherited unchanged from Disk_Full here.
      {"Disk_Full_C", nullptr, full_c, {{"Disk_Full_C_Letter", "C"}}, kModel, "Critical", {}},
      // An override counts as the class's own, even with the inherited value.
      {"Disk_Slow", nullptr, slow, {{"Disk_Slow_Healthy", "FALSE"}, {"Disk_Slow_Latency", "-5"},
       {"Disk_Slow_ModelName", "SlowModel"}}, "SlowModel", "Critical", {}},
      {"Disk_Report", nullptr, {{"ProfileName", kProfile}, {"Detail", detail.get()}, {"Drive", "C:"}},
       {{"Disk_Report_Drive", "C:"}}, "None", "None",
       {"0 ActionManager: The property Detail of the Event Disk_Report is of an unsupported type"}},
      {"Split_Event", &elsewhere, {{"Drive", "C:"}}, {{"Split_Event_Drive", "C:"}}, "None", "None",
       {kMalformed + "EventId of  was not found", no_event_key,
        "0 ActionManager: Error in getting value of Extra property of Split_Event event"}},
      {"Orphan_Event", &elsewhere, {{"EventId", "ev-17"}, {"severity", "Warning"}, {"Drive", "C:"}},
       {}, "None", "-", {no_event_key, "0 ActionManager: The definition of the event "
                                       "Orphan_Event was not found in CIM Repository"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.class_name + (c.model == model ? " (hostile values)" : ""));
    EXPECT_EQ(RunEvent(kDump, c.values, c.class_name, c.ns), 1);
    EXPECT_EQ(lines_, RunLines(kDump, 0, "done", "", c.model, c.inserted));
    std::map<std::string, std::string> expected = c.own;
    expected.insert({{"AM_PROGRAM_TEST_AGENT_VARIABLE", "kept"},
                     {"EVENT_NAME", c.class_name},
                     {"PROBE", "disk_probe"},
                     {"PROFILE", kProfile},
                     {"RESOURCE_MODEL", c.model},
                     {"ZRV_EVENT", c.class_name},
                     {"ZRV_PROFILE", kProfile}});
    if (c.severity != "-") expected["EVENT_SEVERITY"] = c.severity;
    EXPECT_EQ(ReadEnvDump(c.class_name + "_"), expected);
    for (const auto& entry : std::filesystem::directory_iterator(script_dir_)) {
      EXPECT_FALSE(entry.path().filename().string().starts_with("made_by"))
          << entry.path() << " was created: a value was executed";
    }
    const std::string event_key = c.model == model ? key : c.model == "None" ? "None" : "C:|disk";
    EXPECT_EQ(TakeResultText({"ModelName", "severity", "event_key"}),
              "ModelName=" + Mof(c.model) + " severity=" +
                  Mof(c.severity == "-" ? "" : c.severity) + " event_key=" + Mof(event_key) + "\n");
  }
}

TEST_F(ProgramActionTest, NullSinkNullEventAndFaultyEventsStopWhereTheyMust) {
  CProgramActionInfo info;
  info.m_strCommand = kDump;
  info.m_strDescriptiveName = kDescriptiveName;
  CImplProgramInfo executor(info);
  CActionManagerSink sink(kProfile, *Settings("unused", "Disk_Full"));
  ASSERT_EQ(sink.Start(services_.get()), 1);
  journal_->Take();

  // No sink: refused without running.
  EXPECT_EQ(executor.Execute(nullptr, nullptr), 0);
  EXPECT_THAT(journal_->Take(), ElementsAre("0 ActionManager: Run Program : command [" +
                                            std::string(kDump) + "] not executed: no event sink"));
  EXPECT_FALSE(std::filesystem::exists(script_dir_ / "env.bin"));

  // No event: the program runs with "None" everywhere.
  EXPECT_EQ(executor.Execute(&sink, nullptr), 1);
  EXPECT_EQ(journal_->Take(), RunLines(kDump, 0, "done", "", "None",
                                       {kMalformed + "EventId of  was not found",
                                        kMalformed + "event_key of  was not found",
                                        "0 ActionManager: Failed getting event Name"}));
  std::string result = Result(kDump, 900, 0);
  for (const char* value : {"ev-17", "C:|disk", "DiskModel"}) {
    result.replace(result.find(value), std::string(value).size(), "None");
  }
  EXPECT_EQ(TakeResultText(), result.replace(result.find("Critical"), 8, ""));

  // The stopping points the repository never produces by itself: an
  // unreadable class name exports nothing; a class that refuses to enumerate
  // its properties exports the class name and severity only.
  auto event = NewEvent("Disk_Full", DiskFullValues());
  const runner::EnvironmentMap before = {{"ALREADY_THERE", "kept"}};
  runner::EnvironmentMap environment = before;
  executor.ExportEventToEnvironment(
      &sink, WrapEvent(event.get(), {{u"__CLASS", {WBEM_E_FAILED, nullptr}}}).get(), environment);
  EXPECT_EQ(environment, before);
  EXPECT_THAT(journal_->Take(), ElementsAre("0 ActionManager: Failed getting event Name"));
  journal_->faults.enumerate_class = WBEM_E_FAILED;
  executor.ExportEventToEnvironment(&sink, event.get(), environment);
  EXPECT_EQ(environment, (runner::EnvironmentMap{{"ALREADY_THERE", "kept"},
                                                 {"EVENT_NAME", "Disk_Full"},
                                                 {"EVENT_SEVERITY", "Critical"},
                                                 {"ZRV_EVENT", "Disk_Full"}}));
  EXPECT_THAT(journal_->Take(), IsEmpty());
  sink.Stop();
}

}  // namespace
}  // namespace program_actions::testing
