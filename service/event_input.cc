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

Status SplitEvents(std::string_view body, std::vector<EventText>* events) {
  std::vector<std::pair<std::size_t, std::string_view>> lines;  // line number, text
  std::size_t number = 0;
  for (std::size_t at = 0; at <= body.size();) {
    const std::size_t end = std::min(body.find('\n', at), body.size());
    ++number;
    const std::string_view line = body.substr(at, end - at);
    if (!Blank(line)) lines.emplace_back(number, line);
    at = end + 1;
  }
  if (lines.empty()) return {Reason::kInvalid, "the body holds no event", ""};
  InputError error;
  Json first;
  const bool json_lines = lines.size() > 1 && scenario::ParseJson(lines[0].second, &first, &error) &&
                          first.is_object();
  if (json_lines) {
    for (const auto& [line_number, text] : lines) {
      Json json;
      const std::string where = "line " + std::to_string(line_number);
      if (line_number == lines[0].first) {
        json = std::move(first);
      } else if (!scenario::ParseJson(text, &json, &error)) {
        const std::size_t column = error.place.find(", column");
        return {Reason::kInvalid, error.message,
                where + (column == std::string::npos ? "" : error.place.substr(column))};
      }
      events->push_back({std::move(json), where});
    }
    return Status::Ok();
  }
  Json document;
  if (!scenario::ParseJson(body, &document, &error)) {
    return {Reason::kInvalid, error.message, error.place};
  }
  if (document.is_array()) {
    if (document.empty()) return {Reason::kInvalid, "the array holds no event", ""};
    for (std::size_t i = 0; i < document.size(); ++i) {
      events->push_back({std::move(document[i]), "[" + std::to_string(i) + "]"});
    }
    return Status::Ok();
  }
  events->push_back({std::move(document), ""});
  return Status::Ok();
}

}  // namespace service
