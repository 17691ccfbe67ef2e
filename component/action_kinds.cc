#include "component/action_kinds.h"

#include "method_actions/impl_builtin_action_info.h"
#include "program_actions/impl_program_info.h"

namespace component {
namespace {

template <typename Info, typename Executor>
std::unique_ptr<CImplBaseActionInfo> Make(const CBaseActionInfo& info) {
  return std::make_unique<Executor>(static_cast<const Info&>(info));
}

struct ActionKind {
  const CRuntimeClass* description;
  std::unique_ptr<CImplBaseActionInfo> (*make)(const CBaseActionInfo& info);
  const CRuntimeClass* executor;
  AmActionKind kind;
};

// Tried in this order. The order matters only for a description derived from
// two kinds, which none is; it is kept as the rule executor's documented order.
const ActionKind kActionKinds[] = {
    {&CBuiltInActionInfo::classCBuiltInActionInfo, &Make<CBuiltInActionInfo, CImplBuiltInActionInfo>,
     &CImplBuiltInActionInfo::classCImplBuiltInActionInfo, AmActionKind::kBuiltIn},
    {&CTaskActionInfo::classCTaskActionInfo, &Make<CTaskActionInfo, CImplTaskActionInfo>,
     &CImplTaskActionInfo::classCImplTaskActionInfo, AmActionKind::kTask},
    {&CProgramActionInfo::classCProgramActionInfo, &Make<CProgramActionInfo, CImplProgramInfo>,
     &CImplProgramInfo::classCImplProgramInfo, AmActionKind::kProgram},
};

}  // namespace

std::unique_ptr<CImplBaseActionInfo> CreateActionExecutor(const CBaseActionInfo& info) {
  for (const ActionKind& kind : kActionKinds) {
    if (info.IsKindOf(kind.description)) return kind.make(info);
  }
  return nullptr;
}

AmActionKind ActionKindOf(const CImplBaseActionInfo& executor) {
  for (const ActionKind& kind : kActionKinds) {
    if (executor.IsKindOf(kind.executor)) return kind.kind;
  }
  return AmActionKind::kBuiltIn;  // not reached: every executor is made above
}

}  // namespace component
