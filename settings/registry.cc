#include "settings/registry.h"

#include <iterator>

#include "settings/action_info.h"
#include "settings/action_manager_settings.h"
#include "settings/action_rule.h"
#include "settings/list_parameters.h"
#include "settings/params.h"

namespace {

const CRuntimeClass* const kClasses[] = {
    &CParamsList::classCParamsList,
    &CBaseActionInfo::classCBaseActionInfo,
    &CBuiltInActionInfo::classCBuiltInActionInfo,
    &CTaskActionInfo::classCTaskActionInfo,
    &CProgramActionInfo::classCProgramActionInfo,
    &CActionRule::classCActionRule,
    &CActionManagerSettings::classCActionManagerSettings,
    &CStringListParameter::classCStringListParameter,
    &CNumericListParameter::classCNumericListParameter,
};

}  // namespace

bool AmRegisterSettingsClasses() {
  for (std::size_t i = 0; i < std::size(kClasses); ++i) {
    if (!AmRegisterClass(kClasses[i])) {
      while (i > 0) AmUnregisterClass(kClasses[--i]);
      return false;
    }
  }
  return true;
}

void AmUnregisterSettingsClasses() {
  for (const CRuntimeClass* c : kClasses) AmUnregisterClass(c);
}
