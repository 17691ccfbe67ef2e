#include "program_actions/impl_program_info.h"

AM_IMPLEMENT_DYNAMIC(CImplProgramInfo, CImplBaseActionInfo)

namespace {
// Stands in until program runs are built: a program action always fails.
int ProgramActionNotYetAvailable() { return 0; }
}  // namespace

int CImplProgramInfo::Execute(CActionManagerSink*, IWbemClassObject*) {
  return ProgramActionNotYetAvailable();
}
