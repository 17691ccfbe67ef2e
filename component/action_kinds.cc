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
};

// Tried in this order. The order matters only for a description derived from
// two kinds, which none is; it is kept as the rule executor's documented order.
const ActionKind kActionKinds[] = {
    {&CBuiltInActionInfo::classCBuiltInActionInfo, &Make<CBuiltInActionInfo, CImplBuiltInActionInfo>},
    {&CTaskActionInfo::classCTaskActionInfo, &Make<CTaskActionInfo, CImplTaskActionInfo>},
    {&CProgramActionInfo::classCProgramActionInfo, &Make<CProgramActionInfo, CImplProgramInfo>},
};

}  // namespace

std::unique_ptr<CImplBaseActionInfo> CreateActionExecutor(const CBaseActionInfo& info) {
  for (const ActionKind& kind : kActionKinds) {
    if (info.IsKindOf(kind.description)) return kind.make(info);
  }
  return nullptr;
}

}  // namespace component
