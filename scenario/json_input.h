// Reading the tool's JSON inputs strictly, with the place of every problem.
//
// ParseJson turns text into a document without throwing: a syntax error is
// reported with its line and column, a key given twice in one object with its
// field path. Reading a document then goes through ObjectReader, which names
// each problem by its field path ("rules[0].actions[1].exec_limit") and treats
// every field that nobody asked for as an error, so a misspelt field never
// passes silently.
//
// Texts. The system's texts are bytes, usually UTF-8 but not always (an
// archive written on another system may hold a legacy code page). JSON strings
// can only carry UTF-8, so every text field NAME may be given instead as
// NAME_hex, every byte as two hex digits; a text element of a list may be an
// object {"hex": "..."}. Output writes the plain form when the bytes are valid
// UTF-8 and the hex form otherwise, so nothing is ever lost on the way out.
//
// Problems are sticky: by default the first one is kept, and once one is
// recorded every further read returns its default, so a caller can read a
// whole object and check once at the end. A reader that keeps every problem
// reads on instead (a refused field reads as its default, the others as
// given), so that one refusal does not hide the next. Nothing here throws.
// Not thread-safe.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scenario {

// Objects keep the order of their fields: the order of rules, actions, classes
// and events in a document is the order in which they are filed and raised.
using Json = nlohmann::ordered_json;

// Where an input was rejected and why. `place` is "line L, column C", a field
// path, or "offset N"; empty when the input as a whole is concerned.
struct InputError {
  std::string place;
  std::string message;
  // Set when the problem lies in another file than the one being read (a
  // settings archive that a scenario names).
  std::string file = {};
};

// How deep arrays and objects may nest in any document the tool reads.
inline constexpr std::size_t kMaxJsonDepth = 64;
// How much memory a document may take once parsed, per byte of its text
// (plus a megabyte, so that small documents are never concerned). Only a
// document of millions of tiny values ("[[],[],...]", "[{},{},...]")
// reaches it.
inline constexpr std::size_t kMaxJsonBytesPerInputByte = 16;

// Parses `text` as one JSON document. On failure `*out` is left as it was and
// `*error` says where. Besides the JSON grammar, a NUL byte anywhere,
// nesting deeper than kMaxJsonDepth (refused before it is reached, so that
// no input can make the parser's state grow past it) and a document that
// would take more than kMaxJsonBytesPerInputByte are refused.
[[nodiscard]] bool ParseJson(std::string_view text, Json* out, InputError* error);

// What a JSON value is, for messages ("must be a string, not an array"):
// "null", "a boolean", "a string", "an array", "an object", "a number", or for
// a number the parser kept as a double, which kind ("a number with a
// fraction").
const char* JsonTypeName(const Json& value);

// "parent.field", or "field" at the top.
std::string FieldPath(std::string_view parent, std::string_view field);
// "parent[index]".
std::string IndexPath(std::string_view parent, std::size_t index);

// Texts are checked with base::IsUtf8 and written with base::ToHex
// (base/utf8.h, base/hex.h).
// A text as JSON: the string itself when it is UTF-8, else {"hex": "..."}.
Json TextValue(std::string_view bytes);
// Files a text field: `name` when the bytes are UTF-8, else `name`_hex.
void PutText(Json& object, const std::string& name, std::string_view bytes);

// The problems found while reading a document: the first only (what a
// program that refuses the document reports), or every one (what a checker
// reports).
class Problems {
 public:
  enum class Keep { kFirst, kEvery };
  explicit Problems(Keep keep = Keep::kFirst) : keep_(keep) {}

  bool ok() const { return found_.empty(); }
  // Whether reading goes on: always when every problem is kept, else until
  // the first. Readers test this, not ok(), before reading further.
  bool reading() const { return keep_ == Keep::kEvery || found_.empty(); }
  // How many problems are recorded, so that a reader can tell whether a
  // part of the document it just read was refused.
  std::size_t count() const { return found_.size(); }
  // Records a problem (with kFirst, unless one is already recorded).
  void Fail(std::string place, std::string message);
  void Fail(InputError error);
  // The first problem; only meaningful when !ok().
  const InputError& first() const { return found_.front(); }
  // Every problem recorded, in the order found.
  const std::vector<InputError>& all() const { return found_; }

 private:
  Keep keep_;
  std::vector<InputError> found_;
};

// Reads a text element of a list (a string or {"hex": "..."}) at `path`.
std::string ReadTextValue(Problems& problems, const Json& value, const std::string& path);

// The fields of one JSON object. Construct it over a value that should be an
// object (anything else is a problem, and every field then reads as absent),
// ask for the fields, then call Finish to report the fields nobody asked for.
class ObjectReader {
 public:
  ObjectReader(Problems& problems, const Json& value, std::string path);

  const std::string& path() const { return path_; }
  std::string PathOf(std::string_view field) const { return FieldPath(path_, field); }
  Problems& problems() const { return problems_; }

  // The field's value, or null when absent (or after a problem).
  const Json* Find(std::string_view field);
  // Like Find, but a missing field is a problem.
  const Json* Require(std::string_view field);
  // Whether the field (or, for texts, its _hex form) is present; does not
  // count as asking for it.
  bool Has(std::string_view field) const;

  // A text field given as `field` or `field`_hex; `fallback` when neither.
  std::string Text(std::string_view field, std::string fallback = {});
  // Like Text, but one of the two forms must be present.
  std::string RequiredText(std::string_view field);
  // A plain UTF-8 string field (names, type names: no hex form).
  std::string String(std::string_view field, std::string fallback = {});
  // An integer in [min, max]; `fallback` when absent.
  std::int64_t Integer(std::string_view field, std::int64_t min, std::int64_t max,
                       std::int64_t fallback);
  bool Bool(std::string_view field, bool fallback);
  // An array field (null when absent); anything else is a problem.
  const Json* Array(std::string_view field);
  // An object field (null when absent); anything else is a problem.
  const Json* Object(std::string_view field);

  // Every field that was not asked for is reported as unknown.
  void Finish();

 private:
  Problems& problems_;
  const Json* object_ = nullptr;
  std::string path_;
  std::vector<std::string> asked_;
};

// Integer limits of a JSON number, for callers that read values themselves.
// False (and a problem at `path`) when `value` is not an integer in [min, max].
bool ReadInteger(Problems& problems, const Json& value, const std::string& path, std::int64_t min,
                 std::int64_t max, std::int64_t* out);

}  // namespace scenario
