#include "tools/test_command.h"

#include <chrono>
#include <filesystem>
#include <sstream>
#include <utility>

#include "tools/run_command.h"
#include "tools/settings_commands.h"
#include "tools/shared_readers.h"
#include "tools/stop_signals.h"

namespace tools {
namespace {

enum class Outcome { kPassed, kFailed, kError };

struct CaseResult {
  std::string name;
  Outcome outcome = Outcome::kPassed;
  std::vector<std::string> unmet;  // the diff, or the error's message
  double seconds = 0;
};

// Reads and runs one scenario; `err` gets what the run said on its standard
// error, `transcript` its JSON lines.
CaseResult RunCase(const std::string& path, const StopSignals& stop, std::string* transcript,
                   std::ostream& err) {
  CaseResult result;
  result.name = path;
  const auto started = std::chrono::steady_clock::now();
  const auto finish = [&](CaseResult done) {
    done.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return done;
  };
  Scenario scenario;
  {
    Json json;
    std::ostringstream read_error;
    InputError error;
    bool ok = ReadJsonFile(path, &json, read_error);
    if (ok && !ReadScenario(json, std::filesystem::absolute(path), &scenario, &error)) {
      ReportInvalidInput(read_error, InputName(path), error);
      ok = false;
    }
    if (!ok) {
      err << read_error.str();
      result.outcome = Outcome::kError;
      std::string message = read_error.str();
      if (!message.empty() && message.back() == '\n') message.pop_back();
      result.unmet.push_back(std::move(message));
      return finish(std::move(result));
    }
  }
  if (!scenario.expect) {
    result.outcome = Outcome::kFailed;
    result.unmet.push_back("expect: the scenario has no expect block, so nothing is checked");
    return finish(std::move(result));
  }
  std::ostringstream run_out;
  std::ostringstream run_err;
  RunOptions options;
  options.jsonl = true;
  options.stop = &stop;
  std::size_t program_runs = 0;
  options.program_runs = &program_runs;
  const ExitStatus status = RunScenario(scenario, InputName(path), options, run_out, run_err);
  *transcript = run_out.str();
  if (status != kRan) {
    result.outcome = status == kInvalidInput ? Outcome::kError : Outcome::kFailed;
    std::string message = run_err.str();
    if (!message.empty() && message.back() == '\n') message.pop_back();
    result.unmet.push_back("the run ended with status " + std::to_string(status) +
                           (message.empty() ? "" : ": " + message));
    return finish(std::move(result));
  }
  scenario::RunRecord record;
  record.program_runs = program_runs;
  std::istringstream lines(*transcript);
  for (std::string line; std::getline(lines, line);) {
    Json json;
    InputError ignored;
    if (ParseJson(line, &json, &ignored)) scenario::AddToRecord(json, &record);
  }
  result.unmet = scenario::CheckExpectations(*scenario.expect, record);
  if (!result.unmet.empty()) result.outcome = Outcome::kFailed;
  return finish(std::move(result));
}

std::string JUnit(const std::vector<CaseResult>& cases) {
  std::size_t failures = 0;
  std::size_t errors = 0;
  double seconds = 0;
  for (const CaseResult& result : cases) {
    failures += result.outcome == Outcome::kFailed;
    errors += result.outcome == Outcome::kError;
    seconds += result.seconds;
  }
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites tests=\"" << cases.size() << "\" failures=\"" << failures << "\" errors=\""
      << errors << "\" time=\"" << seconds << "\">\n"
      << "  <testsuite name=\"amctl test\" tests=\"" << cases.size() << "\" failures=\"" << failures
      << "\" errors=\"" << errors << "\" time=\"" << seconds << "\">\n";
  for (const CaseResult& result : cases) {
    xml << "    <testcase classname=\"amctl.scenario\" name=\"" << XmlEscape(result.name)
        << "\" time=\"" << result.seconds << "\"";
    if (result.outcome == Outcome::kPassed) {
      xml << "/>\n";
      continue;
    }
    std::string body;
    for (const std::string& line : result.unmet) body += line + '\n';
    const char* element = result.outcome == Outcome::kFailed ? "failure" : "error";
    const std::string summary =
        result.outcome == Outcome::kFailed
            ? std::to_string(result.unmet.size()) +
                  (result.unmet.size() == 1 ? " unmet expectation" : " unmet expectations")
            : std::string("invalid input");
    xml << ">\n      <" << element << " message=\"" << XmlEscape(summary) << "\">"
        << XmlEscape(body) << "</" << element << ">\n    </testcase>\n";
  }
  xml << "  </testsuite>\n</testsuites>\n";
  return xml.str();
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (byte < 0x20 && c != '\n' && c != '\t' && c != '\r') {
          out += "\xEF\xBF\xBD";  // U+FFFD: XML 1.0 has no form for these
        } else {
          out += c;
        }
    }
  }
  return out;
}

ExitStatus TestCommand(const std::vector<std::string>& scenarios, const std::string& junit,
                       bool verbose, std::ostream& out, std::ostream& err) {
  const StopSignals stop;
  std::vector<CaseResult> cases;
  std::size_t failed = 0;
  std::size_t invalid = 0;
  for (const std::string& path : scenarios) {
    if (stop.signal() != 0) break;
    std::string transcript;
    CaseResult result = RunCase(path, stop, &transcript, err);
    if (result.outcome == Outcome::kPassed) {
      out << "PASS " << path << '\n';
    } else if (result.outcome == Outcome::kFailed) {
      ++failed;
      out << "FAIL " << path << '\n';
      for (const std::string& line : result.unmet) out << "  " << line << '\n';
      if (verbose && !transcript.empty()) {
        out << "  transcript:\n";
        std::istringstream lines(transcript);
        for (std::string line; std::getline(lines, line);) out << "    " << line << '\n';
      }
    } else {
      ++invalid;
      out << "ERROR " << path << '\n';
    }
    cases.push_back(std::move(result));
  }
  out << cases.size() << (cases.size() == 1 ? " scenario: " : " scenarios: ")
      << cases.size() - failed - invalid << " passed, " << failed << " failed";
  if (invalid != 0) out << ", " << invalid << " invalid";
  out << '\n';
  out.flush();
  ExitStatus status = invalid != 0 ? kInvalidInput : failed != 0 ? kFailed : kRan;
  if (!junit.empty()) {
    std::string why;
    if (!WriteOutputFile(junit, JUnit(cases), &why)) {
      err << "amctl: " << junit << ": cannot write the JUnit report: " << why << '\n';
      if (status == kRan) status = kFailed;
    }
  }
  if (stop.signal() != 0) {
    return static_cast<ExitStatus>(kStoppedBySignal + stop.signal());
  }
  return status;
}

}  // namespace tools
