#include "wbem/variant_text.h"

#include <charconv>
#include <cmath>

#include "wbem/unicode.h"

namespace wbem {
namespace {

template <typename T>
std::string Decimal(T value) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

template <typename T>
std::string Shortest(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

}  // namespace

bool FormatVariant(const VARIANT& v, std::string* text) {
  switch (v.vt) {
    case VT_EMPTY:
    case VT_NULL:
      *text = "";
      return true;
    case VT_I1:
      *text = Decimal(static_cast<int>(v.cVal));
      return true;
    case VT_I2:
      *text = Decimal(v.iVal);
      return true;
    case VT_I4:
      *text = Decimal(v.lVal);
      return true;
    case VT_INT:
      *text = Decimal(v.intVal);
      return true;
    case VT_I8:
      *text = Decimal(v.llVal);
      return true;
    case VT_UI1:
      *text = Decimal(static_cast<unsigned>(v.bVal));
      return true;
    case VT_UI2:
      *text = Decimal(v.uiVal);
      return true;
    case VT_UI4:
      *text = Decimal(v.ulVal);
      return true;
    case VT_UINT:
      *text = Decimal(v.uintVal);
      return true;
    case VT_UI8:
      *text = Decimal(v.ullVal);
      return true;
    case VT_R4:
      *text = Shortest(v.fltVal);
      return true;
    case VT_R8:
      *text = Shortest(v.dblVal);
      return true;
    case VT_BOOL:
      *text = v.boolVal ? "TRUE" : "FALSE";
      return true;
    case VT_BSTR:
      *text = Utf16ToUtf8({v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)});
      return true;
    default:
      return false;
  }
}

}  // namespace wbem
