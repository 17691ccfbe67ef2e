#include "repository/cim.h"

#include <charconv>
#include <limits>

#include "base/ascii.h"
#include "wbem/cim_types.h"
#include "wbem/com_ptr.h"
#include "repository/object_text.h"
#include "wbem/unicode.h"

namespace repository {
namespace {

// An integer variant's value: its 64 bits and whether it is read unsigned.
struct IntegerValue {
  std::uint64_t bits;
  bool is_unsigned;
  double AsDouble() const {
    return is_unsigned ? static_cast<double>(bits)
                       : static_cast<double>(static_cast<std::int64_t>(bits));
  }
};

IntegerValue ReadInteger(const VARIANT& v) {
  auto s = [](std::int64_t x) { return IntegerValue{static_cast<std::uint64_t>(x), false}; };
  auto u = [](std::uint64_t x) { return IntegerValue{x, true}; };
  switch (v.vt) {
    case VT_I1:
      return s(v.cVal);
    case VT_I2:
      return s(v.iVal);
    case VT_I4:
      return s(v.lVal);
    case VT_INT:
      return s(v.intVal);
    case VT_I8:
      return s(v.llVal);
    case VT_UI1:
      return u(v.bVal);
    case VT_UI2:
      return u(v.uiVal);
    case VT_UI4:
      return u(v.ulVal);
    case VT_UINT:
      return u(v.uintVal);
    default:
      return u(v.ullVal);
  }
}

template <typename T>
std::string Decimal(T value) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}


std::u16string Ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Parses an optionally signed decimal integer that fills the whole text.
bool ParseDecimal(std::u16string_view text, bool* negative, std::uint64_t* magnitude) {
  std::size_t i = 0;
  *negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) *negative = text[i++] == u'-';
  if (i == text.size()) return false;
  std::uint64_t m = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    const unsigned d = text[i] - u'0';
    if (m > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return false;
    m = m * 10 + d;
  }
  *magnitude = m;
  return true;
}

// The decimal text of `text` read as an integer of `type`, if it fits.
bool NormaliseInteger(CIMTYPE type, std::u16string_view text, std::u16string* out) {
  bool negative;
  std::uint64_t m;
  if (!ParseDecimal(text, &negative, &m)) return false;
  std::int64_t lo;
  std::uint64_t hi;
  switch (type) {
    case CIM_SINT8:
      lo = INT8_MIN, hi = INT8_MAX;
      break;
    case CIM_SINT16:
      lo = INT16_MIN, hi = INT16_MAX;
      break;
    case CIM_SINT32:
      lo = INT32_MIN, hi = INT32_MAX;
      break;
    case CIM_SINT64:
      lo = INT64_MIN, hi = INT64_MAX;
      break;
    case CIM_UINT8:
      lo = 0, hi = UINT8_MAX;
      break;
    case CIM_UINT16:
    case CIM_CHAR16:
      lo = 0, hi = UINT16_MAX;
      break;
    case CIM_UINT32:
      lo = 0, hi = UINT32_MAX;
      break;
    case CIM_UINT64:
      lo = 0, hi = UINT64_MAX;
      break;
    default:
      return false;
  }
  if (negative) {
    if (m == 0) {
      *out = u"0";
      return true;
    }
    const std::uint64_t limit = static_cast<std::uint64_t>(-(lo + 1)) + 1;
    if (lo == 0 || m > limit) return false;
    *out = u"-" + Ascii16(Decimal(m));
    return true;
  }
  if (m > hi) return false;
  *out = Ascii16(Decimal(m));
  return true;
}

void SetBstr(VARIANT* out, std::u16string_view text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (b == nullptr) return;  // leaves VT_EMPTY; the caller reports the failure
  out->vt = VT_BSTR;
  out->bstrVal = b;
}

}  // namespace

bool IsSupportedCimType(CIMTYPE type) { return VarTypeForCim(type) != VT_EMPTY; }

VARTYPE VarTypeForCim(CIMTYPE type) {
  const wbem::CimTypeInfo* info = wbem::FindCimType(type);
  return info != nullptr ? info->carrier : VT_EMPTY;
}

const char* CimTypeName(CIMTYPE type) {
  const wbem::CimTypeInfo* info = wbem::FindCimType(type);
  return info != nullptr ? info->name.data() : "unknown";
}

bool IsIntegerCimType(CIMTYPE type) {
  const wbem::CimTypeInfo* info = wbem::FindCimType(type);
  return info != nullptr && info->kind == wbem::CimKind::kInteger;
}

bool CanBeKey(CIMTYPE type) {
  return IsSupportedCimType(type) && type != CIM_REAL32 && type != CIM_REAL64 && type != CIM_OBJECT;
}

HRESULT ConvertForCim(CIMTYPE declared, const VARIANT* value, VARIANT* out) {
  VariantClear(out);
  const VARTYPE vt = value == nullptr ? VT_NULL : value->vt;
  if (!IsSupportedCimType(declared)) return WBEM_E_TYPE_MISMATCH;
  if (vt == VT_NULL || vt == VT_EMPTY) {
    out->vt = VT_NULL;
    return WBEM_S_NO_ERROR;
  }
  if (wbem::IsIntegerVarType(vt)) {
    const IntegerValue n = ReadInteger(*value);
    switch (declared) {
      case CIM_SINT8:
        out->vt = VT_I2, out->iVal = static_cast<std::int8_t>(n.bits);
        return WBEM_S_NO_ERROR;
      case CIM_SINT16:
      case CIM_CHAR16:
        out->vt = VT_I2, out->iVal = static_cast<std::int16_t>(n.bits);
        return WBEM_S_NO_ERROR;
      case CIM_UINT8:
        out->vt = VT_UI1, out->bVal = static_cast<std::uint8_t>(n.bits);
        return WBEM_S_NO_ERROR;
      case CIM_UINT16:
        out->vt = VT_I4, out->lVal = static_cast<std::uint16_t>(n.bits);
        return WBEM_S_NO_ERROR;
      case CIM_SINT32:
      case CIM_UINT32:
        out->vt = VT_I4, out->lVal = static_cast<std::int32_t>(static_cast<std::uint32_t>(n.bits));
        return WBEM_S_NO_ERROR;
      case CIM_SINT64:
        SetBstr(out, Ascii16(Decimal(static_cast<std::int64_t>(n.bits))));
        return out->vt == VT_BSTR ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
      case CIM_UINT64:
        SetBstr(out, Ascii16(Decimal(n.bits)));
        return out->vt == VT_BSTR ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
      case CIM_REAL32:
        out->vt = VT_R4, out->fltVal = static_cast<float>(n.AsDouble());
        return WBEM_S_NO_ERROR;
      case CIM_REAL64:
        out->vt = VT_R8, out->dblVal = n.AsDouble();
        return WBEM_S_NO_ERROR;
      default:
        return WBEM_E_TYPE_MISMATCH;
    }
  }
  switch (vt) {
    case VT_BSTR: {
      const std::u16string_view text(value->bstrVal ? value->bstrVal : u"",
                                     SysStringLen(value->bstrVal));
      if (declared == CIM_STRING || declared == CIM_DATETIME || declared == CIM_REFERENCE) {
        SetBstr(out, text);
        return out->vt == VT_BSTR ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
      }
      if (declared == CIM_SINT64 || declared == CIM_UINT64) {
        std::u16string normal;
        if (!NormaliseInteger(declared, text, &normal)) return WBEM_E_TYPE_MISMATCH;
        SetBstr(out, normal);
        return out->vt == VT_BSTR ? WBEM_S_NO_ERROR : WBEM_E_OUT_OF_MEMORY;
      }
      return WBEM_E_TYPE_MISMATCH;
    }
    case VT_R4:
      if (declared != CIM_REAL32) return WBEM_E_TYPE_MISMATCH;
      out->vt = VT_R4, out->fltVal = value->fltVal;
      return WBEM_S_NO_ERROR;
    case VT_R8:
      if (declared != CIM_REAL64) return WBEM_E_TYPE_MISMATCH;
      out->vt = VT_R8, out->dblVal = value->dblVal;
      return WBEM_S_NO_ERROR;
    case VT_BOOL:
      if (declared != CIM_BOOLEAN) return WBEM_E_TYPE_MISMATCH;
      out->vt = VT_BOOL, out->boolVal = value->boolVal ? VARIANT_TRUE : VARIANT_FALSE;
      return WBEM_S_NO_ERROR;
    case VT_UNKNOWN: {
      if (declared != CIM_OBJECT) return WBEM_E_TYPE_MISMATCH;
      if (value->punkVal == nullptr) {
        out->vt = VT_NULL;
        return WBEM_S_NO_ERROR;
      }
      ComPtr<IWbemClassObject> object;
      if (FAILED(value->punkVal->QueryInterface(IID_IWbemClassObject,
                                                reinterpret_cast<void**>(object.Out())))) {
        return WBEM_E_TYPE_MISMATCH;
      }
      // A copy, so that no object can end up holding itself.
      IWbemClassObject* copy = nullptr;
      const HRESULT hr = object->Clone(&copy);
      if (FAILED(hr)) return hr;
      out->vt = VT_UNKNOWN;
      out->punkVal = copy;
      return WBEM_S_NO_ERROR;
    }
    default:
      return WBEM_E_TYPE_MISMATCH;
  }
}


namespace {

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string FormatCimValue(CIMTYPE type, const VARIANT& v) {
  if (v.vt == VT_NULL || v.vt == VT_EMPTY) return "NULL";
  std::string text;
  switch (type) {
    case CIM_UINT32:
      if (v.vt == VT_I4) return Decimal(static_cast<std::uint32_t>(v.lVal));
      break;
    case CIM_STRING:
    case CIM_DATETIME:
    case CIM_REFERENCE:
      if (v.vt == VT_BSTR) {
        FormatVariant(v, &text);
        return Quote(text);
      }
      break;
    case CIM_OBJECT:
      if (v.vt == VT_UNKNOWN && v.punkVal != nullptr) {
        ComPtr<IWbemClassObject> object;
        if (SUCCEEDED(v.punkVal->QueryInterface(IID_IWbemClassObject,
                                                reinterpret_cast<void**>(object.Out())))) {
          return ObjectToText(object.get(), TextStyle::kSingleLine);
        }
      }
      return "(object)";
    default:
      break;
  }
  if (FormatVariant(v, &text)) return text;
  return "(?)";
}

bool KeyText(CIMTYPE type, const VARIANT& stored, std::u16string* text) {
  if (!CanBeKey(type) || stored.vt == VT_NULL || stored.vt == VT_EMPTY) return false;
  if (stored.vt == VT_BSTR) {
    text->assign(stored.bstrVal ? stored.bstrVal : u"", SysStringLen(stored.bstrVal));
    return true;
  }
  std::string narrow;
  if (type == CIM_UINT32 && stored.vt == VT_I4) {
    narrow = Decimal(static_cast<std::uint32_t>(stored.lVal));
  } else if (type == CIM_CHAR16 && stored.vt == VT_I2) {
    narrow = Decimal(static_cast<std::uint16_t>(stored.iVal));
  } else if (!FormatVariant(stored, &narrow)) {
    return false;
  }
  *text = Ascii16(narrow);
  return true;
}

bool KeyTextFromPath(CIMTYPE type, std::u16string_view value, std::u16string* text) {
  if (!CanBeKey(type)) return false;
  if (type == CIM_STRING || type == CIM_DATETIME || type == CIM_REFERENCE) {
    text->assign(value);
    return true;
  }
  if (type == CIM_BOOLEAN) {
    if (base::EqualsIgnoreCase(value, u"TRUE")) {
      *text = u"TRUE";
    } else if (base::EqualsIgnoreCase(value, u"FALSE")) {
      *text = u"FALSE";
    } else {
      return false;
    }
    return true;
  }
  return NormaliseInteger(type, value, text);
}

}  // namespace repository
