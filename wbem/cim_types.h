// The scalar CIM types in one table: each type's MOF name, the variant type
// that carries its values, and its kind. Every layer that asks something of a
// CIM type (the repository's conversions, the built-in action's object paths,
// the scenario reader, amctl's checks) reads it here, so a type is described
// once. The kit holds it because the kit defines the CIM type numbers.
//
// Values travel as the management interface carries them:
//
//   CIM type                                    variant
//   sint8, sint16, char16                       VT_I2
//   uint8                                       VT_UI1
//   uint16, sint32, uint32                      VT_I4 (uint32 as its 32 bits)
//   sint64, uint64, datetime, string, reference VT_BSTR (64-bit numbers in decimal)
//   real32 / real64                             VT_R4 / VT_R8
//   boolean                                     VT_BOOL
//   object                                      VT_UNKNOWN (an IWbemClassObject)
//
// Constant data; thread-safe.
#pragma once

#include <span>
#include <string_view>

#include "wbem/types.h"

namespace wbem {

enum class CimKind { kInteger, kReal, kBoolean, kChar16, kString, kDatetime, kReference, kObject };

struct CimTypeInfo {
  CIMTYPE type;
  std::string_view name;  // "sint32", "string", ...
  VARTYPE carrier;
  CimKind kind;
};

// Every scalar type, in the order of the table above.
std::span<const CimTypeInfo> CimTypes();

// The scalar type `type`; null for an array type or an unknown number.
const CimTypeInfo* FindCimType(CIMTYPE type);

}  // namespace wbem
