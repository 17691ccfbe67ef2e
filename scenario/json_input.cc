#include "scenario/json_input.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/hex.h"
#include "base/utf8.h"

namespace scenario {
namespace {

// Where a document breaks a rule that the parser does not check: the first
// NUL byte (the parser would take it for the end of the input) and the first
// bracket that opens a level deeper than kMaxJsonDepth.
struct PreScan {
  std::size_t nul = std::string_view::npos;
  std::size_t too_deep = std::string_view::npos;
};

PreScan Scan(std::string_view text) {
  PreScan found;
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\0') {
      found.nul = i;
      return found;
    }
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth && found.too_deep == std::string_view::npos) found.too_deep = i;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return found;
}

// "line L, column C" of the character at `offset` (both counted from 1).
std::string LineAndColumnOf(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  const std::size_t line =
      1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t column =
      last_newline == std::string_view::npos ? offset + 1 : offset - last_newline;
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Builds the document from the parser's events, so that a repeated key can be
// refused (the library's own DOM builder keeps the last one silently), the
// depth is bounded and a syntax error arrives as a value rather than an
// exception.
class DomBuilder {
 public:
  using string_t = Json::string_t;
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using binary_t = Json::binary_t;

  DomBuilder(std::string_view text, std::size_t too_deep)
      : text_(text),
        too_deep_(too_deep),
        budget_(kMaxJsonBytesPerInputByte * text.size() + kSlack) {}

  bool null() { return Charge(kValueCost) && Add(Json(nullptr)); }
  bool boolean(bool value) { return Charge(kValueCost) && Add(Json(value)); }
  bool number_integer(number_integer_t value) { return Charge(kValueCost) && Add(Json(value)); }
  bool number_unsigned(number_unsigned_t value) { return Charge(kValueCost) && Add(Json(value)); }
  bool number_float(number_float_t value, const string_t&) {
    return Charge(kValueCost) && Add(Json(value));
  }
  bool string(string_t& value) {
    return Charge(kValueCost + TextCost(value)) && Add(Json(std::move(value)));
  }
  bool binary(binary_t& value) {
    return Charge(kValueCost + kHeapCost + value.size()) && Add(Json::binary(std::move(value)));
  }

  bool start_object(std::size_t) { return Charge(kValueCost + kHeapCost) && Open(Json::object()); }
  bool start_array(std::size_t) { return Charge(kValueCost + kHeapCost) && Open(Json::array()); }
  bool end_object() { return CheckKeys() && Close(); }
  bool end_array() { return Close(); }

  bool key(string_t& key) {
    if (!Charge(TextCost(key))) return false;
    frames_.back().key = std::move(key);
    return true;
  }

  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& ex) {
    // `position` counts the characters read, the offending one included; a
    // number out of range is named where it starts.
    std::size_t offset = position == 0 ? 0 : position - 1;
    if (ex.id == kNumberOutOfRange && token.size() <= position) offset = position - token.size();
    error_ = {LineAndColumnOf(text_, offset), SyntaxMessage(ex, token)};
    return false;
  }

  Json TakeRoot() { return std::move(root_); }
  const InputError& error() const { return error_; }

 private:
  struct Frame {
    Json* node;
    std::string key;  // the object's current key
  };

  // The parser's exception id for a number that no double can hold.
  static constexpr int kNumberOutOfRange = 406;

  // What a value takes in the document, near enough: the value itself, and
  // the heap block of a string or container (its object plus the
  // allocator's overhead). A text longer than the in-place buffer adds its
  // characters.
  static constexpr std::size_t kValueCost = sizeof(Json);
  static constexpr std::size_t kHeapCost = 48;
  static constexpr std::size_t kSlack = std::size_t{1} << 20;
  static std::size_t TextCost(const std::string& text) {
    return kHeapCost + (text.size() > 15 ? text.size() : 0);
  }

  // Counts `cost` against the budget; false (and the problem) past it.
  bool Charge(std::size_t cost) {
    spent_ += cost;
    if (spent_ <= budget_) return true;
    const std::string path = PathOfOpenFrames();
    error_ = {path.empty() ? std::string("the document") : path,
              "too many small values: holding the document would take more than " +
                  std::to_string(kMaxJsonBytesPerInputByte) + " bytes of memory per byte of input"};
    return false;
  }

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
    // Repeated keys are found when the object closes, so append without the
    // ordered map's linear search.
    auto& object = top.node->get_ref<Json::object_t&>();
    auto& entries = static_cast<std::vector<std::pair<const std::string, Json>>&>(object);
    entries.emplace_back(std::move(top.key), std::move(value));
    return &entries.back().second;
  }

  bool Add(Json&& value) {
    Place(std::move(value));
    return true;
  }
  // A container's address is stable while it is open: its parent grows only
  // after it is closed.
  bool Open(Json&& container) {
    if (frames_.size() >= kMaxJsonDepth) {
      // The scan found the same bracket unless the text broke a rule of
      // strings first; fall back on the path then.
      error_ = {too_deep_ != std::string_view::npos ? LineAndColumnOf(text_, too_deep_)
                                                    : PathOfOpenFrames(),
                "nested deeper than " + std::to_string(kMaxJsonDepth) + " levels"};
      return false;
    }
    frames_.push_back({Place(std::move(container)), {}});
    return true;
  }
  bool Close() {
    // Growth by doubling is not kept: a closed container no longer grows.
    Json& node = *frames_.back().node;
    if (node.is_array()) node.get_ref<Json::array_t&>().shrink_to_fit();
    frames_.pop_back();
    return true;
  }

  // The first key (in the document's order) that an earlier key of the
  // closing object already gave. Sorting views of the keys costs a few words
  // per key, and only while the object closes.
  bool CheckKeys() {
    const auto& entries = static_cast<const std::vector<std::pair<const std::string, Json>>&>(
        frames_.back().node->get_ref<const Json::object_t&>());
    if (entries.size() < 2) return true;
    std::vector<std::pair<std::string_view, std::size_t>> keys;
    keys.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) keys.emplace_back(entries[i].first, i);
    std::sort(keys.begin(), keys.end());
    std::size_t repeated = entries.size();
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (keys[i].first == keys[i - 1].first) repeated = std::min(repeated, keys[i].second);
    }
    if (repeated == entries.size()) return true;
    error_ = {FieldPath(PathOfOpenFrames(), entries[repeated].first), "is given twice"};
    return false;
  }

  std::string PathOfOpenFrames() const {
    std::string path;
    for (std::size_t i = 1; i < frames_.size(); ++i) {
      const Frame& parent = frames_[i - 1];
      if (parent.node->is_array()) {
        path = IndexPath(path, parent.node->size() - 1);
      } else {
        path = FieldPath(path, parent.node->get_ref<const Json::object_t&>().back().first);
      }
    }
    return path;
  }

  // The parser's message without its exception prefix and its own position
  // (which the place gives), with unprintable bytes escaped.
  static std::string SyntaxMessage(const nlohmann::detail::exception& ex,
                                   const std::string& token) {
    if (ex.id == kNumberOutOfRange) return "the number " + Printable(token) + " is out of range";
    std::string_view what = ex.what();
    const std::size_t at = what.find("parse error");
    if (at != std::string_view::npos) {
      const std::size_t colon = what.find(": ", at);
      if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
    } else if (what.starts_with("[json.exception.")) {
      const std::size_t end = what.find("] ");
      if (end != std::string_view::npos) what.remove_prefix(end + 2);
    }
    return Printable(what);
  }

  static std::string Printable(std::string_view text) {
    std::string message;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x7F) {
        message += "\\x";
        base::AppendHexByte(&message, byte);
      } else {
        message += c;
      }
    }
    return message;
  }

  std::string_view text_;
  std::size_t too_deep_;
  std::size_t budget_;
  std::size_t spent_ = 0;
  Json root_;
  std::vector<Frame> frames_;
  InputError error_;
};


// Reads a text given as a string, or its hex digits, into `out`.
bool DecodeText(Problems& problems, const Json& value, bool hex, const std::string& path,
                std::string* out) {
  if (!value.is_string()) {
    problems.Fail(path, std::string("must be a string, not ") + JsonTypeName(value));
    return false;
  }
  const auto& text = value.get_ref<const std::string&>();
  if (!hex) {
    *out = text;
    return true;
  }
  std::optional<std::string> bytes = base::FromHex(text);
  if (!bytes) {
    problems.Fail(path, "must be an even number of hex digits");
    return false;
  }
  *out = std::move(*bytes);
  return true;
}

}  // namespace

bool ParseJson(std::string_view text, Json* out, InputError* error) {
  const PreScan scan = Scan(text);
  if (scan.nul != std::string_view::npos) {
    *error = {LineAndColumnOf(text, scan.nul), "a NUL byte is not allowed in JSON"};
    return false;
  }
  DomBuilder builder(text, scan.too_deep);
  if (!Json::sax_parse(text, &builder)) {
    *error = builder.error();
    return false;
  }
  *out = builder.TakeRoot();
  return true;
}

const char* JsonTypeName(const Json& value) {
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
    case Json::value_t::number_float: {
      // A number the parser could not keep as a 64-bit integer is a double:
      // tell a fraction from an integer beyond that range, and from an
      // integral number written with a point or an exponent (1.0, 1e3).
      const double number = value.get<double>();
      if (number != std::trunc(number)) return "a number with a fraction";
      if (std::fabs(number) >= 0x1p63) return "a number beyond the 64-bit integers";
      return "a number written with a decimal point or an exponent";
    }
    default:
      return "a number";
  }
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

Json TextValue(std::string_view bytes) {
  if (base::IsUtf8(bytes)) return Json(std::string(bytes));
  Json object = Json::object();
  object["hex"] = base::ToHex(bytes);
  return object;
}

void PutText(Json& object, const std::string& name, std::string_view bytes) {
  if (base::IsUtf8(bytes)) {
    object[name] = std::string(bytes);
  } else {
    object[name + "_hex"] = base::ToHex(bytes);
  }
}

void Problems::Fail(std::string place, std::string message) {
  Fail(InputError{std::move(place), std::move(message), {}});
}

void Problems::Fail(InputError error) {
  if (reading()) found_.push_back(std::move(error));
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
    problems.Fail(path, std::string("must be a string or {\"hex\": ...}, not ") + JsonTypeName(value));
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
                   std::string("must be an object, not ") + JsonTypeName(value));
  }
}

const Json* ObjectReader::Find(std::string_view field) {
  asked_.emplace_back(field);
  if (!problems_.reading() || object_ == nullptr) return nullptr;
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
  if (problems_.reading() && object_ != nullptr && !Has(field)) {
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
  if (value != nullptr && !ReadInteger(problems_, *value, PathOf(field), min, max, &number)) {
    return fallback;
  }
  return number;
}

bool ObjectReader::Bool(std::string_view field, bool fallback) {
  const Json* value = Find(field);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) {
    problems_.Fail(PathOf(field), std::string("must be true or false, not ") + JsonTypeName(*value));
    return fallback;
  }
  return value->get<bool>();
}

const Json* ObjectReader::Array(std::string_view field) {
  const Json* value = Find(field);
  if (value != nullptr && !value->is_array()) {
    problems_.Fail(PathOf(field), std::string("must be an array, not ") + JsonTypeName(*value));
    return nullptr;
  }
  return value;
}

const Json* ObjectReader::Object(std::string_view field) {
  const Json* value = Find(field);
  if (value != nullptr && !value->is_object()) {
    problems_.Fail(PathOf(field), std::string("must be an object, not ") + JsonTypeName(*value));
    return nullptr;
  }
  return value;
}

void ObjectReader::Finish() {
  if (!problems_.reading() || object_ == nullptr) return;
  for (const auto& [name, value] : object_->items()) {
    if (std::find(asked_.begin(), asked_.end(), name) == asked_.end()) {
      problems_.Fail(PathOf(name), "is not a known field");
      if (!problems_.reading()) return;
    }
  }
}

bool ReadInteger(Problems& problems, const Json& value, const std::string& path, std::int64_t min,
                 std::int64_t max, std::int64_t* out) {
  const std::string range =
      "must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(max) ||
        (min > 0 && number < static_cast<std::uint64_t>(min))) {
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
  problems.Fail(path, range + ", not " + JsonTypeName(value));
  return false;
}

}  // namespace scenario
