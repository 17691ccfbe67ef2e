#include "scenario/scenario_world.h"

#include <cmath>
#include <limits>
#include <utility>

#include "repository/zrv_classes.h"
#include "repository/cim.h"
#include "wbem/unicode.h"

namespace scenario {
namespace {

struct NamedResult {
  const char* name;
  HRESULT value;
};

// The codes the repository and the component can give, for messages.
constexpr NamedResult kResults[] = {
    {"E_NOTIMPL", E_NOTIMPL},
    {"E_NOINTERFACE", E_NOINTERFACE},
    {"E_POINTER", E_POINTER},
    {"E_FAIL", E_FAIL},
    {"E_UNEXPECTED", E_UNEXPECTED},
    {"E_OUTOFMEMORY", E_OUTOFMEMORY},
    {"E_INVALIDARG", E_INVALIDARG},
    {"DISP_E_BADVARTYPE", DISP_E_BADVARTYPE},
    {"DISP_E_TYPEMISMATCH", DISP_E_TYPEMISMATCH},
    {"DISP_E_BADINDEX", DISP_E_BADINDEX},
    {"WBEM_S_NO_ERROR", WBEM_S_NO_ERROR},
    {"WBEM_S_FALSE", WBEM_S_FALSE},
    {"WBEM_S_TIMEDOUT", WBEM_S_TIMEDOUT},
    {"WBEM_S_NO_MORE_DATA", WBEM_S_NO_MORE_DATA},
    {"WBEM_E_FAILED", WBEM_E_FAILED},
    {"WBEM_E_NOT_FOUND", WBEM_E_NOT_FOUND},
    {"WBEM_E_ACCESS_DENIED", WBEM_E_ACCESS_DENIED},
    {"WBEM_E_PROVIDER_FAILURE", WBEM_E_PROVIDER_FAILURE},
    {"WBEM_E_TYPE_MISMATCH", WBEM_E_TYPE_MISMATCH},
    {"WBEM_E_OUT_OF_MEMORY", WBEM_E_OUT_OF_MEMORY},
    {"WBEM_E_INVALID_CONTEXT", WBEM_E_INVALID_CONTEXT},
    {"WBEM_E_INVALID_PARAMETER", WBEM_E_INVALID_PARAMETER},
    {"WBEM_E_NOT_AVAILABLE", WBEM_E_NOT_AVAILABLE},
    {"WBEM_E_CRITICAL_ERROR", WBEM_E_CRITICAL_ERROR},
    {"WBEM_E_NOT_SUPPORTED", WBEM_E_NOT_SUPPORTED},
    {"WBEM_E_INVALID_SUPERCLASS", WBEM_E_INVALID_SUPERCLASS},
    {"WBEM_E_INVALID_NAMESPACE", WBEM_E_INVALID_NAMESPACE},
    {"WBEM_E_INVALID_OBJECT", WBEM_E_INVALID_OBJECT},
    {"WBEM_E_INVALID_CLASS", WBEM_E_INVALID_CLASS},
    {"WBEM_E_INVALID_OPERATION", WBEM_E_INVALID_OPERATION},
    {"WBEM_E_INVALID_QUERY", WBEM_E_INVALID_QUERY},
    {"WBEM_E_INVALID_QUERY_TYPE", WBEM_E_INVALID_QUERY_TYPE},
    {"WBEM_E_ALREADY_EXISTS", WBEM_E_ALREADY_EXISTS},
    {"WBEM_E_UNEXPECTED", WBEM_E_UNEXPECTED},
    {"WBEM_E_ILLEGAL_OPERATION", WBEM_E_ILLEGAL_OPERATION},
    {"WBEM_E_CANNOT_BE_KEY", WBEM_E_CANNOT_BE_KEY},
    {"WBEM_E_READ_ONLY", WBEM_E_READ_ONLY},
    {"WBEM_E_PROVIDER_NOT_CAPABLE", WBEM_E_PROVIDER_NOT_CAPABLE},
    {"WBEM_E_CLASS_HAS_CHILDREN", WBEM_E_CLASS_HAS_CHILDREN},
    {"WBEM_E_CLASS_HAS_INSTANCES", WBEM_E_CLASS_HAS_INSTANCES},
    {"WBEM_E_ILLEGAL_NULL", WBEM_E_ILLEGAL_NULL},
    {"WBEM_E_INVALID_PROPERTY_TYPE", WBEM_E_INVALID_PROPERTY_TYPE},
    {"WBEM_E_INVALID_CIM_TYPE", WBEM_E_INVALID_CIM_TYPE},
    {"WBEM_E_INVALID_METHOD", WBEM_E_INVALID_METHOD},
    {"WBEM_E_INVALID_METHOD_PARAMETERS", WBEM_E_INVALID_METHOD_PARAMETERS},
    {"WBEM_E_SYSTEM_PROPERTY", WBEM_E_SYSTEM_PROPERTY},
    {"WBEM_E_INVALID_PROPERTY", WBEM_E_INVALID_PROPERTY},
    {"WBEM_E_CALL_CANCELLED", WBEM_E_CALL_CANCELLED},
    {"WBEM_E_SHUTTING_DOWN", WBEM_E_SHUTTING_DOWN},
    {"WBEM_E_INVALID_OBJECT_PATH", WBEM_E_INVALID_OBJECT_PATH},
};

std::string Hex32(HRESULT result) {
  static constexpr char kDigits[] = "0123456789abcdef";
  auto bits = static_cast<std::uint32_t>(result);
  std::string text = "0x00000000";
  for (int i = 9; i >= 2; --i, bits >>= 4) text[static_cast<std::size_t>(i)] = kDigits[bits & 15];
  return text;
}

std::string CimTypeText(CIMTYPE type) { return repository::CimTypeName(type & ~CIM_FLAG_ARRAY); }


struct IntegerRange {
  CIMTYPE type;
  std::int64_t min;
  std::uint64_t max;
};

constexpr IntegerRange kIntegerRanges[] = {
    {CIM_SINT8, -128, 127},
    {CIM_UINT8, 0, 255},
    {CIM_SINT16, -32768, 32767},
    {CIM_UINT16, 0, 65535},
    {CIM_SINT32, std::numeric_limits<std::int32_t>::min(),
     std::numeric_limits<std::int32_t>::max()},
    {CIM_UINT32, 0, std::numeric_limits<std::uint32_t>::max()},
    {CIM_SINT64, std::numeric_limits<std::int64_t>::min(),
     std::numeric_limits<std::int64_t>::max()},
    {CIM_UINT64, 0, std::numeric_limits<std::uint64_t>::max()},
};

class Converter {
 public:
  Converter(const repository::Namespace& ns, Problems& problems) : ns_(ns), problems_(problems) {}

  // `value` as the variant a property of `type` takes; false after a problem.
  bool ToVariant(const Json& value, CIMTYPE type, const std::string& path, wbem::Variant* out) {
    if (value.is_null()) {
      *out = wbem::Variant(nullptr);
      return true;
    }
    const std::string expected = "must be " + Describe(type);
    if (type & CIM_FLAG_ARRAY) return Fail(path, "array values are not supported");
    for (const IntegerRange& range : kIntegerRanges) {
      if (range.type != type) continue;
      // 64-bit integers travel as decimal text; the repository checks it.
      if (value.is_string() && (type == CIM_SINT64 || type == CIM_UINT64)) {
        *out = wbem::Variant(value.get<std::string>());
        return true;
      }
      if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > range.max) return Fail(path, expected);
        *out = wbem::Variant(number);
        return true;
      }
      if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if (number < range.min || (number > 0 && static_cast<std::uint64_t>(number) > range.max)) {
          return Fail(path, expected);
        }
        *out = wbem::Variant(number);
        return true;
      }
      return Fail(path, expected);
    }
    switch (type) {
      case CIM_REAL32:
        if (!value.is_number()) return Fail(path, expected);
        *out = wbem::Variant(value.get<float>());
        return true;
      case CIM_REAL64:
        if (!value.is_number()) return Fail(path, expected);
        *out = wbem::Variant(value.get<double>());
        return true;
      case CIM_BOOLEAN:
        if (!value.is_boolean()) return Fail(path, expected);
        *out = wbem::Variant(value.get<bool>());
        return true;
      case CIM_STRING:
      case CIM_DATETIME:
      case CIM_REFERENCE:
        if (!value.is_string()) return Fail(path, expected);
        *out = wbem::Variant(value.get<std::string>());
        return true;
      case CIM_CHAR16: {
        std::int64_t code = -1;
        if (value.is_string()) {
          const std::u16string units = wbem::Utf8ToUtf16(value.get<std::string>());
          if (units.size() == 1) code = units[0];
        } else if (value.is_number_integer() || value.is_number_unsigned()) {
          ReadInteger(problems_, value, path, 0, 65535, &code);
          if (!problems_.ok()) return false;
        }
        if (code < 0) return Fail(path, expected);
        *out = wbem::Variant(static_cast<std::int32_t>(code));
        return true;
      }
      case CIM_OBJECT: {
        if (!value.is_object()) return Fail(path, expected);
        ScenarioObject embedded;
        InputError error;
        if (!ReadEvent(value, path, &embedded, &error)) return Fail(error.place, error.message);
        wbem::ComPtr<IWbemClassObject> instance;
        if (!Instance(embedded, nullptr, &instance)) return false;
        *out = wbem::Variant(instance.get());
        return true;
      }
      default:
        return Fail(path, "has a type that takes no value");
    }
  }

  bool Instance(const ScenarioObject& object, const std::string* profile,
                wbem::ComPtr<IWbemClassObject>* out) {
    wbem::ComPtr<IWbemClassObject> instance;
    const HRESULT spawned = ns_.NewInstance(object.class_name, {}, &instance);
    if (spawned != WBEM_S_NO_ERROR) {
      return Fail(FieldPath(object.path, "class"),
                  "no instance of \"" + object.class_name + "\": " + ResultText(spawned));
    }
    bool profile_given = false;
    for (const auto& [name, value] : object.properties) {
      const std::string path = FieldPath(FieldPath(object.path, "properties"), name);
      const std::u16string wide = wbem::Utf8ToUtf16(name);
      CIMTYPE type = 0;
      if (name.starts_with("__") || instance->Get(wide.c_str(), 0, nullptr, &type, nullptr) < 0) {
        return Fail(path, "is not a property of " + object.class_name);
      }
      wbem::Variant variant;
      if (!ToVariant(value, type, path, &variant)) return false;
      const HRESULT put = instance->Put(wide.c_str(), 0, variant.ptr(), 0);
      if (put != WBEM_S_NO_ERROR) {
        return Fail(path,
                    "does not fit the " + CimTypeText(type) + " property: " + ResultText(put));
      }
      profile_given = profile_given || SameName(name, "ProfileName");
    }
    if (profile != nullptr && !profile_given) {
      CIMTYPE type = 0;
      if (instance->Get(u"ProfileName", 0, nullptr, &type, nullptr) >= 0) {
        wbem::Variant variant(*profile);
        // A ProfileName of another type keeps its default: the event then
        // simply does not match the profile's subscription.
        (void)instance->Put(u"ProfileName", 0, variant.ptr(), 0);
      }
    }
    *out = std::move(instance);
    return true;
  }

 private:
  static std::string Describe(CIMTYPE type) {
    switch (type) {
      case CIM_REAL32:
      case CIM_REAL64:
        return "a number (" + CimTypeText(type) + ")";
      case CIM_BOOLEAN:
        return "true or false (boolean)";
      case CIM_STRING:
      case CIM_DATETIME:
      case CIM_REFERENCE:
        return "a string (" + CimTypeText(type) + ")";
      case CIM_CHAR16:
        return "one character or its code from 0 to 65535 (char16)";
      case CIM_OBJECT:
        return "{\"class\": ..., \"properties\": {...}} (object)";
      default:
        break;
    }
    for (const IntegerRange& range : kIntegerRanges) {
      if (range.type == type) {
        std::string text = "an integer from " + std::to_string(range.min) + " to " +
                           std::to_string(range.max) + " (" + CimTypeText(type) + ")";
        if (type == CIM_SINT64 || type == CIM_UINT64) text += ", or its decimal text";
        return text;
      }
    }
    return CimTypeText(type);
  }

  bool Fail(const std::string& path, std::string message) {
    problems_.Fail(path, std::move(message));
    return false;
  }

  const repository::Namespace& ns_;
  Problems& problems_;
};

repository::MethodProvider MakeProvider(const ScenarioMethod& method, wbem::Variant return_value,
                                  const MethodCallObserver& observer) {
  return [observer, hresult = method.hresult,
          return_value = std::move(return_value)](repository::MethodCall& call) -> HRESULT {
    if (observer) observer(call);
    if (hresult) return *hresult;
    // The out-signature declares ReturnValue with the scenario's type, which
    // the value was converted for.
    const HRESULT put = call.Return(return_value);
    return put == WBEM_S_NO_ERROR ? WBEM_S_NO_ERROR : WBEM_E_PROVIDER_FAILURE;
  };
}

bool DefineClass(const ScenarioClass& cls, const repository::Namespace& ns,
                 const MethodCallObserver& observer, const CommandProviderFactory& commands,
                 Converter& converter, Problems& problems) {
  repository::Class definition(cls.name, cls.superclass);
  for (const ScenarioProperty& property : cls.properties) {
    if (property.key) {
      if (property.default_value) {
        problems.Fail(FieldPath(property.path, "default"), "a key takes no default");
        return false;
      }
      definition.Key(property.name, property.type);
      continue;
    }
    wbem::Variant fallback(nullptr);
    if (property.default_value &&
        !converter.ToVariant(*property.default_value, property.type,
                             FieldPath(property.path, "default"), &fallback)) {
      return false;
    }
    definition.Property(property.name, property.type, std::move(fallback));
  }
  for (const ScenarioMethod& method : cls.methods) {
    repository::MethodDef method_def(method.name);
    for (const auto& [name, type] : method.in) method_def.In(name, type);
    for (const auto& [name, type] : method.out) method_def.Out(name, type);
    method_def.Returns(method.return_type);
    if (method.command) {
      if (!commands) {
        problems.Fail(FieldPath(method.path, "command"),
                      "a method backed by a command runs only in actionmanagerd");
        return false;
      }
      method_def.Provider([observer, provider = commands(cls, method)](
                               repository::MethodCall& call) -> HRESULT {
        if (observer) observer(call);
        return provider(call);
      });
      definition.Method(std::move(method_def));
      continue;
    }
    wbem::Variant return_value(nullptr);
    if (!method.hresult &&
        !converter.ToVariant(method.return_value, method.return_type,
                             FieldPath(method.path, "return_value"), &return_value)) {
      return false;
    }
    method_def.Provider(MakeProvider(method, std::move(return_value), observer));
    definition.Method(std::move(method_def));
  }
  const HRESULT defined = ns.Define(definition);
  if (defined != WBEM_S_NO_ERROR) {
    problems.Fail(cls.path,
                  "the repository refuses the class \"" + cls.name + "\": " + ResultText(defined));
    return false;
  }
  return true;
}

}  // namespace

std::string ResultText(HRESULT result) {
  for (const NamedResult& known : kResults) {
    if (known.value == result) return std::string(known.name) + " (" + Hex32(result) + ")";
  }
  return Hex32(result);
}

bool BuildWorld(const Scenario& scenario, const world::World& world,
                const MethodCallObserver& observer, InputError* error,
                const CommandProviderFactory& commands) {
  const repository::Namespace& ns = world.ns();
  Problems problems;
  Converter converter(ns, problems);
  if (scenario.standard_classes) {
    // Cannot fail: fixed, valid definitions in a fresh namespace.
    (void)world.DefineStandardClasses();
  }
  for (const ScenarioClass& cls : scenario.classes) {
    if (!DefineClass(cls, ns, observer, commands, converter, problems)) break;
  }
  for (std::size_t i = 0; problems.ok() && i < scenario.instances.size(); ++i) {
    const ScenarioObject& object = scenario.instances[i];
    wbem::ComPtr<IWbemClassObject> instance;
    if (!converter.Instance(object, nullptr, &instance)) break;
    wbem::ComPtr<IWbemServices> services = ns.Services();
    const HRESULT put = services->PutInstance(instance.get(), 0, nullptr, nullptr);
    if (put != WBEM_S_NO_ERROR) {
      problems.Fail(object.path, "the repository refuses the instance: " + ResultText(put));
    }
  }
  if (!problems.ok()) {
    *error = problems.first();
    return false;
  }
  return true;
}

bool MakeInstance(const repository::Namespace& ns, const ScenarioObject& object,
                  const std::string* profile, wbem::ComPtr<IWbemClassObject>* out,
                  InputError* error) {
  Problems problems;
  Converter converter(ns, problems);
  wbem::ComPtr<IWbemClassObject> instance;
  if (!converter.Instance(object, profile, &instance)) {
    *error = problems.first();
    return false;
  }
  *out = std::move(instance);
  return true;
}

namespace {

Json ValueToJson(const VARIANT& value, CIMTYPE type) {
  switch (value.vt) {
    case VT_NULL:
    case VT_EMPTY:
      return nullptr;
    case VT_BSTR:
      return wbem::Utf16ToUtf8(
          std::u16string_view(value.bstrVal ? value.bstrVal : u"", SysStringLen(value.bstrVal)));
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE;
    case VT_UI1:
      return value.bVal;
    case VT_I2:
      if (type == CIM_CHAR16) {
        return wbem::Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(value.iVal)));
      }
      return value.iVal;
    case VT_I4:
      // uint32 travels in the 32 bits of a VT_I4.
      if (type == CIM_UINT32) return static_cast<std::uint32_t>(value.lVal);
      return value.lVal;
    case VT_R4:
    case VT_R8: {
      const double number = value.vt == VT_R4 ? value.fltVal : value.dblVal;
      if (std::isfinite(number)) return number;
      std::string text;
      wbem::FormatVariant(value, &text);
      return text;
    }
    case VT_UNKNOWN: {
      wbem::ComPtr<IWbemClassObject> object;
      if (value.punkVal == nullptr ||
          value.punkVal->QueryInterface(IID_IWbemClassObject,
                                        reinterpret_cast<void**>(object.Out())) != S_OK) {
        return nullptr;
      }
      Json embedded = Json::object();
      wbem::Variant cls;
      if (object->Get(u"__CLASS", 0, cls.Out(), nullptr, nullptr) >= 0) {
        embedded["class"] = cls.AsUtf8();
      }
      embedded["properties"] = PropertiesToJson(object.get(), false);
      return embedded;
    }
    default: {
      std::string text;
      if (wbem::FormatVariant(value, &text)) return text;
      return nullptr;
    }
  }
}

}  // namespace

Json PropertiesToJson(IWbemClassObject* object, bool with_nulls) {
  Json properties = Json::object();
  if (object == nullptr || object->BeginEnumeration(WBEM_FLAG_NONSYSTEM_ONLY) != WBEM_S_NO_ERROR) {
    return properties;
  }
  for (;;) {
    wbem::Bstr name;
    wbem::Variant value;
    CIMTYPE type = 0;
    if (object->Next(0, name.Out(), value.Out(), &type, nullptr) != WBEM_S_NO_ERROR) break;
    if (!with_nulls && value.IsNull()) continue;
    properties[name.ToUtf8()] = ValueToJson(value.get(), type);
  }
  object->EndEnumeration();
  return properties;
}

}  // namespace scenario
