#include "settings/string_map.h"

AM_IMPLEMENT_DYNAMIC(CMapStringToOb, CObject)
