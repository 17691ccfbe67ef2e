#include "tools/lint.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>

#include "base/ascii.h"
#include "base/file_io.h"
#include "repository/cim.h"
#include "scenario/scenario_world.h"
#include "scenario/settings_json.h"
#include "service_config/command_plan.h"
#include "settings/archive_io.h"
#include "wbem/cim_types.h"
#include "wbem/holders.h"
#include "wbem/unicode.h"
#include "world/world.h"

namespace tools {
namespace {

using scenario::CommandProviderFactory;
using scenario::ObjectReader;
using scenario::Problems;
using scenario::ReadSettings;
using scenario::ScenarioClass;
using scenario::ScenarioMethod;

constexpr LintRule kRules[] = {
    {"AM100", Severity::kError, "unreadable-file", "The file cannot be read."},
    {"AM101", Severity::kError, "json-syntax", "The text is not JSON the tool accepts."},
    {"AM102", Severity::kError, "shape",
     "A field is unknown, missing, of the wrong type or out of range."},
    {"AM103", Severity::kError, "archive-unreadable",
     "The settings archive does not read at the given version."},
    {"AM104", Severity::kWarning, "archive-unknown-action",
     "An archive entry names no action kind; loading leaves the action out."},
    {"AM105", Severity::kError, "unknown-document",
     "The JSON is neither settings, a scenario nor a service configuration."},
    {"AM201", Severity::kError, "event-case-collision",
     "Two rules' events differ only in letter case; one of the two rules can never run."},
    {"AM202", Severity::kError, "event-repeated", "Two rules name the same event."},
    {"AM203", Severity::kError, "action-name-repeated",
     "Two actions of one rule share a name; the later would replace the earlier."},
    {"AM204", Severity::kError, "builtin-no-class", "A built-in action names no class."},
    {"AM205", Severity::kError, "builtin-no-method", "A built-in action names no method."},
    {"AM206", Severity::kWarning, "instance-call-without-keys",
     "An instance call has no key parameters, so the method is called on the class."},
    {"AM207", Severity::kWarning, "class-call-with-keys",
     "A class call has key parameters, which are never used."},
    {"AM300", Severity::kError, "world",
     "The world (classes, instances, events) cannot be built as `amctl run` builds it."},
    {"AM301", Severity::kWarning, "rule-event-unknown",
     "A rule's event names no class of the world, so no event of the world reaches it."},
    {"AM302", Severity::kError, "rule-event-not-subscribed",
     "A rule's event class does not derive from ZRV_Event, which the profile subscribes to."},
    {"AM303", Severity::kError, "builtin-class-unknown",
     "A built-in action's class is not in the world."},
    {"AM304", Severity::kError, "builtin-method-unknown",
     "A built-in action's method is not declared by its class."},
    {"AM305", Severity::kError, "builtin-namespace",
     "A built-in action's namespace is not the world's namespace."},
    {"AM306", Severity::kError, "key-not-a-key", "A key parameter is not a key of the class."},
    {"AM307", Severity::kError, "keys-incomplete",
     "The key parameters do not name every key of the class."},
    {"AM308", Severity::kWarning, "in-param-undeclared",
     "An in-parameter is not declared by the method; it is skipped."},
    {"AM309", Severity::kError, "key-event-property-unknown",
     "A key parameter's event property is not a property of the rule's event class."},
    {"AM310", Severity::kWarning, "in-event-property-unknown",
     "An in-parameter's event property is not a property of the rule's event class."},
    {"AM311", Severity::kWarning, "type-never-converts",
     "The event property's type never converts to the parameter's type; it is skipped."},
    {"AM401", Severity::kError, "command-unbalanced-quote",
     "A program command has an unbalanced quote."},
    {"AM402", Severity::kError, "command-placeholder-first",
     "A program command starts with the wrapper-file placeholder, which names no program."},
    {"AM403", Severity::kWarning, "command-placeholder-dropped",
     "The wrapper-file placeholder inside a program command is dropped by the runner."},
    {"AM404", Severity::kWarning, "command-double-quotes",
     "Double quotes in a program command are taken by the command line, not by the shell."},
    {"AM405", Severity::kError, "command-too-long",
     "The command line the runner builds is longer than it keeps; the command is cut off."},
    {"AM406", Severity::kWarning, "command-empty", "A program command is empty."},
    {"AM407", Severity::kError, "program-wrapper-unreadable",
     "The ZMO_HALBERD_DIR folder has no readable scustom.pl; every program action fails."},
    {"AM501", Severity::kWarning, "alert-value-not-guaranteed",
     "A command's key or placeholder comes from an alert value the mapping does not always "
     "fill."},
};

// The placeholder for the wrapper file, and the longest command line the
// runner keeps (runner/command_runner.cc).
constexpr std::string_view kPlaceholder = "_-COMMAND-_";
constexpr std::size_t kLongestCommandLine = 511;
// The wrapper call a program action's command line starts with.
constexpr std::string_view kWrapperCall = "perl scustom.pl ";

// A namespace as the repository compares it: slashes as backslashes, folded.
std::string NamespaceKey(std::string_view ns) {
  std::string key = base::AsciiLowered(ns);
  std::replace(key.begin(), key.end(), '/', '\\');
  return key;
}

// A text field of a document whose shape the reader has accepted ("x" or
// "x_hex").
std::string TextField(const Json& object, std::string_view field) {
  Problems ignored;
  ObjectReader reader(ignored, object, "");
  return reader.Text(field);
}

bool HasField(const Json& object, std::string_view field) {
  return object.is_object() && object.contains(field);
}

const Json* ArrayField(const Json& object, std::string_view field) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(field);
  return it != object.end() && it->is_array() ? &*it : nullptr;
}

std::string Quote(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The text of a VT_BSTR variant; empty for anything else.
std::string VariantText(const VARIANT& value) {
  if (value.vt != VT_BSTR || value.bstrVal == nullptr) return {};
  return wbem::Utf16ToUtf8(std::u16string_view(value.bstrVal, SysStringLen(value.bstrVal)));
}

std::string TypeName(CIMTYPE type) {
  std::string name = repository::CimTypeName(type & ~CIM_FLAG_ARRAY);
  if ((type & CIM_FLAG_ARRAY) != 0) name += "[]";
  return name;
}

// How the parameter mapping classifies a CIM type, on either side: a text, a
// number, or something it never converts.
enum class ValueKind { kText, kNumber, kNever };

ValueKind KindOf(CIMTYPE type) {
  const wbem::CimTypeInfo* info = wbem::FindCimType(type);
  if (info == nullptr) return ValueKind::kNever;
  switch (info->kind) {
    case wbem::CimKind::kString:
    case wbem::CimKind::kReference:
      return ValueKind::kText;
    case wbem::CimKind::kInteger:
    case wbem::CimKind::kReal:
    case wbem::CimKind::kBoolean:
      return ValueKind::kNumber;
    default:
      return ValueKind::kNever;
  }
}

}  // namespace

std::span<const LintRule> LintRules() { return kRules; }

const LintRule* FindLintRule(std::string_view code) {
  for (const LintRule& rule : kRules) {
    if (rule.code == code) return &rule;
  }
  return nullptr;
}

void AddFinding(Findings* findings, std::string file, std::string place, std::string_view code,
                std::string message) {
  const LintRule* rule = FindLintRule(code);
  Finding finding;
  finding.file = std::move(file);
  finding.place = std::move(place);
  finding.code = std::string(code);
  finding.severity = rule != nullptr ? rule->severity : Severity::kError;
  finding.message = std::move(message);
  int line = 0;
  int column = 0;
  if (std::sscanf(finding.place.c_str(), "line %d, column %d", &line, &column) == 2) {
    finding.line = line;
    finding.column = column;
  }
  findings->push_back(std::move(finding));
}

void AddReaderError(Findings* findings, const std::string& file, const InputError& error) {
  const std::string& named = error.file.empty() ? file : error.file;
  std::string_view code = "AM102";
  if (error.place.starts_with("line ")) {
    code = "AM101";
  } else if (error.place.starts_with("offset ")) {
    code = "AM103";
  } else if (error.place.empty() && error.message.starts_with("cannot read")) {
    code = "AM100";
  }
  AddFinding(findings, named, error.place, code, error.message);
}

void AddReaderErrorUnlessNamed(Findings* findings, const std::string& file,
                               const InputError& error) {
  const std::string& named = error.file.empty() ? file : error.file;
  for (const Finding& finding : *findings) {
    const bool names_code = finding.code == "AM201" || finding.code == "AM202" ||
                            finding.code == "AM203" || finding.code == "AM102";
    if (names_code && finding.file == named && finding.place == error.place) return;
  }
  AddReaderError(findings, file, error);
}

// ---------------------------------------------------------------------------
// Positions.

namespace {

// A character iterator that records how far the parser has read: the SAX
// interface reports values, not where they stand, but the parser reads each
// token to its end (a number one character past it) before reporting it.
class ReadingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ReadingIterator() = default;
  ReadingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  ReadingIterator& operator++() {
    ++at_;
    if (furthest_ != nullptr && at_ > *furthest_) *furthest_ = at_;
    return *this;
  }
  ReadingIterator operator++(int) {
    ReadingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const ReadingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_ = nullptr;
  const char** furthest_ = nullptr;
};

// The type names below are what nlohmann's SAX parser requires of every
// handler; scenario's DomBuilder declares the same ones.
class OffsetRecorder {
 public:
  using string_t = Json::string_t;
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using binary_t = Json::binary_t;

  OffsetRecorder(std::string_view text, const char** furthest,
                 std::unordered_map<std::string, std::size_t>* offsets)
      : text_(text), furthest_(furthest), offsets_(offsets) {}

  bool null() { return Value(); }
  bool boolean(bool) { return Value(); }
  bool number_integer(number_integer_t) { return Value(); }
  bool number_unsigned(number_unsigned_t) { return Value(); }
  bool number_float(number_float_t, const string_t&) { return Value(); }
  bool string(string_t&) { return Value(); }
  bool binary(binary_t&) { return Value(); }
  bool start_object(std::size_t) { return Open(false); }
  bool start_array(std::size_t) { return Open(true); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(string_t& key) {
    Frame& top = frames_.back();
    top.member = FieldPath(top.path, key);
    offsets_->emplace(top.member, TokenStart());
    return Read();
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  struct Frame {
    std::string path;
    bool array = false;
    std::size_t next = 0;  // an array's next index
    std::string member;    // an object's current member
  };

  // Only blanks and separators stand between the end of what was reported
  // last and the next token.
  std::size_t TokenStart() const {
    std::size_t at = reported_;
    while (at < text_.size() && std::strchr(" \t\r\n,:", text_[at]) != nullptr) ++at;
    return at;
  }
  bool Read() {
    reported_ = static_cast<std::size_t>(*furthest_ - text_.data());
    return true;
  }
  // The path of the value being reported, recorded when it is an element.
  std::string Place() {
    if (frames_.empty()) {
      offsets_->emplace("", TokenStart());
      return "";
    }
    Frame& top = frames_.back();
    if (!top.array) return top.member;
    std::string path = IndexPath(top.path, top.next++);
    offsets_->emplace(path, TokenStart());
    return path;
  }
  bool Value() {
    Place();
    return Read();
  }
  bool Open(bool array) {
    Frame frame;
    frame.path = Place();
    frame.array = array;
    frames_.push_back(std::move(frame));
    return Read();
  }
  bool Close() {
    frames_.pop_back();
    return Read();
  }

  std::string_view text_;
  const char** furthest_;
  std::unordered_map<std::string, std::size_t>* offsets_;
  std::vector<Frame> frames_;
  std::size_t reported_ = 0;
};

// The parent of a field path ("a.b[2]" -> "a.b", "a.b" -> "a"); false at
// the top.
bool ParentPath(std::string* path) {
  if (path->empty()) return false;
  const std::size_t cut = path->find_last_of(".[");
  path->resize(cut == std::string::npos ? 0 : cut);
  return true;
}

}  // namespace

std::unordered_map<std::string, std::size_t> FieldOffsets(std::string_view text) {
  std::unordered_map<std::string, std::size_t> offsets;
  const char* furthest = text.data();
  OffsetRecorder recorder(text, &furthest, &offsets);
  const char* end = text.data() + text.size();
  (void)Json::sax_parse(ReadingIterator(text.data(), &furthest), ReadingIterator(end, nullptr),
                        &recorder);
  return offsets;
}

void PlaceFieldPaths(std::string_view text, const std::string& file, Findings* findings) {
  std::unordered_map<std::string, std::size_t> offsets;
  bool read = false;
  for (Finding& finding : *findings) {
    if (finding.file != file || finding.line > 0 || finding.place.empty() ||
        finding.place.starts_with("offset ")) {
      continue;
    }
    if (!read) {
      offsets = FieldOffsets(text);
      read = true;
    }
    std::string path = finding.place;
    auto it = offsets.find(path);
    if (it == offsets.end()) it = offsets.find(path + "_hex");
    while (it == offsets.end() && ParentPath(&path)) it = offsets.find(path);
    if (it == offsets.end()) continue;
    const std::string_view before = text.substr(0, it->second);
    const std::size_t newline = before.rfind('\n');
    finding.line = 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
    finding.column =
        static_cast<int>(newline == std::string_view::npos ? it->second + 1 : it->second - newline);
  }
}

// ---------------------------------------------------------------------------
// Alertmanager.

namespace {

// Why the Alertmanager mapping may leave `property` out of an event; empty
// when it always fills it.
std::string AlertGap(const service::AlertmanagerConfig& mapping, const std::string& property) {
  for (const char* always : {"EventId", "ProfileName", "event_key"}) {
    if (scenario::SameName(property, always)) return {};
  }
  for (const auto& [name, source] : mapping.properties) {
    if (!scenario::SameName(name, property)) continue;
    if (source == "labels.alertname") return {};
    if (source.starts_with("labels.") || source.starts_with("annotations.")) {
      return "comes from " + Quote(source) + ", which an alert may lack";
    }
    return {};  // a field every alert and notification carries
  }
  if (scenario::SameName(property, "severity")) {
    return "comes from the label \"severity\", which an alert may lack";
  }
  if (mapping.fill_by_name) return "is filled only by a label or annotation of its name, if any";
  return "is never filled by the mapping";
}

// The method `name` of `cls` or of its nearest ancestor that declares it.
const scenario::ScenarioMethod* FindMethod(const std::vector<ScenarioClass>& classes,
                                           const std::string& cls, const std::string& name) {
  for (const std::string& step : scenario::SuperclassChain(classes, cls)) {
    const ScenarioClass* found = scenario::FindClass(classes, step);
    if (found == nullptr) continue;
    for (const ScenarioMethod& method : found->methods) {
      if (scenario::SameName(method.name, name)) return &method;
    }
  }
  return nullptr;
}

}  // namespace

void LintAlertFeeds(const service::Config& config, const Json& settings, const std::string& file,
                    const std::string& prefix, Findings* findings) {
  const service::AlertmanagerConfig& mapping = config.alertmanager;
  const Json* rules = ArrayField(settings, "rules");
  if (!mapping.enabled || rules == nullptr) return;
  // Of the rule in hand's event class: an alert without one of these is
  // ignored before it becomes an event, so such a property is always filled.
  std::vector<std::pair<std::string, std::string>> required;
  const auto check = [&](const std::string& place, const std::string& what,
                         const std::string& property) {
    const auto names = [&](const auto& entry) { return scenario::SameName(entry.first, property); };
    if (std::any_of(required.begin(), required.end(), names)) return;
    const std::string gap = AlertGap(mapping, property);
    if (gap.empty()) return;
    AddFinding(findings, file, place, "AM501",
               "the " + what + " is the event property " + Quote(property) + ", which " + gap +
                   ": an event from such an alert fails the call with 901");
  };
  for (std::size_t i = 0; i < rules->size(); ++i) {
    const std::string event = TextField((*rules)[i], "event");
    const bool from_alerts =
        scenario::SameName(event, mapping.firing_class) ||
        (!mapping.resolved_class.empty() && scenario::SameName(event, mapping.resolved_class));
    required = scenario::RequiredProperties(config.classes, event);
    const Json* actions = ArrayField((*rules)[i], "actions");
    for (std::size_t j = 0; from_alerts && actions != nullptr && j < actions->size(); ++j) {
      const Json& action = (*actions)[j];
      if (!HasField(action, "kind") || action["kind"] != "builtin") continue;
      const ScenarioMethod* method =
          FindMethod(config.classes, TextField(action, "class"), TextField(action, "method"));
      if (method == nullptr || !method->command) continue;
      std::vector<std::string> placeholders;
      for (const std::string& argument : method->command->argv) {
        service::CommandArgument pieces;
        std::string ignored;
        if (!service::ParseCommandArgument(argument, &pieces, &ignored)) continue;
        for (const service::CommandPiece& piece : pieces) {
          if (piece.placeholder) placeholders.push_back(piece.text);
        }
      }
      const std::string path =
          IndexPath(FieldPath(IndexPath(FieldPath(prefix, "rules"), i), "actions"), j);
      const Json* keys = ArrayField(action, "key_params");
      for (std::size_t k = 0; keys != nullptr && k < keys->size(); ++k) {
        check(FieldPath(IndexPath(FieldPath(path, "key_params"), k), "event_prop"), "key",
              TextField((*keys)[k], "event_prop"));
      }
      const Json* ins = ArrayField(action, "in_params");
      for (std::size_t k = 0; ins != nullptr && k < ins->size(); ++k) {
        const std::string param = TextField((*ins)[k], "param");
        const bool named =
            std::any_of(placeholders.begin(), placeholders.end(),
                        [&](const std::string& p) { return scenario::SameName(p, param); });
        if (!named) continue;
        check(FieldPath(IndexPath(FieldPath(path, "in_params"), k), "event_prop"),
              "placeholder {" + param + "}", TextField((*ins)[k], "event_prop"));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The program wrapper.

void LintProgramFolder(const std::vector<std::pair<std::string, std::string>>& environment,
                       const std::vector<const Json*>& settings, const std::string& file,
                       const std::string& place, Findings* findings) {
  std::string folder;
  for (const auto& [name, value] : environment) {
    if (name == "ZMO_HALBERD_DIR") folder = value;
  }
  if (folder.empty()) return;
  bool runs_programs = false;
  for (const Json* json : settings) {
    const Json* rules = json != nullptr ? ArrayField(*json, "rules") : nullptr;
    for (std::size_t i = 0; rules != nullptr && i < rules->size(); ++i) {
      const Json* actions = ArrayField((*rules)[i], "actions");
      for (std::size_t j = 0; actions != nullptr && j < actions->size(); ++j) {
        const Json& action = (*actions)[j];
        runs_programs = runs_programs || (HasField(action, "kind") && action["kind"] == "program");
      }
    }
  }
  if (!runs_programs) return;
  const std::string wrapper = (std::filesystem::path(folder) / "scustom.pl").string();
  std::string bytes;
  std::string why;
  if (base::ReadWholeFile(wrapper, &bytes, &why)) return;
  AddFinding(findings, file, FieldPath(place, "ZMO_HALBERD_DIR"), "AM407",
             Quote(wrapper) + " cannot be read (" + why +
                 "): every program action starts perl on it there, so each fails with 901");
}

// ---------------------------------------------------------------------------
// The world.

struct LintWorld::Impl {
  world::World world;
  wbem::ComPtr<IWbemServices> services;

  explicit Impl(const std::string& ns) : world(ns), services(world.ns().Services()) {}

  wbem::ComPtr<IWbemClassObject> Class(const std::string& name) const {
    wbem::ComPtr<IWbemClassObject> object;
    if (name.empty()) return object;
    const wbem::Bstr path(name);
    if (services->GetObject(path.get(), 0, nullptr, object.Out(), nullptr) != WBEM_S_NO_ERROR) {
      object = {};
    }
    return object;
  }

  // Whether the object has the property (system properties included), and
  // its type.
  static bool PropertyType(IWbemClassObject* object, const std::string& name,
                           CIMTYPE* type = nullptr) {
    if (object == nullptr || name.empty()) return false;
    const wbem::Bstr bstr(name);
    CIMTYPE read = 0;
    if (FAILED(object->Get(bstr.get(), 0, nullptr, &read, nullptr))) return false;
    if (type != nullptr) *type = read;
    return true;
  }

  static std::vector<std::string> Keys(IWbemClassObject* object) {
    std::vector<std::string> keys;
    if (FAILED(object->BeginEnumeration(WBEM_FLAG_KEYS_ONLY))) return keys;
    wbem::Bstr name;
    while (object->Next(0, name.Out(), nullptr, nullptr, nullptr) == WBEM_S_NO_ERROR) {
      keys.push_back(name.ToUtf8());
    }
    object->EndEnumeration();
    return keys;
  }

  // Whether `object`'s class is `base` or derives from it.
  static bool DerivesFrom(IWbemClassObject* object, std::string_view base, const Impl& self) {
    wbem::ComPtr<IWbemClassObject> current(object);
    for (int depth = 0; current && depth < 64; ++depth) {
      wbem::Variant name;
      if (FAILED(current->Get(u"__CLASS", 0, name.Out(), nullptr, nullptr))) return false;
      if (base::AsciiLowered(VariantText(name.get())) == base::AsciiLowered(base)) return true;
      wbem::Variant parent;
      if (FAILED(current->Get(u"__SUPERCLASS", 0, parent.Out(), nullptr, nullptr)) ||
          parent.get().vt != VT_BSTR) {
        return false;
      }
      current = self.Class(VariantText(parent.get()));
    }
    return false;
  }
};

LintWorld::LintWorld(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LintWorld::~LintWorld() = default;

std::unique_ptr<LintWorld> LintWorld::Build(const Scenario& scenario, InputError* error,
                                            bool commands_run) {
  auto impl = std::make_unique<Impl>(scenario.ns);
  CommandProviderFactory commands;
  if (commands_run) {
    // Checking runs nothing: the world only has to declare the method.
    commands = [](const ScenarioClass&, const ScenarioMethod&) -> repository::MethodProvider {
      return [](repository::MethodCall&) { return WBEM_E_NOT_SUPPORTED; };
    };
  }
  if (!BuildWorld(scenario, impl->world, MethodCallObserver(), error, commands)) return nullptr;
  return std::unique_ptr<LintWorld>(new LintWorld(std::move(impl)));
}

// ---------------------------------------------------------------------------
// Names.

void LintSettingsNames(const Json& json, const std::string& file, const std::string& prefix,
                       Findings* findings) {
  const Json* rules = ArrayField(json, "rules");
  if (rules == nullptr) return;
  const std::string rules_path = FieldPath(prefix, "rules");
  struct Seen {
    std::size_t index;
    std::string event;
  };
  std::unordered_map<std::string, Seen> events;  // by the folded event
  for (std::size_t i = 0; i < rules->size(); ++i) {
    const Json& rule = (*rules)[i];
    const std::string rule_path = IndexPath(rules_path, i);
    if (HasField(rule, "event") || HasField(rule, "event_hex")) {
      const std::string event = TextField(rule, "event");
      const auto [it, fresh] = events.emplace(base::AsciiLowered(event), Seen{i, event});
      if (!fresh) {
        const std::string first = IndexPath(rules_path, it->second.index);
        if (it->second.event == event) {
          AddFinding(findings, file, FieldPath(rule_path, "event"), "AM202",
                     "repeats the event of " + first);
        } else {
          AddFinding(findings, file, FieldPath(rule_path, "event"), "AM201",
                     "differs from " + FieldPath(first, "event") +
                         " only in letter case; events match without regard to case, so one of "
                         "the two rules could never run");
        }
      }
    }
    const Json* actions = ArrayField(rule, "actions");
    if (actions == nullptr) continue;
    const std::string actions_path = FieldPath(rule_path, "actions");
    std::unordered_map<std::string, std::size_t> names;
    for (std::size_t j = 0; j < actions->size(); ++j) {
      const Json& action = (*actions)[j];
      if (!HasField(action, "name") && !HasField(action, "name_hex")) continue;
      const auto [it, fresh] = names.emplace(TextField(action, "name"), j);
      if (!fresh) {
        AddFinding(findings, file, FieldPath(IndexPath(actions_path, j), "name"), "AM203",
                   "repeats the name of " + IndexPath(actions_path, it->second));
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Meaning.

namespace {

struct ActionContext {
  const std::string& file;
  const std::string& path;  // the action's field path
  Findings* findings;

  std::string At(std::string_view field) const { return FieldPath(path, field); }
  void Add(const std::string& place, std::string_view code, std::string message) const {
    AddFinding(findings, file, place, code, std::move(message));
  }
};

void LintCommand(const ActionContext& at, const std::string& command) {
  const std::string place = at.At("command");
  if (command.find_first_not_of(" \t\r\n") == std::string::npos) {
    at.Add(place, "AM406",
           "is empty: the wrapper runs an empty shell command, which succeeds and does nothing");
    return;
  }
  // The runner splits the whole command line at spaces into words, strips
  // each, drops the placeholder words and joins the rest with one space
  // each, keeping kLongestCommandLine characters.
  const std::string quoted = '"' + command + '"';
  std::size_t length = kWrapperCall.size();
  std::vector<std::string> words;  // of the command itself, for the checks below
  for (std::size_t start = 0; start < quoted.size();) {
    std::size_t end = quoted.find(' ', start);
    if (end == std::string::npos) end = quoted.size();
    std::string_view word = std::string_view(quoted).substr(start, end - start);
    start = end + 1;
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.front()))) {
      word.remove_prefix(1);
    }
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) {
      word.remove_suffix(1);
    }
    if (word.empty()) continue;
    length += (word == kPlaceholder ? 0 : word.size()) + 1;
    words.emplace_back(word);
  }
  if (length > kLongestCommandLine) {
    at.Add(place, "AM405",
           "makes a command line of " + std::to_string(length) + " characters (" +
               std::string(kWrapperCall) + "and the quoted command); the runner keeps " +
               std::to_string(kLongestCommandLine) + ", so the command is cut off");
  }
  // The first word carries the opening quote of the wrapper's argument, the
  // last the closing one.
  if (!words.empty()) {
    std::string first = words.front().substr(1);
    if (words.size() == 1 && !first.empty()) first.pop_back();
    if (first == kPlaceholder) {
      at.Add(place, "AM402",
             "starts with " + std::string(kPlaceholder) +
                 ", the placeholder for the wrapper file, which a program action never writes "
                 "(its command goes to scustom.pl as an argument): the shell would look for a "
                 "program of that name and fail");
    }
    for (std::size_t i = 1; i + 1 < words.size(); ++i) {
      if (words[i] == kPlaceholder) {
        at.Add(place, "AM403",
               "holds the word " + std::string(kPlaceholder) +
                   ", which the runner drops from a command that is passed as an argument; the "
                   "shell never sees it");
        break;
      }
    }
  }
  // Quotes as the shell reads them: backslash escapes outside single quotes.
  char open = 0;
  std::size_t opened_at = 0;
  bool double_quotes = false;
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (open == '\'') {
      if (c == '\'') open = 0;
    } else if (c == '\\' && i + 1 < command.size()) {
      ++i;
    } else if (c == '"') {
      double_quotes = true;
      if (open == '"') {
        open = 0;
      } else {
        open = '"';
        opened_at = i;
      }
    } else if (c == '\'' && open == 0) {
      open = '\'';
      opened_at = i;
    }
  }
  if (open != 0) {
    at.Add(place, "AM401",
           std::string("has an unbalanced ") + (open == '\'' ? "single" : "double") +
               " quote (the one at character " + std::to_string(opened_at + 1) +
               " is never closed): " +
               (open == '\''
                    ? "the shell that scustom.pl starts refuses the command"
                    : "the command line's argument splitting runs it to the end of the line"));
  } else if (double_quotes) {
    at.Add(place, "AM404",
           "holds double quotes: the agent does not escape the command, so they group the "
           "wrapper's arguments and are gone before the shell runs it (scustom.pl joins the "
           "arguments with single blanks); use single quotes for the shell");
  }
}

struct EventClass {
  std::string name;
  wbem::ComPtr<IWbemClassObject> object;  // null when the world has no such class
};

void LintBuiltin(const ActionContext& at, const Json& action, const EventClass& event,
                 const LintWorld::Impl* world) {
  const std::string cls = TextField(action, "class");
  const std::string method = TextField(action, "method");
  const std::string ns = TextField(action, "namespace");
  bool class_call = false;
  if (const auto it = action.find("class_call"); it != action.end()) {
    class_call = it->is_boolean() ? it->get<bool>() : (it->is_number() && *it != 0);
  }
  const Json* keys = ArrayField(action, "key_params");
  const Json* ins = ArrayField(action, "in_params");
  const bool has_keys = keys != nullptr && !keys->empty();

  if (cls.empty()) {
    at.Add(at.At("class"), "AM204",
           "is empty: the action fetches a class of no name, which fails at every event");
  }
  if (method.empty()) {
    at.Add(at.At("method"), "AM205",
           "is empty: the action calls a method of no name, which fails at every event");
  }
  if (class_call && has_keys) {
    at.Add(at.At("key_params"), "AM207",
           "is not used: class_call calls the method on the class, without keys");
  }
  if (!class_call && !has_keys) {
    at.Add(at.At("key_params"), "AM206",
           "is empty, so the instance call goes to the class path without keys; set "
           "class_call when a call on the class is meant, or name the instance's keys");
  }
  if (world == nullptr || cls.empty()) return;

  if (NamespaceKey(ns) != NamespaceKey(world->world.ns().name())) {
    at.Add(at.At("namespace"), "AM305",
           Quote(ns) + " is not the world's namespace " + Quote(world->world.ns().name()) +
               ": the call's object path names a namespace the method is not found in");
  }
  const wbem::ComPtr<IWbemClassObject> target = world->Class(cls);
  if (!target) {
    at.Add(at.At("class"), "AM303",
           Quote(cls) + " is not a class of the world: fetching it fails at every event");
    return;
  }
  wbem::ComPtr<IWbemClassObject> in_signature;
  bool method_found = false;
  if (!method.empty()) {
    const wbem::Bstr name(method);
    method_found = target->GetMethod(name.get(), 0, in_signature.Out(), nullptr) == WBEM_S_NO_ERROR;
    if (!method_found) {
      at.Add(at.At("method"), "AM304",
             Quote(cls) + " declares no method " + Quote(method) +
                 ": looking it up fails at every event");
    }
  }

  if (!class_call && has_keys) {
    const std::vector<std::string> class_keys = LintWorld::Impl::Keys(target.get());
    std::vector<bool> given(class_keys.size(), false);
    const std::string keys_path = at.At("key_params");
    for (std::size_t k = 0; k < keys->size(); ++k) {
      const std::string prop = TextField((*keys)[k], "event_prop");
      const std::string place = FieldPath(IndexPath(keys_path, k), "event_prop");
      bool is_key = false;
      for (std::size_t c = 0; c < class_keys.size(); ++c) {
        if (base::AsciiLowered(class_keys[c]) == base::AsciiLowered(prop)) {
          is_key = true;
          given[c] = true;
        }
      }
      if (!is_key) {
        std::string keys_text;
        for (const std::string& key : class_keys) {
          keys_text += (keys_text.empty() ? "" : ", ") + key;
        }
        at.Add(place, "AM306",
               Quote(prop) + " is not a key of " + Quote(cls) + " (" +
                   (class_keys.empty() ? "it has no keys" : "its keys: " + keys_text) +
                   "): the object path names no instance, so the call fails at every event");
      }
      if (event.object && !LintWorld::Impl::PropertyType(event.object.get(), prop)) {
        at.Add(place, "AM309",
               Quote(prop) + " is not a property of the event class " + Quote(event.name) +
                   ": the key's value cannot be read, so the object path names no instance");
      }
    }
    std::string missing;
    for (std::size_t c = 0; c < class_keys.size(); ++c) {
      if (!given[c]) missing += (missing.empty() ? "" : ", ") + class_keys[c];
    }
    if (!missing.empty()) {
      at.Add(keys_path, "AM307",
             "leaves out the key(s) " + missing + " of " + Quote(cls) +
                 ": a path without every key names no instance");
    }
  }

  if (ins == nullptr) return;
  const std::string ins_path = at.At("in_params");
  for (std::size_t k = 0; k < ins->size(); ++k) {
    const std::string param = TextField((*ins)[k], "param");
    const std::string prop = TextField((*ins)[k], "event_prop");
    const std::string pair_path = IndexPath(ins_path, k);
    CIMTYPE param_type = 0;
    bool have_param = false;
    if (method_found) {
      have_param = !param.starts_with("__") &&
                   LintWorld::Impl::PropertyType(in_signature.get(), param, &param_type);
      if (!have_param) {
        at.Add(FieldPath(pair_path, "param"), "AM308",
               Quote(method) + " declares no in-parameter " + Quote(param) +
                   ": the pair is skipped at every event");
      }
    }
    CIMTYPE prop_type = 0;
    bool have_prop = false;
    if (event.object) {
      have_prop = LintWorld::Impl::PropertyType(event.object.get(), prop, &prop_type);
      if (!have_prop) {
        at.Add(FieldPath(pair_path, "event_prop"), "AM310",
               Quote(prop) + " is not a property of the event class " + Quote(event.name) +
                   ": the pair is skipped at every event");
      }
    }
    if (have_param && have_prop) {
      const ValueKind source = KindOf(prop_type);
      const ValueKind target_kind = KindOf(param_type);
      std::string why;
      if (source == ValueKind::kNever) {
        why = "the mapping reads no value from a " + TypeName(prop_type) + " property";
      } else if (target_kind == ValueKind::kNever) {
        why = "the mapping fills no " + TypeName(param_type) + " parameter";
      } else if (source != target_kind) {
        why = source == ValueKind::kText ? "a text never feeds a number"
                                         : "a number never feeds a text";
      }
      if (!why.empty()) {
        at.Add(pair_path, "AM311",
               "the event property " + Quote(prop) + " (" + TypeName(prop_type) +
                   ") never converts to the parameter " + Quote(param) + " (" +
                   TypeName(param_type) + "): " + why + ", so the pair is skipped at every event");
      }
    }
  }
}

}  // namespace

namespace {

// `place` with its leading path `from` (whole segments) replaced by `to`.
std::string Rebase(const std::string& place, const std::string& from, const std::string& to) {
  if (place.compare(0, from.size(), from) != 0) return place;
  if (place.size() > from.size() && place[from.size()] != '.' && place[from.size()] != '[') {
    return place;
  }
  return to + place.substr(from.size());
}

// Reads one piece of settings under `prefix`: every refusal of the reader,
// each placed with `from` given back as `to`.
std::vector<InputError> ReadPiece(const Json& piece, const std::string& prefix,
                                  const std::string& from, const std::string& to) {
  Problems problems(Problems::Keep::kEvery);
  CActionManagerSettings read;
  ReadSettings(problems, piece, prefix, &read);
  std::vector<InputError> refused = problems.all();
  for (InputError& error : refused) error.place = Rebase(error.place, from, to);
  return refused;
}

// The fields of a rule or an action that the meaning checks read; a refusal
// of any other field (one the reader does not know, a limit, a description)
// leaves these as written.
constexpr std::string_view kMeaningFields[] = {"event",      "kind",       "namespace",
                                               "class",      "method",     "class_call",
                                               "key_params", "in_params",  "command"};

// Whether the refusal at `place`, inside the rule or action at `piece`,
// concerns what the meaning checks read: one of their fields, or the piece
// as a whole.
bool RefusesMeaning(const std::string& place, const std::string& piece) {
  if (!place.starts_with(piece) || place.size() <= piece.size() + 1 ||
      place[piece.size()] != '.') {
    return true;
  }
  std::string_view field = std::string_view(place).substr(piece.size() + 1);
  field = field.substr(0, field.find_first_of(".["));
  if (field.ends_with("_hex")) field.remove_suffix(4);
  return std::find(std::begin(kMeaningFields), std::end(kMeaningFields), field) !=
         std::end(kMeaningFields);
}

// A settings document of one rule.
Json OneRule(Json rule) {
  Json rules = Json::array();
  rules.push_back(std::move(rule));
  Json settings = Json::object();
  settings["rules"] = std::move(rules);
  return settings;
}

}  // namespace

ShapeRefusals LintSettingsShape(const Json& json, const std::string& file,
                                const std::string& prefix, Findings* findings) {
  ShapeRefusals skip;
  const auto refuse = [&](const InputError& error, std::string_view what) {
    AddReaderError(findings, file, error);
    if (!what.empty()) findings->back().message += "; " + std::string(what);
  };
  const Json* rules = ArrayField(json, "rules");
  Json top = json;
  if (rules != nullptr) top["rules"] = Json::array();
  const bool unread = !json.is_object() || (json.contains("rules") && rules == nullptr);
  for (const InputError& error : ReadPiece(top, prefix, "", "")) {
    refuse(error, unread ? "no rule is checked further" : "");
  }
  if (rules == nullptr) return skip;
  const std::string rules_path = FieldPath(prefix, "rules");
  const std::string first_rule = IndexPath(rules_path, 0);
  const std::string first_action = IndexPath(FieldPath(first_rule, "actions"), 0);
  for (std::size_t i = 0; i < rules->size(); ++i) {
    const Json& rule = (*rules)[i];
    const Json* actions = ArrayField(rule, "actions");
    Json header = rule;
    if (actions != nullptr) header["actions"] = Json::array();
    const std::string rule_path = IndexPath(rules_path, i);
    for (const InputError& error :
         ReadPiece(OneRule(std::move(header)), prefix, first_rule, rule_path)) {
      const bool skips = RefusesMeaning(error.place, rule_path);
      if (skips) skip.rules.insert(i);
      refuse(error, skips ? "the meaning checks skip this rule" : "");
    }
    for (std::size_t j = 0; actions != nullptr && j < actions->size(); ++j) {
      Json alone = Json::object();
      alone["event"] = "E";
      alone["actions"] = Json::array();
      alone["actions"].push_back((*actions)[j]);
      const std::string action_path = IndexPath(FieldPath(rule_path, "actions"), j);
      for (const InputError& error :
           ReadPiece(OneRule(std::move(alone)), prefix, first_action, action_path)) {
        const bool skips = RefusesMeaning(error.place, action_path);
        if (skips) skip.actions.emplace(i, j);
        refuse(error, skips ? "the meaning checks skip this action" : "");
      }
    }
  }
  return skip;
}

void LintSettingsMeaning(const Json& json, const std::string& file, const std::string& prefix,
                         const LintWorld* world, Findings* findings, const ShapeRefusals* skip) {
  const Json* rules = ArrayField(json, "rules");
  if (rules == nullptr) return;
  const LintWorld::Impl* impl = world != nullptr ? &world->impl() : nullptr;
  const std::string rules_path = FieldPath(prefix, "rules");
  for (std::size_t i = 0; i < rules->size(); ++i) {
    if (skip != nullptr && skip->rules.contains(i)) continue;
    const Json& rule = (*rules)[i];
    const std::string rule_path = IndexPath(rules_path, i);
    EventClass event;
    event.name = TextField(rule, "event");
    if (impl != nullptr) {
      event.object = impl->Class(event.name);
      if (!event.object) {
        AddFinding(findings, file, FieldPath(rule_path, "event"), "AM301",
                   Quote(event.name) +
                       " is not a class of the world: no event of the world reaches this rule");
      } else if (!LintWorld::Impl::DerivesFrom(event.object.get(), "ZRV_Event", *impl)) {
        AddFinding(findings, file, FieldPath(rule_path, "event"), "AM302",
                   Quote(event.name) +
                       " does not derive from ZRV_Event: the profile subscribes to ZRV_Event "
                       "and its subclasses, so this rule never runs");
      }
    }
    const Json* actions = ArrayField(rule, "actions");
    if (actions == nullptr) continue;
    for (std::size_t j = 0; j < actions->size(); ++j) {
      if (skip != nullptr && skip->actions.contains({i, j})) continue;
      const Json& action = (*actions)[j];
      const std::string path = IndexPath(FieldPath(rule_path, "actions"), j);
      const ActionContext at{file, path, findings};
      const auto kind = action.find("kind");
      if (kind == action.end() || !kind->is_string()) continue;
      if (*kind == "builtin") {
        LintBuiltin(at, action, event, impl);
      } else if (*kind == "program") {
        LintCommand(at, TextField(action, "command"));
      }
    }
  }
}

void LintSettingsJson(const Json& settings, const std::string& file, const std::string& prefix,
                      const LintWorld* world, Findings* findings) {
  LintSettingsNames(settings, file, prefix, findings);
  const ShapeRefusals skip = LintSettingsShape(settings, file, prefix, findings);
  LintSettingsMeaning(settings, file, prefix, world, findings, &skip);
}

namespace {

// Loading merges entries of one name (a rule's actions, the settings'
// rules): the later hides the earlier. An archive that loads cleanly at the
// current layout stores back to exactly its own size unless that happened.
bool LoadingMergedEntries(const std::string& path, std::int32_t version,
                          const CActionManagerSettings& loaded) {
  if (version < CBuiltInActionInfo::kKeyListVersion) return false;
  std::string bytes;
  std::string why;
  if (!base::ReadWholeFile(path, &bytes, &why)) return false;
  std::vector<std::uint8_t> stored;
  if (StoreSettingsArchive(loaded, version, stored) == 0) return false;
  return stored.size() < bytes.size();
}

}  // namespace

void LintArchiveSettings(const std::string& path, std::int32_t version,
                         const CActionManagerSettings& settings,
                         const std::vector<InputError>& left_out, const LintWorld* world,
                         Findings* findings) {
  const std::string name = base::InputName(path);
  for (const InputError& problem : left_out) {
    AddFinding(findings, problem.file.empty() ? name : problem.file, problem.place, "AM104",
               problem.message + "; the action is left out");
  }
  if (left_out.empty() && path != "-" && LoadingMergedEntries(path, version, settings)) {
    AddFinding(findings, name, "", "AM203",
               "holds an action or rule name twice: loading keeps the later entry of each name "
               "and the earlier is hidden (amctl settings decode shows what is left)");
  }
  const Json json = SettingsToJson(settings);
  LintSettingsNames(json, name, "", findings);
  LintSettingsMeaning(json, name, "", world, findings);
}

void LintSettingsArchive(const std::string& path, std::int32_t version, const LintWorld* world,
                         Findings* findings) {
  CActionManagerSettings settings;
  InputError error;
  std::vector<InputError> left_out;
  if (!LoadSettingsFile(path, version, &settings, &error, &left_out)) {
    AddReaderError(findings, base::InputName(path), error);
    return;
  }
  LintArchiveSettings(path, version, settings, left_out, world, findings);
}

namespace {

// The world of a scenario read, and its events checked against it; null
// (with an AM300) when it cannot be built.
std::unique_ptr<LintWorld> ScenarioWorld(const Scenario& scenario, const std::string& name,
                                         Findings* findings) {
  InputError error;
  std::unique_ptr<LintWorld> world = LintWorld::Build(scenario, &error);
  if (world == nullptr) {
    AddFinding(findings, error.file.empty() ? name : error.file, error.place, "AM300",
               error.message);
    return world;
  }
  for (const ScenarioObject& event : scenario.events) {
    wbem::ComPtr<IWbemClassObject> instance;
    if (!MakeInstance(world->impl().world.ns(), event, &scenario.profile, &instance, &error)) {
      AddFinding(findings, name, error.place, "AM300", error.message);
    }
  }
  return world;
}

}  // namespace

void LintScenario(const Json& json, const std::string& path, Findings* findings) {
  const std::string name = base::InputName(path);
  const auto inline_settings = json.is_object() ? json.find("settings") : json.end();
  Scenario scenario;
  const std::filesystem::path file(path);
  if (json.is_object() && inline_settings != json.end()) {
    LintSettingsNames(*inline_settings, name, "settings", findings);
    const ShapeRefusals skip = LintSettingsShape(*inline_settings, name, "settings", findings);
    // The rest of the scenario is read without the settings, which are
    // judged above, so that their refusals do not keep its world unbuilt.
    Json rest = json;
    rest["settings"] = Json::object();
    std::unique_ptr<LintWorld> world;
    Problems problems(Problems::Keep::kEvery);
    scenario::ReadScenario(problems, rest, file, &scenario);
    for (const InputError& refused : problems.all()) AddReaderError(findings, name, refused);
    if (!problems.ok()) {
      findings->back().message += "; without its world, the checks that need classes do not run";
    } else {
      world = ScenarioWorld(scenario, name, findings);
      LintProgramFolder(scenario.environment, {&*inline_settings}, name, "environment", findings);
    }
    LintSettingsMeaning(*inline_settings, name, "settings", world.get(), findings, &skip);
    return;
  }
  Problems problems(Problems::Keep::kEvery);
  scenario::ReadScenario(problems, json, file, &scenario);
  for (const InputError& refused : problems.all()) {
    AddReaderErrorUnlessNamed(findings, name, refused);
  }
  if (!problems.ok()) return;
  std::unique_ptr<LintWorld> world = ScenarioWorld(scenario, name, findings);
  // The settings come from an archive: its findings name the archive.
  const auto archive = json.find("settings_archive");
  const auto version = json.find("version");
  const std::string archive_path = (file.parent_path() / archive->get<std::string>()).string();
  const Json archived = SettingsToJson(*scenario.settings);
  LintProgramFolder(scenario.environment, {&archived}, name, "environment", findings);
  std::vector<InputError> left_out;
  for (const InputError& warning : scenario.warnings) left_out.push_back(warning);
  LintArchiveSettings(archive_path,
                      version != json.end() ? version->get<std::int32_t>() : kDefaultArchiveVersion,
                      *scenario.settings, left_out, world.get(), findings);
}

}  // namespace tools
