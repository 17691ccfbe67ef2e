#include "tools/transcript.h"

#include <cerrno>
#include <utility>


namespace tools {
namespace {

std::string Compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// name=value pairs of the properties that hold a value.
std::string Pairs(const Json& properties, const char* separator) {
  std::string text;
  for (const auto& [name, value] : properties.items()) {
    if (value.is_null()) continue;
    if (!text.empty()) text += separator;
    text += name + "=" + Compact(value);
  }
  return text;
}

}  // namespace

void Transcript::Add(Line line) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_.push_back(std::move(line));
}

void Transcript::Component(const char* operation, int result) {
  Json line = Json::object();
  line["type"] = "component";
  line["operation"] = operation;
  line["result"] = result;
  Add({std::move(line), {}, {}});
}

void Transcript::Log(int level, const std::string& component, const std::string& message) {
  Json line = Json::object();
  line["type"] = "log";
  line["level"] = level;
  line["component"] = component;
  line["message"] = message;
  Add({std::move(line), {}, {}});
}

void Transcript::MethodCall(const std::string& path, const std::string& method, Json in) {
  Json line = Json::object();
  line["type"] = "method_call";
  line["path"] = path;
  line["method"] = method;
  line["in"] = std::move(in);
  if (dry_run_) line["called"] = false;
  Add({std::move(line), {}, {}});
}

void Transcript::Rule(std::size_t event, const std::string& rule, const std::string& event_id,
                      int executed, int actions) {
  Json line = Json::object();
  line["type"] = "rule";
  line["event"] = event;
  line["rule"] = TextValue(rule);
  line["event_id"] = TextValue(event_id);
  line["already_executed"] = executed;
  line["actions"] = actions;
  Add({std::move(line), {}, {}});
}

void Transcript::Action(std::size_t event, const std::string& name, const std::string& kind,
                        int exec_limit, const char* decision) {
  Json line = Json::object();
  line["type"] = "action";
  line["event"] = event;
  line["name"] = TextValue(name);
  line["kind"] = kind;
  line["exec_limit"] = exec_limit;
  line["decision"] = decision;
  Add({std::move(line), {}, {}});
}

void Transcript::ProgramStart(const std::string& command_line, Json arguments,
                              const std::string& directory, Json environment) {
  Json line = Json::object();
  line["type"] = "program_start";
  line["command_line"] = TextValue(command_line);
  line["arguments"] = std::move(arguments);
  line["directory"] = TextValue(directory);
  line["environment"] = std::move(environment);
  line["started"] = false;
  Add({std::move(line), {}, {}});
}

void Transcript::ResultEventIndicated(wbem::ComPtr<IWbemClassObject> indicated) {
  Add({nullptr, {}, std::move(indicated)});
}

void Transcript::ResultEventsDelivered(
    const std::vector<wbem::ComPtr<IWbemClassObject>>& delivered) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t next = 0;
  for (Line& line : lines_) {
    if (!line.pending) continue;
    // A delivered copy is what a consumer saw; the indicated object stands
    // in only if the subscriber missed one.
    IWbemClassObject* object =
        next < delivered.size() ? delivered[next++].get() : line.pending.get();
    Json json = Json::object();
    json["type"] = "result_event";
    json["properties"] = PropertiesToJson(object, true);
    if (dry_run_) json["sent"] = false;
    line.json = std::move(json);
    line.pending.Reset();
  }
}

void Transcript::Event(std::size_t index, const std::string& class_name, const Json& result) {
  Json line = Json::object();
  line["type"] = "event";
  line["index"] = index;
  line["class"] = class_name;
  line["result"] = result;
  Add({std::move(line), {}, {}});
}

void Transcript::Note(const std::string& text) { Add({nullptr, text, {}}); }

void Transcript::Stopped(const std::string& signal, std::size_t events) {
  Json line = Json::object();
  line["type"] = "stopped";
  line["signal"] = signal;
  line["events"] = events;
  Add({std::move(line), {}, {}});
}

std::string Transcript::Readable(const Json& line) const {
  const std::string type = line["type"];
  if (type == "component") {
    return "component   " + line["operation"].get<std::string>() + " -> " + Compact(line["result"]);
  }
  if (type == "log") {
    return "log " + Compact(line["level"]) + "       " + line["component"].get<std::string>() +
           ": " + line["message"].get<std::string>();
  }
  if (type == "method_call") {
    return "method call " + line["path"].get<std::string>() + " " +
           line["method"].get<std::string>() + "(" + Pairs(line["in"], ", ") + ")" +
           (line.contains("called") ? " (not called)" : "");
  }
  if (type == "rule") {
    const int executed = line["already_executed"];
    return "rule        " + Compact(line["rule"]) + " hit by event id " +
           Compact(line["event_id"]) + ", already executed " + std::to_string(executed) +
           (executed == 1 ? " time; " : " times; ") + Compact(line["actions"]) + " actions";
  }
  if (type == "action") {
    const std::string decision = line["decision"];
    const std::string limit =
        line["exec_limit"] == 0 ? "no limit" : "limit " + Compact(line["exec_limit"]);
    return "action      " + Compact(line["name"]) + " (" + line["kind"].get<std::string>() + ", " +
           limit + "): " +
           (decision == "runs"        ? "runs"
            : decision == "held_back" ? "held back by its execution limit"
                                      : "a task: carried for the agent, not run here");
  }
  if (type == "program_start") {
    std::string text = "program     " + Compact(line["command_line"]) + " (not started)\n" +
                       "            argv " + Compact(line["arguments"]) + "\n" + "            in " +
                       Compact(line["directory"]);
    for (const auto& [name, value] : line["environment"].items()) {
      text += "\n            env " + name + (value.is_null() ? " unset" : "=" + Compact(value));
    }
    return text;
  }
  if (type == "result_event") {
    // The outcome and what ran; the JSON lines carry every property.
    const Json& properties = line["properties"];
    std::string text = line.contains("sent") ? "result      (not sent) " : "result      ";
    text += properties.value("MsgInfo", Json(nullptr)).is_string()
                ? properties["MsgInfo"].get<std::string>()
                : std::string("(no MsgInfo)");
    for (const char* name : {"return_code", "Method", "program", "descriptive_name", "EventId"}) {
      const auto it = properties.find(name);
      if (it != properties.end() && !it->is_null())
        text += std::string(" ") + name + "=" + Compact(*it);
    }
    return text;
  }
  if (type == "stopped") {
    return "stopped     by " + line["signal"].get<std::string>() + " after " +
           Compact(line["events"]) + " events";
  }
  // event
  const Json& result = line["result"];
  return "event " + Compact(line["index"]) + "     " + line["class"].get<std::string>() +
         (result.is_null() ? " was not delivered to the profile"
                           : " processed -> " + Compact(result));
}

bool Transcript::Flush() {
  std::vector<Line> lines;
  {
    std::lock_guard<std::mutex> lock(mu_);
    lines.swap(lines_);
  }
  std::string text;
  for (const Line& line : lines) {
    if (line.pending) continue;  // never filled: nothing to show
    if (line.json.is_null()) {
      if (!jsonl_) text += line.note + '\n';
      continue;
    }
    text += (jsonl_ ? Compact(line.json) : Readable(line.json)) + '\n';
  }
  if (write_error_ != 0) return false;
  errno = 0;
  out_.write(text.data(), static_cast<std::streamsize>(text.size()));
  out_.flush();
  if (!out_) {
    write_error_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

}  // namespace tools
