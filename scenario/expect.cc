#include "scenario/expect.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace scenario {
namespace {

constexpr std::size_t kMaxRegexLength = 1000;

std::string Compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A list whose every element must be an object.
std::optional<std::vector<Json>> ReadObjects(ObjectReader& reader, std::string_view field) {
  const Json* list = reader.Array(field);
  if (list == nullptr) return std::nullopt;
  std::vector<Json> entries;
  for (std::size_t i = 0; i < list->size(); ++i) {
    if (!(*list)[i].is_object()) {
      reader.problems().Fail(IndexPath(reader.PathOf(field), i), "must be an object");
      return std::nullopt;
    }
    entries.push_back((*list)[i]);
  }
  return entries;
}

std::optional<std::vector<Json>> ReadMethodCalls(ObjectReader& reader) {
  auto calls = ReadObjects(reader, "method_calls");
  if (!calls) return calls;
  for (std::size_t i = 0; i < calls->size() && reader.problems().ok(); ++i) {
    const std::string path = IndexPath(reader.PathOf("method_calls"), i);
    ObjectReader call(reader.problems(), (*calls)[i], path);
    for (const char* text_field : {"path", "method"}) {
      const Json* value = call.Find(text_field);
      if (value != nullptr && !value->is_string()) {
        reader.problems().Fail(call.PathOf(text_field), "must be a string");
      }
    }
    call.Object("in");
    call.Finish();
  }
  return calls;
}

std::optional<std::vector<Json>> ReadProcessEvent(ObjectReader& reader) {
  const Json* list = reader.Array("process_event");
  if (list == nullptr) return std::nullopt;
  std::vector<Json> results;
  for (std::size_t i = 0; i < list->size(); ++i) {
    const Json& value = (*list)[i];
    std::int64_t number = 0;
    if (!value.is_null() &&
        !ReadInteger(reader.problems(), value, IndexPath(reader.PathOf("process_event"), i),
                     std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max(), &number)) {
      return std::nullopt;
    }
    results.push_back(value.is_null() ? Json(nullptr) : Json(number));
  }
  return results;
}

std::optional<std::vector<ExpectedLog>> ReadLogs(ObjectReader& reader) {
  const Json* list = reader.Array("logs");
  if (list == nullptr) return std::nullopt;
  std::vector<ExpectedLog> logs;
  for (std::size_t i = 0; i < list->size() && reader.problems().ok(); ++i) {
    const std::string path = IndexPath(reader.PathOf("logs"), i);
    ObjectReader entry(reader.problems(), (*list)[i], path);
    ExpectedLog log;
    if (entry.Find("level") != nullptr) log.level = entry.Integer("level", 0, 3, 0);
    if (entry.Find("component") != nullptr) log.component = entry.String("component");
    if (entry.Find("text") != nullptr) log.text = entry.String("text");
    if (entry.Find("regex") != nullptr) {
      log.regex_text = entry.String("regex");
      // The library's regular expressions compile and match by recursion:
      // a bounded pattern keeps a hostile one from exhausting the stack.
      if (reader.problems().ok() && log.regex_text->size() > kMaxRegexLength) {
        reader.problems().Fail(entry.PathOf("regex"),
                               "is longer than " + std::to_string(kMaxRegexLength) + " characters");
      }
      if (reader.problems().ok()) {
        try {
          log.regex.emplace(*log.regex_text, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
          reader.problems().Fail(entry.PathOf("regex"),
                                 std::string("is not a regular expression: ") + e.what());
        }
      }
    }
    if (reader.problems().ok() && log.text.has_value() == log.regex_text.has_value()) {
      reader.problems().Fail(path, "needs either text or regex (one of the two)");
    }
    entry.Finish();
    logs.push_back(std::move(log));
  }
  return logs;
}

// Appends one line per field of `expected` that `actual` does not hold as
// such; `where` names the entry. "in" (of a method call) is itself compared
// as a subset.
void CompareSubset(const Json& expected, const Json& actual, const std::string& where,
                   std::vector<std::string>* unmet) {
  for (const auto& [name, value] : expected.items()) {
    const std::string path = FieldPath(where, name);
    const auto it = actual.find(name);
    if (it == actual.end()) {
      unmet->push_back(path + ": expected " + Compact(value) + ", got nothing (no such field)");
    } else if (name == "in" && value.is_object() && it->is_object()) {
      CompareSubset(value, *it, path, unmet);
    } else if (*it != value) {
      unmet->push_back(path + ": expected " + Compact(value) + ", got " + Compact(*it));
    }
  }
}

void CheckList(const char* field, const char* noun, const std::vector<Json>& expected,
               const std::vector<Json>& actual, std::vector<std::string>* unmet) {
  const std::size_t common = std::min(expected.size(), actual.size());
  for (std::size_t i = 0; i < common; ++i) {
    CompareSubset(expected[i], actual[i], IndexPath(field, i), unmet);
  }
  if (expected.size() != actual.size()) {
    std::string line = std::string(field) + ": expected " + std::to_string(expected.size()) + " " +
                       noun + ", got " + std::to_string(actual.size());
    if (actual.size() > expected.size()) line += "; the first extra: " + Compact(actual[common]);
    unmet->push_back(std::move(line));
  }
}

bool LogMatches(const ExpectedLog& expected, const Json& actual) {
  if (expected.level && actual.value("level", -1) != *expected.level) return false;
  if (expected.component && actual.value("component", std::string()) != *expected.component) {
    return false;
  }
  const std::string message = actual.value("message", std::string());
  if (expected.text) return message == *expected.text;
  return expected.regex && std::regex_search(message, *expected.regex);
}

std::string DescribeLog(const ExpectedLog& log) {
  std::string text;
  if (log.level) text += "level " + std::to_string(*log.level) + ", ";
  if (log.component) text += "component " + Compact(*log.component) + ", ";
  text += log.text ? "text " + Compact(*log.text) : "regex " + Compact(*log.regex_text);
  return text;
}

}  // namespace

Expectations ReadExpectations(Problems& problems, const Json& value, const std::string& path) {
  Expectations expect;
  ObjectReader reader(problems, value, path);
  expect.method_calls = ReadMethodCalls(reader);
  expect.result_events = ReadObjects(reader, "result_events");
  expect.process_event = ReadProcessEvent(reader);
  expect.logs = ReadLogs(reader);
  if (reader.Find("program_runs") != nullptr) {
    expect.program_runs =
        reader.Integer("program_runs", 0, std::numeric_limits<std::int32_t>::max(), 0);
  }
  reader.Finish();
  return expect;
}

void AddToRecord(const Json& line, RunRecord* record) {
  const std::string type = line.value("type", std::string());
  if (type == "method_call") {
    Json call = Json::object();
    for (const char* field : {"path", "method", "in"}) {
      if (line.contains(field)) call[field] = line[field];
    }
    record->method_calls.push_back(std::move(call));
  } else if (type == "result_event") {
    record->result_events.push_back(line.value("properties", Json::object()));
  } else if (type == "event") {
    record->process_event.push_back(line.value("result", Json(nullptr)));
  } else if (type == "log") {
    record->logs.push_back(line);
  }
}

std::vector<std::string> CheckExpectations(const Expectations& expect, const RunRecord& record) {
  std::vector<std::string> unmet;
  if (expect.method_calls) {
    CheckList("method_calls", "calls", *expect.method_calls, record.method_calls, &unmet);
  }
  if (expect.result_events) {
    CheckList("result_events", "result events", *expect.result_events, record.result_events,
              &unmet);
  }
  if (expect.process_event && *expect.process_event != record.process_event) {
    unmet.push_back("process_event: expected " + Compact(Json(*expect.process_event)) + ", got " +
                    Compact(Json(record.process_event)));
  }
  if (expect.logs) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < expect.logs->size(); ++i) {
      const ExpectedLog& log = (*expect.logs)[i];
      std::size_t at = from;
      while (at < record.logs.size() && !LogMatches(log, record.logs[at])) ++at;
      if (at == record.logs.size()) {
        unmet.push_back(
            IndexPath("logs", i) + ": no log line with " + DescribeLog(log) +
            (i == 0 ? "" : " after the line that logs[" + std::to_string(i - 1) + "] matched"));
        break;  // the lines after it cannot be placed either
      }
      from = at + 1;
    }
  }
  if (expect.program_runs &&
      static_cast<std::size_t>(*expect.program_runs) != record.program_runs) {
    unmet.push_back("program_runs: expected " + std::to_string(*expect.program_runs) + ", got " +
                    std::to_string(record.program_runs));
  }
  return unmet;
}

}  // namespace scenario
