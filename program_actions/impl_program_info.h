// CImplProgramInfo: the executor of a program action. Execute exports the
// event into an environment map, sets the working directory from
// "ZMO_HALBERD_DIR", runs "perl scustom.pl \"<command>\"" through a command
// runner, and reports the outcome as a ZRV_ActionResult event.
//
// The wrapper script scustom.pl is looked up in the program's working
// directory: "ZMO_HALBERD_DIR" when it is set, else the agent's own.
//
// Everything one Execute obtains is released before it returns. Runs on the
// event's delivery thread. The process's current directory is changed for the
// duration of a run and restored afterwards, without a lock: other threads of
// the process see the program's directory meanwhile.
#pragma once

#include <cstdint>
#include <string>

#include "actions/impl_base_action_info.h"
#include "runner/environment_map.h"
#include "settings/action_info.h"
#include "wbem/interfaces.h"

class CImplProgramInfo : public CImplBaseActionInfo {
  AM_DECLARE_DYNAMIC(CImplProgramInfo)

 public:
  explicit CImplProgramInfo(const CProgramActionInfo& info) { m_Info = info; }

  // 1 when the command runner's result code is 0 or 1001, else 0.
  int Execute(CTemporarySink* sink, IWbemClassObject* event) override;
  std::uint16_t GetExecutionLimit() const override { return m_Info.m_wExecLimit; }

  // Exports the event's class name, its own properties and its severity into
  // `environment` (keys are case-sensitive; setting a key replaces its value).
  void ExportEventToEnvironment(CTemporarySink* sink, IWbemClassObject* event,
                                runner::EnvironmentMap& environment);

  // Indicates the ZRV_ActionResult event of this executor (the program
  // variant). Texts passed as nullptr are absent and sent as null.
  void NotifyResult(CTemporarySink* sink, const std::string& event_id,
                    const std::string& event_key, int result_code, const char* model_name,
                    const char* program, const char* descriptive_name, std::int32_t return_code,
                    const char* severity);

  const CProgramActionInfo& GetInfo() const { return m_Info; }

  // The line handed to the command runner: perl scustom.pl "<command>", the
  // command not escaped (a quote inside it stays as it is).
  static std::string BuildCommandLine(const std::string& command);

 private:
  // Execute's work for a non-null sink; may throw only std::bad_alloc, which
  // Execute turns into a failed action.
  int Run(CTemporarySink& sink, IWbemClassObject* event);

  CProgramActionInfo m_Info;
};
