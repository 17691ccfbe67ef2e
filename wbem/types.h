// The scalar types, result codes and type numbers of the COM-style repository
// interface, with the published Windows values.
//
// These names are global on purpose: code written against the repository reads
// as it would against the real management interface (`HRESULT hr =
// services->GetObject(...)`, `if (v.vt == VT_BSTR)`). Everything else of this
// layer lives in namespace wbem.
//
// Sizes follow the Windows data model, not the Linux one: LONG and ULONG are 32
// bits, so an HRESULT prints the same on both.
#pragma once

#include <cstdint>

using HRESULT = std::int32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using SHORT = std::int16_t;
using USHORT = std::uint16_t;
using BYTE = std::uint8_t;
using CHAR = std::int8_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using FLOAT = float;
using DOUBLE = double;
using SCODE = std::int32_t;
using OLECHAR = char16_t;
using LPCWSTR = const char16_t*;
using LPWSTR = char16_t*;

// CIM type numbers (CIMTYPE). An array property has CIM_FLAG_ARRAY or-ed in.
using CIMTYPE = std::int32_t;
inline constexpr CIMTYPE CIM_ILLEGAL = 0xFFF;
inline constexpr CIMTYPE CIM_EMPTY = 0;
inline constexpr CIMTYPE CIM_SINT8 = 16;
inline constexpr CIMTYPE CIM_UINT8 = 17;
inline constexpr CIMTYPE CIM_SINT16 = 2;
inline constexpr CIMTYPE CIM_UINT16 = 18;
inline constexpr CIMTYPE CIM_SINT32 = 3;
inline constexpr CIMTYPE CIM_UINT32 = 19;
inline constexpr CIMTYPE CIM_SINT64 = 20;
inline constexpr CIMTYPE CIM_UINT64 = 21;
inline constexpr CIMTYPE CIM_REAL32 = 4;
inline constexpr CIMTYPE CIM_REAL64 = 5;
inline constexpr CIMTYPE CIM_BOOLEAN = 11;
inline constexpr CIMTYPE CIM_STRING = 8;
inline constexpr CIMTYPE CIM_DATETIME = 101;
inline constexpr CIMTYPE CIM_REFERENCE = 102;
inline constexpr CIMTYPE CIM_CHAR16 = 103;
inline constexpr CIMTYPE CIM_OBJECT = 13;
inline constexpr CIMTYPE CIM_FLAG_ARRAY = 0x2000;

// Variant type numbers (VARTYPE).
using VARTYPE = std::uint16_t;
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_NULL = 1;
inline constexpr VARTYPE VT_I2 = 2;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_R4 = 4;
inline constexpr VARTYPE VT_R8 = 5;
inline constexpr VARTYPE VT_CY = 6;
inline constexpr VARTYPE VT_DATE = 7;
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_DISPATCH = 9;
inline constexpr VARTYPE VT_ERROR = 10;
inline constexpr VARTYPE VT_BOOL = 11;
inline constexpr VARTYPE VT_VARIANT = 12;
inline constexpr VARTYPE VT_UNKNOWN = 13;
inline constexpr VARTYPE VT_DECIMAL = 14;
inline constexpr VARTYPE VT_I1 = 16;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI2 = 18;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_I8 = 20;
inline constexpr VARTYPE VT_UI8 = 21;
inline constexpr VARTYPE VT_INT = 22;
inline constexpr VARTYPE VT_UINT = 23;
inline constexpr VARTYPE VT_ARRAY = 0x2000;
inline constexpr VARTYPE VT_BYREF = 0x4000;
inline constexpr VARTYPE VT_TYPEMASK = 0xFFF;

using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

inline constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// Generic COM results.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT DISP_E_BADVARTYPE = static_cast<HRESULT>(0x80020008);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005);
inline constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000B);

// Repository results. Success codes are non-negative; WBEM_S_NO_MORE_DATA ends
// an enumeration and WBEM_S_TIMEDOUT reports a wait that ran out.
inline constexpr HRESULT WBEM_S_NO_ERROR = 0;
inline constexpr HRESULT WBEM_S_FALSE = 1;
inline constexpr HRESULT WBEM_S_TIMEDOUT = 0x40004;
inline constexpr HRESULT WBEM_S_NO_MORE_DATA = 0x40005;
inline constexpr HRESULT WBEM_E_FAILED = static_cast<HRESULT>(0x80041001);
inline constexpr HRESULT WBEM_E_NOT_FOUND = static_cast<HRESULT>(0x80041002);
inline constexpr HRESULT WBEM_E_ACCESS_DENIED = static_cast<HRESULT>(0x80041003);
inline constexpr HRESULT WBEM_E_PROVIDER_FAILURE = static_cast<HRESULT>(0x80041004);
inline constexpr HRESULT WBEM_E_TYPE_MISMATCH = static_cast<HRESULT>(0x80041005);
inline constexpr HRESULT WBEM_E_OUT_OF_MEMORY = static_cast<HRESULT>(0x80041006);
inline constexpr HRESULT WBEM_E_INVALID_CONTEXT = static_cast<HRESULT>(0x80041007);
inline constexpr HRESULT WBEM_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80041008);
inline constexpr HRESULT WBEM_E_NOT_AVAILABLE = static_cast<HRESULT>(0x80041009);
inline constexpr HRESULT WBEM_E_CRITICAL_ERROR = static_cast<HRESULT>(0x8004100A);
inline constexpr HRESULT WBEM_E_NOT_SUPPORTED = static_cast<HRESULT>(0x8004100C);
inline constexpr HRESULT WBEM_E_INVALID_SUPERCLASS = static_cast<HRESULT>(0x8004100D);
inline constexpr HRESULT WBEM_E_INVALID_NAMESPACE = static_cast<HRESULT>(0x8004100E);
inline constexpr HRESULT WBEM_E_INVALID_OBJECT = static_cast<HRESULT>(0x8004100F);
inline constexpr HRESULT WBEM_E_INVALID_CLASS = static_cast<HRESULT>(0x80041010);
inline constexpr HRESULT WBEM_E_INVALID_OPERATION = static_cast<HRESULT>(0x80041016);
inline constexpr HRESULT WBEM_E_INVALID_QUERY = static_cast<HRESULT>(0x80041017);
inline constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = static_cast<HRESULT>(0x80041018);
inline constexpr HRESULT WBEM_E_ALREADY_EXISTS = static_cast<HRESULT>(0x80041019);
inline constexpr HRESULT WBEM_E_UNEXPECTED = static_cast<HRESULT>(0x8004101D);
inline constexpr HRESULT WBEM_E_ILLEGAL_OPERATION = static_cast<HRESULT>(0x8004101E);
inline constexpr HRESULT WBEM_E_CANNOT_BE_KEY = static_cast<HRESULT>(0x8004101F);
inline constexpr HRESULT WBEM_E_READ_ONLY = static_cast<HRESULT>(0x80041023);
inline constexpr HRESULT WBEM_E_PROVIDER_NOT_CAPABLE = static_cast<HRESULT>(0x80041024);
inline constexpr HRESULT WBEM_E_CLASS_HAS_CHILDREN = static_cast<HRESULT>(0x80041025);
inline constexpr HRESULT WBEM_E_CLASS_HAS_INSTANCES = static_cast<HRESULT>(0x80041026);
inline constexpr HRESULT WBEM_E_ILLEGAL_NULL = static_cast<HRESULT>(0x80041028);
inline constexpr HRESULT WBEM_E_INVALID_PROPERTY_TYPE = static_cast<HRESULT>(0x8004102A);
inline constexpr HRESULT WBEM_E_INVALID_CIM_TYPE = static_cast<HRESULT>(0x8004102D);
inline constexpr HRESULT WBEM_E_INVALID_METHOD = static_cast<HRESULT>(0x8004102E);
inline constexpr HRESULT WBEM_E_INVALID_METHOD_PARAMETERS = static_cast<HRESULT>(0x8004102F);
inline constexpr HRESULT WBEM_E_SYSTEM_PROPERTY = static_cast<HRESULT>(0x80041030);
inline constexpr HRESULT WBEM_E_INVALID_PROPERTY = static_cast<HRESULT>(0x80041031);
inline constexpr HRESULT WBEM_E_CALL_CANCELLED = static_cast<HRESULT>(0x80041032);
inline constexpr HRESULT WBEM_E_SHUTTING_DOWN = static_cast<HRESULT>(0x80041033);
inline constexpr HRESULT WBEM_E_INVALID_OBJECT_PATH = static_cast<HRESULT>(0x8004103A);

// Flags of the calls this layer implements.
inline constexpr LONG WBEM_FLAG_CREATE_OR_UPDATE = 0;
inline constexpr LONG WBEM_FLAG_UPDATE_ONLY = 0x1;
inline constexpr LONG WBEM_FLAG_CREATE_ONLY = 0x2;
inline constexpr LONG WBEM_FLAG_KEYS_ONLY = 0x4;
inline constexpr LONG WBEM_FLAG_REFS_ONLY = 0x8;
inline constexpr LONG WBEM_FLAG_LOCAL_ONLY = 0x10;
inline constexpr LONG WBEM_FLAG_PROPAGATED_ONLY = 0x20;
inline constexpr LONG WBEM_FLAG_SYSTEM_ONLY = 0x30;
inline constexpr LONG WBEM_FLAG_NONSYSTEM_ONLY = 0x40;
inline constexpr LONG WBEM_FLAG_SEND_STATUS = 0x80;

// Origin of a property, reported through Get's and Next's flavor.
inline constexpr LONG WBEM_FLAVOR_ORIGIN_LOCAL = 0;
inline constexpr LONG WBEM_FLAVOR_ORIGIN_PROPAGATED = 0x20;
inline constexpr LONG WBEM_FLAVOR_ORIGIN_SYSTEM = 0x40;

// `__GENUS` of classes and instances; SetStatus's completion flag.
inline constexpr LONG WBEM_GENUS_CLASS = 1;
inline constexpr LONG WBEM_GENUS_INSTANCE = 2;
inline constexpr LONG WBEM_STATUS_COMPLETE = 0;
