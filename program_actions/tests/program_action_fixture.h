// The world the program action tests run in: a repository with the event
// classes and the result event class, a temporary directory holding the
// wrapper script and named by "ZMO_HALBERD_DIR", the log read line by line,
// and the agent's environment and current directory put back after each case.
//
// Cases run one after another in one process (the current directory and the
// environment are process-wide); the fixture fails a case that left the
// current directory changed.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "component/action_manager_sink.h"
#include "host/trace_utils.h"
#include "program_actions/impl_program_info.h"
#include "settings/action_manager_settings.h"
#include "wbem/repository.h"
#include "wbem/sinks.h"
#include "wbem/testing/leak_check.h"

namespace program_actions::testing {

struct LogLine {
  int level;
  std::string component;
  std::string message;
  bool operator==(const LogLine&) const = default;
};
void PrintTo(const LogLine& line, std::ostream* os);

// The properties of one ZRV_ActionResult event; nullopt stands for a null
// value.
struct ResultEvent {
  std::optional<std::string> model_name;
  std::optional<std::string> profile_name;
  std::optional<std::string> event_id;
  std::optional<std::string> event_key;
  std::int32_t progressive_number = 0;
  std::optional<std::string> msg_info;
  std::int32_t duration = 0;
  bool send_to_vox = true;
  bool send_to_kvrn = true;
  std::optional<std::string> severity;
  bool already_sent = false;
  std::optional<std::string> method;
  std::optional<std::string> descriptive_name;
  std::optional<std::string> program;
  std::int32_t return_code = 0;
  bool operator==(const ResultEvent&) const = default;
};
void PrintTo(const ResultEvent& event, std::ostream* os);
ResultEvent ReadResultEvent(IWbemClassObject* object);

// Sets or unsets an environment variable and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Changes the current directory and changes back.
class ScopedChdir {
 public:
  explicit ScopedChdir(const std::filesystem::path& directory);
  ~ScopedChdir();
  ScopedChdir(const ScopedChdir&) = delete;
  ScopedChdir& operator=(const ScopedChdir&) = delete;

 private:
  std::filesystem::path old_;
};

// What one event did: ProcessEvent's result, the log from the executor's
// first line on, and the result events indicated.
struct Outcome {
  int result = -1;
  std::vector<LogLine> lines;
  std::vector<ResultEvent> results;
};

class ProgramActionTest : public wbem::testing::LeakCheckedTest {
 protected:
  static constexpr char kProfile[] = "Prof1";
  static constexpr char kProbe[] = "disk_probe";
  static constexpr char kDescriptiveName[] = "Check the disk";
  static constexpr char kModel[] = "DiskModel";

  void SetUp() override;
  void TearDown() override;

  // Settings with one rule, filed under `class_name`, whose one action runs
  // `command`.
  static std::unique_ptr<CActionManagerSettings> MakeSettings(const std::string& command,
                                                              const std::string& class_name);

  // Builds the profile's sink for `command`, starts it on the test namespace
  // and hands it one event of `class_name` made in `ns` (the test namespace
  // when null).
  Outcome RunEvent(const std::string& command, const wbem::PropertyValues& values,
                   const std::string& class_name = "Disk_Full",
                   const wbem::Namespace* ns = nullptr);

  // The usual event: all of ZRV_Event's properties and Disk_Full's own.
  static wbem::PropertyValues DiskFullValues();

  // The lines of one run with the default directories (the agent in its own
  // directory, "ZMO_HALBERD_DIR" naming the script's).
  std::vector<LogLine> ExpectedRunLines(const std::string& command, int code,
                                        const std::string& output, const std::string& error,
                                        const std::string& model = kModel) const;

  // The result event of one run of the usual event.
  static ResultEvent ExpectedResult(const std::string& command, int msg_code, int return_code,
                                    const std::string& severity = "Critical");

  // The NUL-separated dump `env -0 > <file>` wrote, as a map.
  std::map<std::string, std::string> ReadEnvDump(const std::string& file) const;

  // The lines logged since the last call; by default only those from the
  // executor's first line ("Run Program :executing ...") on.
  std::vector<LogLine> TakeLines(bool from_executor_start = true);
  std::vector<ResultEvent> TakeResults();

  wbem::Repository repo_;
  wbem::Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  wbem::ComPtr<IWbemServices> services_;
  wbem::ComPtr<wbem::CollectingSink> results_ = wbem::CollectingSink::Create();

  std::filesystem::path script_dir_;  // holds scustom.pl; "ZMO_HALBERD_DIR"
  std::filesystem::path other_dir_;   // empty
  std::string start_dir_;             // the agent's directory at the start of a case

 private:
  std::unique_ptr<ScopedEnv> zmo_;
  std::unique_ptr<ScopedEnv> marker_;
  std::mutex lines_mu_;
  std::vector<LogLine> lines_;
};

}  // namespace program_actions::testing
