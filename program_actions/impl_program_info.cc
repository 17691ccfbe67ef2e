#include "program_actions/impl_program_info.h"

#include <cstdlib>
#include <exception>
#include <string_view>
#include <vector>

#include "host/temporary_sink.h"
#include "host/trace_utils.h"
#include "actions/action_report.h"
#include "actions/event_text.h"
#include "actions/result_event.h"
#include "program_actions/working_directory.h"
#include "runner/command_runner.h"
#include "wbem/com_ptr.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"

AM_IMPLEMENT_DYNAMIC(CImplProgramInfo, CImplBaseActionInfo)

namespace {

constexpr char kComponent[] = "ActionManager";
constexpr char kWorkingDirectoryVariable[] = "ZMO_HALBERD_DIR";
constexpr char kSeverityKey[] = "EVENT_SEVERITY";

template <typename... Args>
void Log(int level, const char* format, const Args&... args) {
  CTraceUtils::GetInstance()->LogMsg(level, kComponent, format, args...);
}

// The event's class name; false when `__CLASS` cannot be read or holds no
// string (then there is no name under which anything could be exported).
bool ReadClassName(IWbemClassObject* event, std::string& name) {
  if (event == nullptr) return false;
  wbem::Variant value;
  if (event->Get(u"__CLASS", 0, value.Out(), nullptr, nullptr) < 0) return false;
  if (value.vt() != VT_BSTR || value.get().bstrVal == nullptr) return false;
  name = value.AsUtf8();
  return true;
}

// EventId and event_key name the event in the result event; a missing one is
// worth a line because the result can then not be matched to its event.
std::string ReadIdentityText(IWbemClassObject* event, const char16_t* name) {
  std::string text;
  if (!actions::ReadEventText(event, name, &text)) {
    Log(0, "The event is malformed. The property %S of  was not found", name);
  }
  return text;
}

}  // namespace

int CImplProgramInfo::Execute(CTemporarySink* sink, IWbemClassObject* event) {
  if (sink == nullptr) {
    Log(0, "Run Program : command [%s] not executed: no event sink", m_Info.m_strCommand);
    return 0;
  }
  try {
    return Run(*sink, event);
  } catch (const std::exception& e) {
    // Only an allocation can throw on the way; the directory guard inside
    // Run has already put the current directory back.
    Log(0, "Run Program : command [%s] abandoned: %s", m_Info.m_strCommand, e.what());
    return 0;
  }
}

int CImplProgramInfo::Run(CTemporarySink& sink, IWbemClassObject* event) {
  const std::vector<std::string> extra_arguments;
  runner::EnvironmentMap environment;

  std::string model;
  actions::ReadEventText(event, u"ModelName", &model);

  const std::string& command = m_Info.m_strCommand;
  const std::string& profile = sink.GetProfileName();
  Log(1, "Run Program :executing command [%s] - Profile=%s, Model=%s", command, profile, model);

  runner::CCommandRunner command_runner(m_Info.m_strProbe, BuildCommandLine(command), "", "FALSE",
                                        "UseArg");

  const std::string event_id = ReadIdentityText(event, u"EventId");
  const std::string event_key = ReadIdentityText(event, u"event_key");

  ExportEventToEnvironment(&sink, event, environment);

  // Empty, not "None", when the export stopped before the severity: the
  // result event then says the severity is unknown rather than absent.
  std::string severity;
  if (auto it = environment.find(kSeverityKey); it != environment.end()) severity = it->second;

  environment["ZRV_PROFILE"] = profile;
  environment["PROFILE"] = profile;
  environment["RESOURCE_MODEL"] = model;

  std::string output;
  std::string error;
  int code;
  {
    program_actions::ScopedWorkingDirectory directory(std::getenv(kWorkingDirectoryVariable));
    code = command_runner.Run(extra_arguments, output, error, environment);
    directory.Restore();
  }

  Log(2,
      "Run Program : command [%s] executed with RETCODE: %d --STDOUT: %s --STDERR: %s - "
      "Profile=%s, Model=%s",
      command, code, output, error, profile, model);

  actions::RecordActionOutput(output, error);

  // 1001 means nothing was captured: a program that prints nothing, or one
  // that could not be started, is not counted as a failed action.
  const bool succeeded = code == runner::kRunOk || code == runner::kRunNoOutput;
  NotifyResult(&sink, event_id, event_key,
               succeeded ? actions::kResultSucceeded : actions::kResultFailed,
               model.c_str(), command.c_str(), m_Info.m_strDescriptiveName.c_str(), code,
               severity.c_str());
  return succeeded ? 1 : 0;
}

std::string CImplProgramInfo::BuildCommandLine(const std::string& command) {
  // Not escaped: a quote inside the command ends the quoted argument early,
  // and the wrapper script receives the pieces as further arguments.
  std::string line = "perl scustom.pl \"";
  line += command;
  line += '"';
  return line;
}

void CImplProgramInfo::ExportEventToEnvironment(CTemporarySink* sink, IWbemClassObject* event,
                                                runner::EnvironmentMap& environment) {
  std::string class_name;
  if (!ReadClassName(event, class_name)) {
    Log(0, "Failed getting event Name");
    return;
  }
  environment["ZRV_EVENT"] = class_name;
  environment["EVENT_NAME"] = class_name;

  // The definition tells which properties the event's own class declares or
  // overrides; their values are read from the event itself.
  IWbemServices* services = sink != nullptr ? sink->GetServices() : nullptr;
  wbem::ComPtr<IWbemClassObject> definition;
  const wbem::Bstr class_path(class_name);
  if (services == nullptr ||
      services->GetObject(class_path.get(), 0, nullptr, definition.Out(), nullptr) != 0 ||
      !definition) {
    Log(0, "The definition of the event %s was not found in CIM Repository", class_name);
    return;
  }

  if (definition->BeginEnumeration(WBEM_FLAG_LOCAL_ONLY) >= 0) {
    wbem::Bstr name;
    while (definition->Next(0, name.Out(), nullptr, nullptr, nullptr) == 0) {
      if (name.get() == nullptr) continue;
      wbem::Variant value;
      if (event->Get(name.get(), 0, value.Out(), nullptr, nullptr) != 0) {
        Log(0, "Error in getting value of %S property of %s event", name.get(), class_name);
        continue;
      }
      std::string text;
      if (CTemporarySink::DecodeVariant(value.get(), text) == 0) {
        Log(0, "The property %S of the Event %s is of an unsupported type", name.get(), class_name);
        continue;
      }
      std::string key = class_name;
      key += '_';
      key += wbem::Utf16ToUtf8(name.view());
      environment[std::move(key)] = std::move(text);
    }
    definition->EndEnumeration();
  }

  std::string severity;
  actions::ReadEventText(event, u"severity", &severity);
  environment[kSeverityKey] = std::move(severity);
}

void CImplProgramInfo::NotifyResult(CTemporarySink* sink, const std::string& event_id,
                                    const std::string& event_key, int result_code,
                                    const char* model_name, const char* program,
                                    const char* descriptive_name, std::int32_t return_code,
                                    const char* severity) {
  actions::NotifyActionResult(actions::ResultVariant::kProgram, sink, event_id,
                                     event_key, result_code, model_name, program, descriptive_name,
                                     return_code, severity);
}
