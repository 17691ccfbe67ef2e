#include "wbem/cim_types.h"

namespace wbem {
namespace {

constexpr CimTypeInfo kTypes[] = {
    {CIM_SINT8, "sint8", VT_I2, CimKind::kInteger},
    {CIM_UINT8, "uint8", VT_UI1, CimKind::kInteger},
    {CIM_SINT16, "sint16", VT_I2, CimKind::kInteger},
    {CIM_UINT16, "uint16", VT_I4, CimKind::kInteger},
    {CIM_SINT32, "sint32", VT_I4, CimKind::kInteger},
    {CIM_UINT32, "uint32", VT_I4, CimKind::kInteger},
    {CIM_SINT64, "sint64", VT_BSTR, CimKind::kInteger},
    {CIM_UINT64, "uint64", VT_BSTR, CimKind::kInteger},
    {CIM_REAL32, "real32", VT_R4, CimKind::kReal},
    {CIM_REAL64, "real64", VT_R8, CimKind::kReal},
    {CIM_BOOLEAN, "boolean", VT_BOOL, CimKind::kBoolean},
    {CIM_STRING, "string", VT_BSTR, CimKind::kString},
    {CIM_DATETIME, "datetime", VT_BSTR, CimKind::kDatetime},
    {CIM_REFERENCE, "reference", VT_BSTR, CimKind::kReference},
    {CIM_CHAR16, "char16", VT_I2, CimKind::kChar16},
    {CIM_OBJECT, "object", VT_UNKNOWN, CimKind::kObject},
};

}  // namespace

std::span<const CimTypeInfo> CimTypes() { return kTypes; }

const CimTypeInfo* FindCimType(CIMTYPE type) {
  for (const CimTypeInfo& info : kTypes) {
    if (info.type == type) return &info;
  }
  return nullptr;
}

}  // namespace wbem
