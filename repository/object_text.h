// The text form of a repository object, for logs and tools.
//
//   kMof:        instance of Disk_Full
//                {
//                    Drive = "C:";
//                    Free = 100;
//                };
//                (classes: `class Disk_Full : ZRV_Event` and typed properties,
//                 `[key] string Drive;` with ` = default` where one is set)
//   kSingleLine: Disk_Full{Drive="C:"; Free=100}
//
// Every non-system property appears, inherited ones included, in declaration
// order (a superclass's properties first). Values are written by
// FormatCimValue (wbem/cim.h). Works on any IWbemClassObject through its
// interface; an object that cannot be enumerated gives "(unreadable object)".
#pragma once

#include <string>

#include "repository/kit_names.h"
#include "wbem/interfaces.h"

namespace repository {

enum class TextStyle { kMof, kSingleLine };

std::string ObjectToText(IWbemClassObject* object, TextStyle style = TextStyle::kMof);

}  // namespace repository
