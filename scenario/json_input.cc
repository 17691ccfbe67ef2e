#include "scenario/json_input.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "wbem/unicode.h"

namespace scenario {
namespace {

// Builds the document from the parser's events, so that a repeated key can be
// refused (the library's own DOM builder keeps the last one silently) and a
// syntax error arrives as a value rather than an exception.
class DomBuilder {
 public:
  using string_t = Json::string_t;
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using binary_t = Json::binary_t;

  explicit DomBuilder(std::string_view text) : text_(text) {}

  bool null() { return Add(Json(nullptr)); }
  bool boolean(bool value) { return Add(Json(value)); }
  bool number_integer(number_integer_t value) { return Add(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return Add(Json(value)); }
  bool number_float(number_float_t value, const string_t&) { return Add(Json(value)); }
  bool string(string_t& value) { return Add(Json(std::move(value))); }
  bool binary(binary_t& value) { return Add(Json::binary(std::move(value))); }

  bool start_object(std::size_t) { return Open(Json::object()); }
  bool start_array(std::size_t) { return Open(Json::array()); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(string_t& key) {
    Frame& top = frames_.back();
    if (!top.keys.insert(key).second) {
      error_ = {FieldPath(PathOfOpenFrames(), key), "is given twice"};
      return false;
    }
    top.key = std::move(key);
    return true;
  }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& ex) {
    error_ = {LineAndColumn(position), SyntaxMessage(ex.what())};
    return false;
  }

  Json TakeRoot() { return std::move(root_); }
  const InputError& error() const { return error_; }

 private:
  struct Frame {
    Json* node;
    std::string key;  // the object's current key
    std::unordered_set<std::string> keys;
  };

  // Files `value` where the parser stands and returns where it now lives.
  Json* Place(Json&& value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& top = frames_.back();
    if (top.node->is_array()) {
      auto& array = top.node->get_ref<Json::array_t&>();
      array.push_back(std::move(value));
      return &array.back();
    }
    // The keys are already known to be distinct, so append without the
    // ordered map's linear search.
    auto& object = top.node->get_ref<Json::object_t&>();
    auto& entries = static_cast<std::vector<std::pair<const std::string, Json>>&>(object);
    entries.emplace_back(top.key, std::move(value));
    return &entries.back().second;
  }

  bool Add(Json&& value) {
    Place(std::move(value));
    return true;
  }
  // A container's address is stable while it is open: its parent grows only
  // after it is closed.
  bool Open(Json&& container) {
    frames_.push_back({Place(std::move(container)), {}, {}});
    return true;
  }
  bool Close() {
    frames_.pop_back();
    return true;
  }

  std::string PathOfOpenFrames() const {
    std::string path;
    for (std::size_t i = 1; i < frames_.size(); ++i) {
      const Frame& parent = frames_[i - 1];
      if (parent.node->is_array()) {
        path = IndexPath(path, parent.node->size() - 1);
      } else {
        path = FieldPath(path, parent.key);
      }
    }
    return path;
  }

  // `position` counts the characters read, the offending one included.
  std::string LineAndColumn(std::size_t position) const {
    const std::size_t end = std::min(position, text_.size());
    const std::string_view read = text_.substr(0, end);
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(read.begin(), read.end(), '\n'));
    const std::size_t last_newline = read.rfind('\n');
    const std::size_t column =
        last_newline == std::string_view::npos ? position : position - last_newline - 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
  }

  // The parser's message without its exception prefix and its own position
  // (which LineAndColumn gives), with unprintable bytes escaped.
  static std::string SyntaxMessage(std::string_view what) {
    const std::size_t at = what.find("parse error");
    if (at != std::string_view::npos) {
      const std::size_t colon = what.find(": ", at);
      if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    }
    std::string message;
    for (const char c : what) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x7F) {
        static constexpr char kDigits[] = "0123456789abcdef";
        message += "\\x";
        message += kDigits[byte >> 4];
        message += kDigits[byte & 15];
      } else {
        message += c;
      }
    }
    return message;
  }

  std::string_view text_;
  Json root_;
  std::vector<Frame> frames_;
  InputError error_;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* TypeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::number_float:
      return "a number with a fraction";
    default:
      return "a number";
  }
}

// Reads a text given as a string, or its hex digits, into `out`.
bool DecodeText(Problems& problems, const Json& value, bool hex, const std::string& path,
                std::string* out) {
  if (!value.is_string()) {
    problems.Fail(path, std::string("must be a string, not ") + TypeName(value));
    return false;
  }
  const auto& text = value.get_ref<const std::string&>();
  if (!hex) {
    *out = text;
    return true;
  }
  std::optional<std::string> bytes = FromHex(text);
  if (!bytes) {
    problems.Fail(path, "must be an even number of hex digits");
    return false;
  }
  *out = std::move(*bytes);
  return true;
}

}  // namespace

bool ParseJson(std::string_view text, Json* out, InputError* error) {
  DomBuilder builder(text);
  if (!Json::sax_parse(text, &builder)) {
    *error = builder.error();
    return false;
  }
  *out = builder.TakeRoot();
  return true;
}

std::string FieldPath(std::string_view parent, std::string_view field) {
  std::string path(parent);
  if (!path.empty()) path += '.';
  path += field;
  return path;
}

std::string IndexPath(std::string_view parent, std::size_t index) {
  return std::string(parent) + "[" + std::to_string(index) + "]";
}

bool IsUtf8(std::string_view bytes) {
  // Invalid input becomes U+FFFD on the way in, so only valid UTF-8 comes back
  // unchanged.
  return wbem::Utf16ToUtf8(wbem::Utf8ToUtf16(bytes)) == bytes;
}

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
  }
  return bytes;
}

Json TextValue(std::string_view bytes) {
  if (IsUtf8(bytes)) return Json(std::string(bytes));
  Json object = Json::object();
  object["hex"] = ToHex(bytes);
  return object;
}

void PutText(Json& object, const std::string& name, std::string_view bytes) {
  if (IsUtf8(bytes)) {
    object[name] = std::string(bytes);
  } else {
    object[name + "_hex"] = ToHex(bytes);
  }
}

void Problems::Fail(std::string place, std::string message) {
  if (!first_) first_ = InputError{std::move(place), std::move(message), {}};
}

void Problems::Fail(InputError error) {
  if (!first_) first_ = std::move(error);
}

std::string ReadTextValue(Problems& problems, const Json& value, const std::string& path) {
  std::string text;
  if (value.is_object()) {
    ObjectReader reader(problems, value, path);
    if (const Json* hex = reader.Require("hex")) {
      DecodeText(problems, *hex, true, reader.PathOf("hex"), &text);
    }
    reader.Finish();
    return text;
  }
  if (!value.is_string()) {
    problems.Fail(path, std::string("must be a string or {\"hex\": ...}, not ") + TypeName(value));
    return text;
  }
  return value.get<std::string>();
}

ObjectReader::ObjectReader(Problems& problems, const Json& value, std::string path)
    : problems_(problems), path_(std::move(path)) {
  if (value.is_object()) {
    object_ = &value;
  } else {
    problems_.Fail(path_.empty() ? std::string("the document") : path_,
                   std::string("must be an object, not ") + TypeName(value));
  }
}

const Json* ObjectReader::Find(std::string_view field) {
  asked_.emplace_back(field);
  if (!problems_.ok() || object_ == nullptr) return nullptr;
  const auto it = object_->find(field);
  return it == object_->end() ? nullptr : &*it;
}

const Json* ObjectReader::Require(std::string_view field) {
  const Json* value = Find(field);
  if (value == nullptr) problems_.Fail(PathOf(field), "is required");
  return value;
}

bool ObjectReader::Has(std::string_view field) const {
  return object_ != nullptr &&
         (object_->contains(field) || object_->contains(std::string(field) + "_hex"));
}

std::string ObjectReader::Text(std::string_view field, std::string fallback) {
  const std::string hex_name = std::string(field) + "_hex";
  const Json* plain = Find(field);
  const Json* hex = Find(hex_name);
  if (plain != nullptr && hex != nullptr) {
    problems_.Fail(PathOf(hex_name),
                   "give either " + std::string(field) + " or " + hex_name + ", not both");
    return fallback;
  }
  std::string text;
  if (plain != nullptr) {
    return DecodeText(problems_, *plain, false, PathOf(field), &text) ? text : fallback;
  }
  if (hex != nullptr) {
    return DecodeText(problems_, *hex, true, PathOf(hex_name), &text) ? text : fallback;
  }
  return fallback;
}

std::string ObjectReader::RequiredText(std::string_view field) {
  if (problems_.ok() && object_ != nullptr && !Has(field)) {
    problems_.Fail(PathOf(field), "is required");
  }
  return Text(field);
}

std::string ObjectReader::String(std::string_view field, std::string fallback) {
  const Json* value = Find(field);
  if (value == nullptr) return fallback;
  std::string text;
  return DecodeText(problems_, *value, false, PathOf(field), &text) ? text : fallback;
}

std::int64_t ObjectReader::Integer(std::string_view field, std::int64_t min, std::int64_t max,
                                   std::int64_t fallback) {
  const Json* value = Find(field);
  std::int64_t number = fallback;
  if (value != nullptr) ReadInteger(problems_, *value, PathOf(field), min, max, &number);
  return problems_.ok() ? number : fallback;
}

bool ObjectReader::Bool(std::string_view field, bool fallback) {
  const Json* value = Find(field);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) {
    problems_.Fail(PathOf(field), std::string("must be true or false, not ") + TypeName(*value));
    return fallback;
  }
  return value->get<bool>();
}

const Json* ObjectReader::Array(std::string_view field) {
  const Json* value = Find(field);
  if (value != nullptr && !value->is_array()) {
    problems_.Fail(PathOf(field), std::string("must be an array, not ") + TypeName(*value));
    return nullptr;
  }
  return value;
}

const Json* ObjectReader::Object(std::string_view field) {
  const Json* value = Find(field);
  if (value != nullptr && !value->is_object()) {
    problems_.Fail(PathOf(field), std::string("must be an object, not ") + TypeName(*value));
    return nullptr;
  }
  return value;
}

void ObjectReader::Finish() {
  if (!problems_.ok() || object_ == nullptr) return;
  for (const auto& [name, value] : object_->items()) {
    if (std::find(asked_.begin(), asked_.end(), name) == asked_.end()) {
      problems_.Fail(PathOf(name), "is not a known field");
      return;
    }
  }
}

bool ReadInteger(Problems& problems, const Json& value, const std::string& path, std::int64_t min,
                 std::int64_t max, std::int64_t* out) {
  const std::string range =
      "must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(max)) {
      problems.Fail(path, range);
      return false;
    }
    *out = static_cast<std::int64_t>(number);
    return true;
  }
  if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    if (number < min || number > max) {
      problems.Fail(path, range);
      return false;
    }
    *out = number;
    return true;
  }
  problems.Fail(path, range + ", not " + TypeName(value));
  return false;
}

}  // namespace scenario
