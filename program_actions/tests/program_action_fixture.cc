#include "program_actions/tests/program_action_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "runner/current_directory.h"
#include "wbem/holders.h"

namespace program_actions::testing {
namespace {

std::filesystem::path MakeTempDir(const char* tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / tag).string() + "_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  // The agent compares directories byte for byte, and getcwd reports the
  // resolved path, so a temporary directory behind a symbolic link must be
  // named by its resolved path too.
  return std::filesystem::canonical(pattern);
}

std::optional<std::string> ReadText(IWbemClassObject* object, const char16_t* name) {
  wbem::Variant value;
  if (object->Get(name, 0, value.Out(), nullptr, nullptr) != 0) return "<unreadable>";
  if (value.IsNull()) return std::nullopt;
  if (value.vt() != VT_BSTR) return "<not a string>";
  return value.AsUtf8();
}

std::int32_t ReadInt(IWbemClassObject* object, const char16_t* name) {
  wbem::Variant value;
  if (object->Get(name, 0, value.Out(), nullptr, nullptr) != 0 || value.vt() != VT_I4) {
    return -12345;
  }
  return value.get().lVal;
}

bool ReadBool(IWbemClassObject* object, const char16_t* name, bool fallback) {
  wbem::Variant value;
  if (object->Get(name, 0, value.Out(), nullptr, nullptr) != 0 || value.vt() != VT_BOOL) {
    return fallback;
  }
  return value.get().boolVal == VARIANT_TRUE;
}

void PrintOptional(const char* name, const std::optional<std::string>& text, std::ostream* os) {
  *os << name << "=" << (text ? "\"" + *text + "\"" : std::string("null")) << " ";
}

}  // namespace

void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "{" << line.level << ", " << line.component << ", \"" << line.message << "\"}";
}

void PrintTo(const ResultEvent& e, std::ostream* os) {
  *os << "{";
  PrintOptional("ModelName", e.model_name, os);
  PrintOptional("ProfileName", e.profile_name, os);
  PrintOptional("EventId", e.event_id, os);
  PrintOptional("event_key", e.event_key, os);
  *os << "ProgressiveNumber=" << e.progressive_number << " ";
  PrintOptional("MsgInfo", e.msg_info, os);
  *os << "Duration=" << e.duration << " Send2Vox=" << e.send_to_vox
      << " send_to_kvrn=" << e.send_to_kvrn << " ";
  PrintOptional("severity", e.severity, os);
  *os << "AlreadySent=" << e.already_sent << " ";
  PrintOptional("Method", e.method, os);
  PrintOptional("descriptive_name", e.descriptive_name, os);
  PrintOptional("program", e.program, os);
  *os << "return_code=" << e.return_code << "}";
}

ResultEvent ReadResultEvent(IWbemClassObject* o) {
  ResultEvent e;
  e.model_name = ReadText(o, u"ModelName");
  e.profile_name = ReadText(o, u"ProfileName");
  e.event_id = ReadText(o, u"EventId");
  e.event_key = ReadText(o, u"event_key");
  e.progressive_number = ReadInt(o, u"ProgressiveNumber");
  e.msg_info = ReadText(o, u"MsgInfo");
  e.duration = ReadInt(o, u"Duration");
  // The fallbacks are the opposite of the expected values, so that an unset
  // flag cannot pass.
  e.send_to_vox = ReadBool(o, u"Send2Vox", false);
  e.send_to_kvrn = ReadBool(o, u"send_to_kvrn", false);
  e.severity = ReadText(o, u"severity");
  e.already_sent = ReadBool(o, u"AlreadySent", true);
  e.method = ReadText(o, u"Method");
  e.descriptive_name = ReadText(o, u"descriptive_name");
  e.program = ReadText(o, u"program");
  e.return_code = ReadInt(o, u"return_code");
  return e;
}

ScopedEnv::ScopedEnv(std::string name, const char* value) : name_(std::move(name)) {
  if (const char* old = ::getenv(name_.c_str())) old_ = old;
  if (value != nullptr) {
    ::setenv(name_.c_str(), value, 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    ::setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    ::unsetenv(name_.c_str());
  }
}

ScopedChdir::ScopedChdir(const std::filesystem::path& directory)
    : old_(std::filesystem::current_path()) {
  std::filesystem::current_path(directory);
}

ScopedChdir::~ScopedChdir() { std::filesystem::current_path(old_); }

void ProgramActionTest::SetUp() {
  start_dir_ = runner::GetCurrentDirectoryText();
  ASSERT_FALSE(start_dir_.empty());

  script_dir_ = MakeTempDir("program_actions_script");
  other_dir_ = MakeTempDir("program_actions_other");
  ASSERT_FALSE(script_dir_.empty());
  ASSERT_FALSE(other_dir_.empty());
  ASSERT_NE(script_dir_.string(), start_dir_);
  std::filesystem::copy_file(AM_SCUSTOM_PL, script_dir_ / "scustom.pl");
  zmo_ = std::make_unique<ScopedEnv>("ZMO_HALBERD_DIR", script_dir_.c_str());
  marker_ = std::make_unique<ScopedEnv>("CHILD_OF_KAVDR", nullptr);

  ASSERT_EQ(ns_.Define(wbem::Class("ZRV_Event")
                           .Property("ProfileName", CIM_STRING)
                           .Property("ModelName", CIM_STRING)
                           .Property("EventId", CIM_STRING)
                           .Property("event_key", CIM_STRING)
                           .Property("severity", CIM_STRING)),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("Disk_Full", "ZRV_Event")
                           .Property("Drive", CIM_STRING)
                           .Property("Free", CIM_UINT32)),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(wbem::Class("ZRV_ActionResult")
                           .Property("ModelName", CIM_STRING)
                           .Property("ProfileName", CIM_STRING)
                           .Property("EventId", CIM_STRING)
                           .Property("event_key", CIM_STRING)
                           .Property("ProgressiveNumber", CIM_SINT32)
                           .Property("MsgInfo", CIM_STRING)
                           .Property("Duration", CIM_SINT32)
                           .Property("Send2Vox", CIM_BOOLEAN)
                           .Property("send_to_kvrn", CIM_BOOLEAN)
                           .Property("severity", CIM_STRING)
                           .Property("AlreadySent", CIM_BOOLEAN)
                           .Property("Method", CIM_STRING)
                           .Property("descriptive_name", CIM_STRING)
                           .Property("program", CIM_STRING)
                           .Property("return_code", CIM_SINT32)),
            WBEM_S_NO_ERROR);
  services_ = ns_.Services();
  ASSERT_EQ(ns_.Subscribe("SELECT * FROM ZRV_ActionResult", results_.get()), WBEM_S_NO_ERROR);

  CTraceUtils::GetInstance()->SetThreshold(3);
  CTraceUtils::GetInstance()->SetLineSink(
      [this](int level, const std::string& component, const std::string& message) {
        std::lock_guard lock(lines_mu_);
        lines_.push_back({level, component, message});
      });
}

void ProgramActionTest::TearDown() {
  CTraceUtils::GetInstance()->SetLineSink({});
  ns_.Unsubscribe(results_.get());
  EXPECT_EQ(runner::GetCurrentDirectoryText(), start_dir_)
      << "the case left the current directory changed";
  (void)runner::SetCurrentDirectoryText(start_dir_);
  marker_.reset();
  zmo_.reset();
  std::error_code ignored;
  if (!script_dir_.empty()) std::filesystem::remove_all(script_dir_, ignored);
  if (!other_dir_.empty()) std::filesystem::remove_all(other_dir_, ignored);
}

std::unique_ptr<CActionManagerSettings> ProgramActionTest::MakeSettings(
    const std::string& command, const std::string& class_name) {
  auto action = std::make_unique<CProgramActionInfo>();
  action->m_strCommand = command;
  action->m_strProbe = kProbe;
  action->m_strDescriptiveName = kDescriptiveName;
  action->m_strAux = "not read";
  CActionRule rule;
  rule.SetAt("run it", std::move(action));
  auto settings = std::make_unique<CActionManagerSettings>();
  settings->m_mapRules.SetAt(class_name, std::move(rule));
  return settings;
}

Outcome ProgramActionTest::RunEvent(const std::string& command, const wbem::PropertyValues& values,
                                    const std::string& class_name, const wbem::Namespace* ns) {
  Outcome outcome;
  const auto settings = MakeSettings(command, class_name);
  CActionManagerSink sink(kProfile, *settings);
  EXPECT_EQ(sink.Start(services_.get()), 1);
  wbem::ComPtr<IWbemClassObject> event;
  EXPECT_EQ((ns ? *ns : ns_).NewInstance(class_name, values, &event), WBEM_S_NO_ERROR);
  if (!event) return outcome;
  TakeLines();
  outcome.result = sink.ProcessEvent(event.get());
  EXPECT_TRUE(repo_.WaitIdle());
  sink.Stop();
  outcome.lines = TakeLines();
  outcome.results = TakeResults();
  return outcome;
}

wbem::PropertyValues ProgramActionTest::DiskFullValues() {
  return {{"ProfileName", kProfile},
          {"ModelName", kModel},
          {"EventId", "ev-17"},
          {"event_key", "C:|disk"},
          {"severity", "Critical"},
          {"Drive", "C:"},
          {"Free", 10}};
}

std::vector<LogLine> ProgramActionTest::ExpectedRunLines(const std::string& command, int code,
                                                         const std::string& output,
                                                         const std::string& error,
                                                         const std::string& model) const {
  const std::string dir = script_dir_.string();
  return {
      {1, "ActionManager",
       "Run Program :executing command [" + command + "] - Profile=Prof1, Model=" + model},
      {1, "ActionManager",
       "CImplProgramInfo::Execute: Changing CurrentDirectory from '" + start_dir_ + "' to '" + dir +
           "'"},
      {1, "ActionManager",
       "CImplProgramInfo::Execute: CurrentDirectory restored to '" + start_dir_ + "'"},
      {2, "ActionManager",
       "Run Program : command [" + command + "] executed with RETCODE: " + std::to_string(code) +
           " --STDOUT: " + output + " --STDERR: " + error + " - Profile=Prof1, Model=" + model},
      {3, "ZRVMethodProv", "Send indication of the event ZRV_ActionResult"},
  };
}

ResultEvent ProgramActionTest::ExpectedResult(const std::string& command, int msg_code,
                                              int return_code, const std::string& severity) {
  ResultEvent e;
  e.model_name = kModel;
  e.profile_name = kProfile;
  e.event_id = "ev-17";
  e.event_key = "C:|disk";
  e.msg_info = "ZRV_CorrelatedEvents|" + std::to_string(msg_code);
  e.severity = severity;
  e.method = std::nullopt;
  e.descriptive_name = kDescriptiveName;
  e.program = command;
  e.return_code = return_code;
  return e;
}

std::map<std::string, std::string> ProgramActionTest::ReadEnvDump(const std::string& file) const {
  std::ifstream in(script_dir_ / file, std::ios::binary);
  const std::string dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::map<std::string, std::string> env;
  std::size_t start = 0;
  while (start < dump.size()) {
    std::size_t end = dump.find('\0', start);
    if (end == std::string::npos) end = dump.size();
    const std::string entry = dump.substr(start, end - start);
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    start = end + 1;
  }
  return env;
}

std::vector<LogLine> ProgramActionTest::TakeLines(bool from_executor_start) {
  std::lock_guard lock(lines_mu_);
  std::vector<LogLine> lines;
  // The component's own lines come before the executor's first one.
  bool started = !from_executor_start;
  for (auto& line : lines_) {
    started = started || line.message.starts_with("Run Program :executing");
    if (started) lines.push_back(std::move(line));
  }
  lines_.clear();
  return lines;
}

std::vector<ResultEvent> ProgramActionTest::TakeResults() {
  std::vector<ResultEvent> events;
  for (const auto& object : results_->Objects()) events.push_back(ReadResultEvent(object.get()));
  results_->Clear();
  return events;
}

}  // namespace program_actions::testing
