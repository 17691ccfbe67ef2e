// The event query language subset of the repository:
//
//   SELECT * FROM Class [WHERE Prop = "text" [AND Prop = "text" ...]]
//
// Keywords are matched without regard to case; blanks (spaces, tabs, line
// breaks) may surround every token and are needed only between words. Inside
// a literal `\\` stands for a backslash and `\"` for a double quote; any other
// backslash, an unterminated literal, a single-quoted literal, OR, other
// operators and anything after the last condition make the query invalid.
//
// An event matches when its class is Class or derives from it and, for every
// condition, its property holds a string equal to the text (compared exactly)
// or an integer whose decimal text equals it. NULL and other types never
// match.
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "repository/kit_names.h"
#include "wbem/types.h"

namespace repository {

struct EventQuery {
  std::u16string class_name;
  struct Condition {
    std::u16string property;
    std::u16string text;  // unescaped
    bool operator==(const Condition&) const = default;
  };
  std::vector<Condition> conditions;
  bool operator==(const EventQuery&) const = default;
};

// WBEM_S_NO_ERROR, or WBEM_E_INVALID_QUERY with `*query` unspecified.
HRESULT ParseEventQuery(std::u16string_view text, EventQuery* query);

}  // namespace repository
