// The CIM type system of the repository: which variant type carries each CIM
// type, how Put converts a variant into a property's declared type, and the
// text forms of values.
//
// Values travel as the management interface carries them:
//
//   CIM type                                    variant
//   sint8, sint16, char16                       VT_I2
//   uint8                                       VT_UI1
//   uint16, sint32, uint32                      VT_I4 (uint32 as its 32 bits)
//   sint64, uint64, datetime, string, reference VT_BSTR (64-bit numbers in decimal)
//   real32 / real64                             VT_R4 / VT_R8
//   boolean                                     VT_BOOL (VARIANT_TRUE or VARIANT_FALSE)
//   object                                      VT_UNKNOWN (an IWbemClassObject)
//   no value                                    VT_NULL
//
// Array types (CIM_FLAG_ARRAY) are not supported by this repository: a class
// that declares one is refused with WBEM_E_INVALID_PROPERTY_TYPE.
//
// All functions are pure and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "repository/kit_names.h"
#include "wbem/holders.h"
#include "wbem/variant_text.h"

namespace repository {

// True for the scalar CIM types listed above.
bool IsSupportedCimType(CIMTYPE type);
// The variant type that carries `type`; VT_EMPTY for an unsupported type.
VARTYPE VarTypeForCim(CIMTYPE type);
// The MOF name of a CIM type ("sint32", "string", ...); "unknown" otherwise.
const char* CimTypeName(CIMTYPE type);
// True for the integer CIM types (sint8 to uint64; not char16).
bool IsIntegerCimType(CIMTYPE type);

// Converts `value` (null means VT_NULL) to the variant that a property of type
// `declared` stores, into `*out` (which is cleared first):
//   - the declared type's own variant type is taken as it is (VT_BOOL is
//     normalised to VARIANT_TRUE/VARIANT_FALSE; a VT_BSTR for sint64/uint64
//     must be a decimal number in range and is stored normalised);
//   - an integer variant (VT_I1..VT_UI8, VT_INT, VT_UINT) converts by value into
//     every integer type, truncated to the type's width (64-bit types get the
//     decimal text), into char16 (its low 16 bits) and into real32/real64;
//   - VT_BSTR converts into string, datetime and reference;
//   - VT_NULL and VT_EMPTY become VT_NULL whatever the type;
//   - VT_UNKNOWN holding an IWbemClassObject goes into object as a deep copy.
// Anything else: WBEM_E_TYPE_MISMATCH, and `*out` is VT_EMPTY.
HRESULT ConvertForCim(CIMTYPE declared, const VARIANT* value, VARIANT* out);

// FormatVariant, the text form of a variant, is the interface kit's
// (wbem/variant_text.h).

// A stored value as MOF writes it, using the CIM type to read it right (a
// uint32 in VT_I4 prints unsigned): NULL, numbers, TRUE/FALSE, strings in
// double quotes with `\` and `"` escaped, objects as their single-line text.
std::string FormatCimValue(CIMTYPE type, const VARIANT& stored);

// The canonical text of a key value stored for `type` (decimal numbers,
// TRUE/FALSE, strings as they are). False for VT_NULL or a type that cannot
// be a key.
bool KeyText(CIMTYPE type, const VARIANT& stored, std::u16string* text);
// The canonical text of a key value written in an object path, quoted or not
// (`Num="5"` finds the instance whose uint32 key is 5, `Name=5` the one whose
// string key is "5"). False when the text does not fit the type: not a number,
// a number out of range, a boolean other than TRUE or FALSE.
bool KeyTextFromPath(CIMTYPE type, std::u16string_view value, std::u16string* text);
// True when a property of this type can be a key (not real, object or array).
bool CanBeKey(CIMTYPE type);

}  // namespace repository
