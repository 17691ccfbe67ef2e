#include "actions/impl_base_action_info.h"

AM_IMPLEMENT_DYNAMIC(CImplBaseActionInfo, CObject)
AM_IMPLEMENT_DYNAMIC(CImplTaskActionInfo, CImplBaseActionInfo)
