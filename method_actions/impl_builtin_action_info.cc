#include "method_actions/impl_builtin_action_info.h"

AM_IMPLEMENT_DYNAMIC(CImplBuiltInActionInfo, CImplBaseActionInfo)

namespace {
// Stands in until method calls are built: a built-in action always fails.
int BuiltInActionNotYetAvailable() { return 0; }
}  // namespace

int CImplBuiltInActionInfo::Execute(CActionManagerSink*, IWbemClassObject*) {
  return BuiltInActionNotYetAvailable();
}
