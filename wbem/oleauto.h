// OLE Automation strings and values: BSTR and VARIANT with the functions of the
// same names, and the process-wide counts that let tests prove every string and
// every repository object was released.
//
// A BSTR is a `char16_t*` to the first unit of an allocation that carries its
// length (in bytes) in the four bytes before it and a terminating NUL after it;
// it may contain embedded NULs. Only SysAllocString* makes one and only
// SysFreeString frees one; a null BSTR is the empty string everywhere.
//
// A VARIANT owns what it holds: a VT_BSTR its string, a VT_UNKNOWN one
// reference. VariantClear releases that and leaves VT_EMPTY; VariantCopy makes
// an independent copy (a new string, one more reference).
//
// All functions are thread-safe in the sense of the C library: distinct values
// may be used on distinct threads at once; one value must not be changed by two.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wbem/types.h"

using BSTR = char16_t*;

struct IUnknown;

struct VARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1;
  std::uint16_t wReserved2;
  std::uint16_t wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    FLOAT fltVal;
    DOUBLE dblVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    ULONGLONG ullVal;
    INT intVal;
    UINT uintVal;
  };
};
using VARIANTARG = VARIANT;

// Null for a null `text`, else a copy up to its NUL. Null when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// `length` units copied from `text`, or zero-filled when `text` is null, plus a
// terminating NUL. Null when memory runs out.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// Frees a BSTR; null is accepted.
void SysFreeString(BSTR text);
// Length in UTF-16 units (embedded NULs included); 0 for null.
UINT SysStringLen(BSTR text);
// Length in bytes; 0 for null.
UINT SysStringByteLen(BSTR text);

void VariantInit(VARIANTARG* value);
// Releases what `value` holds and leaves VT_EMPTY. DISP_E_BADVARTYPE (and
// `value` untouched) for a type this layer does not know; E_INVALIDARG for null.
HRESULT VariantClear(VARIANTARG* value);
// Clears `dest`, then copies `source` into it. On failure `dest` is VT_EMPTY.
HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source);

namespace wbem {

// True for the integer variant types (VT_I1 to VT_UI8, VT_INT, VT_UINT).
bool IsIntegerVarType(VARTYPE vt);

// Live allocations: BSTRs not yet freed and COM objects (every
// wbem::ComObject: classes, instances, services, sinks, wrappers) not yet
// destroyed. A test reads them before and after and asserts they match.
struct LiveCounts {
  std::int64_t bstrs = 0;
  std::int64_t objects = 0;
  bool operator==(const LiveCounts&) const = default;
};
LiveCounts GetLiveCounts();

namespace detail {
// Called by wbem::ComObject's constructor (+1) and destructor (-1).
void CountObject(int delta);
}  // namespace detail

}  // namespace wbem
