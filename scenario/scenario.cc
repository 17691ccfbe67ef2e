#include "scenario/scenario.h"

#include <algorithm>
#include <limits>
#include <unordered_set>

#include "base/ascii.h"
#include "base/hex.h"
#include "scenario/settings_json.h"
#include "wbem/cim_types.h"

namespace scenario {
namespace {

std::string_view KindOfJson(const Json& value) {
  return value.is_string() ? "a string" : value.is_object() ? "an object" : "something else";
}

CIMTYPE ReadTypeName(Problems& problems, const Json& value, const std::string& path) {
  if (!value.is_string()) {
    problems.Fail(path, std::string("must be a type name, not ") + std::string(KindOfJson(value)));
    return CIM_STRING;
  }
  const auto& name = value.get_ref<const std::string&>();
  if (const auto type = ParseCimTypeName(name)) return *type;
  problems.Fail(path, "\"" + name +
                          "\" is not a type name (sint8 ... uint64, real32, real64, boolean, "
                          "string, datetime, reference, char16, object, each optionally with [])");
  return CIM_STRING;
}

// A property declared by a type name alone or by {"type", "key", "default"}.
ScenarioProperty ReadProperty(Problems& problems, const std::string& name, const Json& value,
                              const std::string& path) {
  ScenarioProperty property;
  property.name = name;
  property.path = path;
  if (!value.is_object()) {
    property.type = ReadTypeName(problems, value, path);
    return property;
  }
  ObjectReader reader(problems, value, path);
  if (const Json* type = reader.Require("type")) {
    property.type = ReadTypeName(problems, *type, reader.PathOf("type"));
  }
  property.key = reader.Bool("key", false);
  property.required = reader.Bool("required", false);
  if (const Json* fallback = reader.Find("default")) property.default_value = *fallback;
  reader.Finish();
  return property;
}

// Names of an object's fields must be distinct without regard to case, as the
// repository compares them.
bool CheckNames(Problems& problems, const Json& object, const std::string& path) {
  std::unordered_set<std::string> seen;
  for (const auto& [name, value] : object.items()) {
    std::string folded = base::AsciiLowered(name);
    if (name.empty()) {
      problems.Fail(path, "a name must not be empty");
      return false;
    }
    if (!seen.insert(folded).second) {
      problems.Fail(FieldPath(path, name), "repeats a name (names ignore case)");
      return false;
    }
  }
  return true;
}

void ReadParameterList(ObjectReader& method, std::string_view field,
                       std::vector<std::pair<std::string, CIMTYPE>>* list) {
  const Json* params = method.Object(field);
  if (params == nullptr || !CheckNames(method.problems(), *params, method.PathOf(field))) return;
  for (const auto& [name, type] : params->items()) {
    list->emplace_back(
        name, ReadTypeName(method.problems(), type, FieldPath(method.PathOf(field), name)));
  }
}

// An HRESULT as a number (negative or as its unsigned 32 bits) or as "0x..." text.
std::optional<HRESULT> ReadHresult(Problems& problems, const Json& value, const std::string& path) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() > 2 && text.size() <= 10 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X')) {
      const std::optional<std::string> bytes =
          base::FromHex(std::string(10 - text.size(), '0') + text.substr(2));
      if (bytes) {
        std::uint32_t bits = 0;
        for (const char c : *bytes) bits = bits << 8 | static_cast<unsigned char>(c);
        return static_cast<HRESULT>(bits);
      }
    }
    problems.Fail(path, "must be a number or \"0x\" and up to 8 hex digits");
    return std::nullopt;
  }
  std::int64_t number = 0;
  if (!ReadInteger(problems, value, path, std::numeric_limits<std::int32_t>::min(),
                   std::numeric_limits<std::uint32_t>::max(), &number)) {
    return std::nullopt;
  }
  return static_cast<HRESULT>(static_cast<std::uint32_t>(number));
}

ScenarioMethod ReadMethod(Problems& problems, const std::string& name, const Json& value,
                          const std::string& path) {
  ScenarioMethod method;
  method.name = name;
  method.path = path;
  ObjectReader reader(problems, value, path);
  ReadParameterList(reader, "in", &method.in);
  std::vector<std::pair<std::string, CIMTYPE>> out;
  ReadParameterList(reader, "out", &out);
  for (auto& [param, type] : out) {
    if (base::EqualsIgnoreCase(param, "ReturnValue")) {
      method.return_type = type;
    } else {
      method.out.emplace_back(std::move(param), type);
    }
  }
  const Json* result = reader.Find("return_value");
  const Json* hresult = reader.Find("hresult");
  const Json* command = reader.Array("command");
  if (command != nullptr) {
    ScenarioCommand& run = method.command.emplace();
    if (result != nullptr || hresult != nullptr) {
      problems.Fail(reader.PathOf(result != nullptr ? "return_value" : "hresult"),
                    "a method backed by a command answers with the command's exit status");
    } else if (command->empty()) {
      problems.Fail(reader.PathOf("command"), "must name the program to run");
    }
    for (std::size_t i = 0; problems.reading() && i < command->size(); ++i) {
      const Json& element = (*command)[i];
      const std::string element_path = IndexPath(reader.PathOf("command"), i);
      if (!element.is_string()) {
        problems.Fail(element_path, "must be a string (one argument each)");
      } else if (i == 0 && element.get_ref<const std::string&>().empty()) {
        problems.Fail(element_path, "must name the program to run");
      } else {
        run.argv.push_back(element.get<std::string>());
      }
    }
    run.timeout_seconds =
        static_cast<int>(reader.Integer("timeout_seconds", 1, 86400, run.timeout_seconds));
    run.max_output_bytes = reader.Integer("max_output_bytes", 0, 16 << 20, run.max_output_bytes);
  } else {
    for (const char* field : {"timeout_seconds", "max_output_bytes"}) {
      if (reader.Has(field)) {
        problems.Fail(reader.PathOf(field), "applies only to a method backed by a \"command\"");
      }
    }
    if (result != nullptr && hresult != nullptr) {
      problems.Fail(reader.PathOf("hresult"), "give either return_value or hresult, not both");
    } else if (hresult != nullptr) {
      method.hresult = ReadHresult(problems, *hresult, reader.PathOf("hresult"));
    } else if (result != nullptr) {
      method.return_value = *result;
    }
  }
  reader.Finish();
  return method;
}

template <typename T, typename Read>
void ReadList(ObjectReader& reader, std::string_view field, std::vector<T>* out, Read read) {
  const Json* list = reader.Array(field);
  for (std::size_t i = 0; list != nullptr && i < list->size() && reader.problems().reading();
       ++i) {
    out->push_back(read(reader.problems(), (*list)[i], IndexPath(reader.PathOf(field), i)));
  }
}

}  // namespace

ScenarioClass ReadClass(Problems& problems, const Json& value, const std::string& path) {
  ScenarioClass cls;
  cls.path = path;
  ObjectReader reader(problems, value, path);
  if (reader.Require("name")) cls.name = reader.String("name");
  cls.superclass = reader.String("superclass");
  if (const Json* properties = reader.Object("properties")) {
    if (CheckNames(problems, *properties, reader.PathOf("properties"))) {
      for (const auto& [name, type] : properties->items()) {
        cls.properties.push_back(
            ReadProperty(problems, name, type, FieldPath(reader.PathOf("properties"), name)));
      }
    }
  }
  if (const Json* methods = reader.Object("methods")) {
    if (CheckNames(problems, *methods, reader.PathOf("methods"))) {
      for (const auto& [name, method_json] : methods->items()) {
        cls.methods.push_back(
            ReadMethod(problems, name, method_json, FieldPath(reader.PathOf("methods"), name)));
      }
    }
  }
  reader.Finish();
  return cls;
}

ScenarioObject ReadObject(Problems& problems, const Json& value, const std::string& path) {
  ScenarioObject object;
  object.path = path;
  ObjectReader reader(problems, value, path);
  if (reader.Require("class")) object.class_name = reader.String("class");
  if (const Json* properties = reader.Object("properties")) {
    if (CheckNames(problems, *properties, reader.PathOf("properties"))) {
      for (const auto& [name, property] : properties->items()) {
        object.properties.emplace_back(name, property);
      }
    }
  }
  reader.Finish();
  return object;
}

void ReadSettingsSource(ObjectReader& reader, const std::filesystem::path& folder,
                        CActionManagerSettings* settings, std::vector<InputError>* warnings) {
  Problems& problems = reader.problems();
  const Json* inline_settings = reader.Find("settings");
  const Json* archive = reader.Find("settings_archive");
  const Json* version = reader.Find("version");
  if (inline_settings != nullptr && archive != nullptr) {
    problems.Fail(reader.PathOf("settings_archive"),
                  "give either settings or settings_archive, not both");
    return;
  }
  if (version != nullptr && archive == nullptr) {
    problems.Fail(reader.PathOf("version"), "belongs with settings_archive");
    return;
  }
  if (inline_settings != nullptr) {
    ReadSettings(problems, *inline_settings, reader.PathOf("settings"), settings);
    return;
  }
  if (archive == nullptr) {
    problems.Fail(reader.PathOf("settings"), "is required (or settings_archive)");
    return;
  }
  const std::size_t before = problems.count();
  const std::string name = reader.String("settings_archive");
  const auto number =
      reader.Integer("version", kMinArchiveVersion, kMaxArchiveVersion, kDefaultArchiveVersion);
  if (!problems.reading() || problems.count() != before) return;
  const std::filesystem::path path = folder / name;
  InputError error;
  if (!LoadSettingsFile(path.string(), static_cast<std::int32_t>(number), settings, &error,
                        warnings)) {
    problems.Fail(std::move(error));
  }
}

void ReadEnvironment(ObjectReader& reader, const std::filesystem::path& folder,
                     std::vector<std::pair<std::string, std::string>>* variables) {
  const Json* environment = reader.Object("environment");
  if (environment == nullptr) return;
  for (const auto& [name, value] : environment->items()) {
    const std::string path = FieldPath(reader.PathOf("environment"), name);
    if (name.empty() || name.find('=') != std::string::npos) {
      reader.problems().Fail(path, "is not a variable name");
      continue;
    }
    if (!value.is_string()) {
      reader.problems().Fail(path, "must be a string");
      continue;
    }
    std::string text = value.get<std::string>();
    if (text.find('\0') != std::string::npos) {
      reader.problems().Fail(path, "must not hold a NUL character");
      continue;
    }
    // The component reads this variable as the programs' working folder.
    if (name == "ZMO_HALBERD_DIR" && !text.empty()) {
      text = (folder / text).lexically_normal().string();
    }
    variables->emplace_back(name, std::move(text));
  }
}

bool SameName(std::string_view a, std::string_view b) { return base::EqualsIgnoreCase(a, b); }

const ScenarioClass* FindClass(const std::vector<ScenarioClass>& classes, std::string_view name) {
  const ScenarioClass* found = nullptr;
  for (const ScenarioClass& cls : classes) {
    if (SameName(cls.name, name)) found = &cls;
  }
  return found;
}

std::vector<std::string> SuperclassChain(const std::vector<ScenarioClass>& classes,
                                         std::string_view name) {
  std::vector<std::string> chain{std::string(name)};
  for (std::size_t step = 0; step < classes.size(); ++step) {
    const ScenarioClass* found = FindClass(classes, chain.back());
    if (found == nullptr || found->superclass.empty()) break;
    chain.push_back(found->superclass);
  }
  return chain;
}

std::vector<std::pair<std::string, std::string>> RequiredProperties(
    const std::vector<ScenarioClass>& classes, std::string_view name) {
  std::vector<std::pair<std::string, std::string>> required;
  for (const std::string& link : SuperclassChain(classes, name)) {
    const ScenarioClass* cls = FindClass(classes, link);
    if (cls == nullptr) continue;
    for (const ScenarioProperty& property : cls->properties) {
      if (property.required) required.emplace_back(property.name, cls->name);
    }
  }
  return required;
}

const std::pair<std::string, std::string>* MissingRequired(
    const std::vector<std::pair<std::string, std::string>>& required, const Json* properties) {
  for (const auto& entry : required) {
    bool given = false;
    if (properties != nullptr && properties->is_object()) {
      for (const auto& [name, value] : properties->items()) {
        if (SameName(name, entry.first) && !value.is_null()) given = true;
      }
    }
    if (!given) return &entry;
  }
  return nullptr;
}

std::optional<CIMTYPE> ParseCimTypeName(std::string_view name) {
  CIMTYPE flags = 0;
  if (name.size() > 2 && name.substr(name.size() - 2) == "[]") {
    flags = CIM_FLAG_ARRAY;
    name.remove_suffix(2);
  }
  for (const wbem::CimTypeInfo& known : wbem::CimTypes()) {
    if (name == known.name) return static_cast<CIMTYPE>(known.type | flags);
  }
  return std::nullopt;
}

bool ReadScenario(const Json& json, const std::filesystem::path& file, Scenario* scenario,
                  InputError* error) {
  Problems problems;
  ReadScenario(problems, json, file, scenario);
  if (!problems.ok()) {
    *error = problems.first();
    return false;
  }
  return true;
}

void ReadScenario(Problems& problems, const Json& json, const std::filesystem::path& file,
                  Scenario* scenario) {
  const std::filesystem::path folder = file.parent_path();
  ObjectReader reader(problems, json, "");
  if (reader.Require("profile")) scenario->profile = reader.String("profile");
  scenario->ns = reader.String("namespace", scenario->ns);
  scenario->standard_classes = reader.Bool("standard_classes", true);
  ReadList(reader, "classes", &scenario->classes, ReadClass);
  ReadList(reader, "instances", &scenario->instances, ReadObject);
  if (problems.reading()) {
    ReadSettingsSource(reader, folder, scenario->settings.get(), &scenario->warnings);
  }
  ReadEnvironment(reader, folder, &scenario->environment);
  ReadList(reader, "events", &scenario->events, ReadObject);
  if (const Json* expect = reader.Find("expect"); expect != nullptr && problems.ok()) {
    scenario->expect = ReadExpectations(problems, *expect, reader.PathOf("expect"));
  }
  reader.Finish();
}

bool ReadEvent(const Json& json, const std::string& path, ScenarioObject* event,
               InputError* error) {
  Problems problems;
  ScenarioObject read = ReadObject(problems, json, path);
  if (!problems.ok()) {
    *error = problems.first();
    return false;
  }
  *event = std::move(read);
  return true;
}

}  // namespace scenario
