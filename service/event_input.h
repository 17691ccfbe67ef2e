// Splitting a request body into events.
//
// A body is one event ({"class": ..., "properties": {...}}, the event form of
// scenarios), an array of them, or JSON lines (one event a line, blank lines
// allowed). It is JSON lines when it has more than one non-blank line and its
// first non-blank line is a whole JSON object by itself; otherwise it is one
// document. Each event comes with the path that names it in messages: "" for
// a lone event, "[2]" in an array, "line 3" in JSON lines.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "scenario/json_input.h"
#include "service/status.h"

namespace service {

struct EventText {
  scenario::Json json;
  std::string path;
};

// A kInvalid status placed at the line and column (counted in the whole
// body) when the body is not one of the three forms; an empty body or array
// is refused too. Each line or document is parsed once.
[[nodiscard]] Status SplitEvents(std::string_view body, std::vector<EventText>* events);

// `path` and `field` joined for a message: "[2].properties.Free",
// "line 3: properties.Free", "properties.Free".
std::string EventPlace(const std::string& path, const std::string& field);

}  // namespace service
