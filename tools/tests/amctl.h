// The built amctl, run through the shared process harness in a test's folder.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tools_test {

using amtest::TempDir;
using RunResult = amtest::ProcessResult;

inline RunResult RunAmctl(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                          const std::string& input = {}) {
  amtest::ProcessOptions options;
  options.cwd = cwd;
  options.input = input;
  return amtest::Run(AMCTL_PATH, args, options);
}

using Json = nlohmann::ordered_json;

// The JSON lines of a transcript, and those of one type.
inline std::vector<Json> Lines(const std::string& text) {
  std::vector<Json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(Json::parse(line));
  return lines;
}
inline std::vector<Json> OfType(const std::vector<Json>& lines, const std::string& type) {
  std::vector<Json> found;
  for (const Json& line : lines) {
    if (line["type"] == type) found.push_back(line);
  }
  return found;
}

// A transcript's lines other than logs, one short text each: "CompStart=1",
// "call METHOD IN", "result METHOD-or-program MSGINFO", "event INDEX CLASS RESULT",
// or the line itself.
inline std::vector<std::string> Outline(const std::string& text) {
  std::vector<std::string> outline;
  for (const Json& line : Lines(text)) {
    // at() and value(): a const Json's operator[] must not be asked for a
    // member it lacks.
    const std::string type = line.value("type", "");
    if (type == "component") {
      outline.push_back(line.at("operation").get<std::string>() + "=" + line.at("result").dump());
    } else if (type == "method_call") {
      outline.push_back("call " + line.at("method").get<std::string>() + " " +
                        line.at("in").dump());
    } else if (type == "result_event") {
      const Json& p = line.at("properties");
      const Json method = p.value("Method", Json());
      outline.push_back("result " + (method.is_null() ? "program" : method.get<std::string>()) +
                        " " + p.at("MsgInfo").get<std::string>());
    } else if (type == "event") {
      outline.push_back("event " + line.at("index").dump() + " " +
                        line.at("class").get<std::string>() + " " + line.at("result").dump());
    } else if (type != "log") {
      outline.push_back(line.dump());
    }
  }
  return outline;
}

// The words of `text` split at spaces, to write a command line as one string.
inline std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

inline std::vector<std::uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

}  // namespace tools_test
