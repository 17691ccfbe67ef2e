#include "service/event_input.h"

namespace service {
namespace {

using scenario::InputError;
using scenario::Json;

bool Blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

std::string EventPlace(const std::string& path, const std::string& field) {
  if (path.starts_with("line ")) return field.empty() ? path : path + ": " + field;
  if (field.empty()) return path;
  if (path.empty()) return field;
  return field.starts_with("[") ? path + field : path + "." + field;
}

bool SplitEvents(std::string_view body, std::vector<EventText>* events, InputError* error) {
  std::vector<std::pair<std::size_t, std::string_view>> lines;  // line number, text
  std::size_t number = 0;
  for (std::size_t at = 0; at <= body.size();) {
    const std::size_t end = std::min(body.find('\n', at), body.size());
    ++number;
    const std::string_view line = body.substr(at, end - at);
    if (!Blank(line)) lines.emplace_back(number, line);
    at = end + 1;
  }
  if (lines.empty()) {
    *error = {"", "the body holds no event"};
    return false;
  }
  Json first;
  InputError ignored;
  const bool json_lines = lines.size() > 1 && scenario::ParseJson(lines[0].second, &first, &ignored) &&
                          first.is_object();
  if (json_lines) {
    for (const auto& [line_number, text] : lines) {
      Json json;
      const std::string where = "line " + std::to_string(line_number);
      if (!scenario::ParseJson(text, &json, error)) {
        const std::size_t column = error->place.find(", column");
        error->place = where + (column == std::string::npos ? "" : error->place.substr(column));
        return false;
      }
      events->push_back({std::move(json), where});
    }
    return true;
  }
  Json document;
  if (!scenario::ParseJson(body, &document, error)) return false;
  if (document.is_array()) {
    if (document.empty()) {
      *error = {"", "the array holds no event"};
      return false;
    }
    for (std::size_t i = 0; i < document.size(); ++i) {
      events->push_back({std::move(document[i]), "[" + std::to_string(i) + "]"});
    }
    return true;
  }
  events->push_back({std::move(document), ""});
  return true;
}

}  // namespace service
