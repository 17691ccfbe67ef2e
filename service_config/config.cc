#include "service_config/config.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "base/file_io.h"
#include "service_config/command_plan.h"
#include "scenario/settings_json.h"

namespace service {
namespace {

using scenario::FieldPath;
using scenario::IndexPath;
using scenario::InputError;
using scenario::Json;
using scenario::ObjectReader;
using scenario::Problems;

using scenario::SameName;

std::filesystem::path Resolve(const std::filesystem::path& folder, const std::string& path) {
  if (path.empty()) return {};
  return (folder / path).lexically_normal();
}

bool HasProgramActions(const Json& settings) {
  const auto rules = settings.find("rules");
  if (rules == settings.end() || !rules->is_array()) return false;
  for (const Json& rule : *rules) {
    const auto actions = rule.find("actions");
    if (actions == rule.end() || !actions->is_array()) continue;
    for (const Json& action : *actions) {
      const auto kind = action.find("kind");
      if (kind != action.end() && kind->is_string() && *kind == "program") return true;
    }
  }
  return false;
}

void ReadListen(ObjectReader& top, const std::filesystem::path& folder, Config* config, Json* fp) {
  const Json* value = top.Object("listen");
  if (value == nullptr) return;
  (*fp)["listen"] = *value;
  ListenConfig& listen = config->listen;
  const std::size_t before = top.problems().count();
  ObjectReader reader(top.problems(), *value, top.PathOf("listen"));
  listen.address = reader.String("address", listen.address);
  listen.port = static_cast<int>(reader.Integer("port", 0, 65535, listen.port));
  listen.port_file = Resolve(folder, reader.String("port_file"));
  listen.token_file = Resolve(folder, reader.String("token_file"));
  listen.read_token_file = Resolve(folder, reader.String("read_token_file"));
  listen.anonymous_submit = reader.Bool("anonymous_submit", false);
  listen.anonymous_read = reader.Bool("anonymous_read", false);
  listen.tls_cert_file = Resolve(folder, reader.String("tls_cert_file"));
  listen.tls_key_file = Resolve(folder, reader.String("tls_key_file"));
  listen.max_body_bytes = static_cast<std::size_t>(
      reader.Integer("max_body_bytes", 64, 1ll << 30, static_cast<std::int64_t>(listen.max_body_bytes)));
  listen.max_header_bytes = static_cast<std::size_t>(reader.Integer(
      "max_header_bytes", 256, 1 << 20, static_cast<std::int64_t>(listen.max_header_bytes)));
  listen.max_connections =
      static_cast<int>(reader.Integer("max_connections", 2, 65536, listen.max_connections));
  listen.max_connections_per_peer = static_cast<int>(
      reader.Integer("max_connections_per_peer", 1, 65536, listen.max_connections_per_peer));
  listen.max_streams = static_cast<int>(reader.Integer("max_streams", 0, 1024, listen.max_streams));
  listen.stream_buffer_bytes = static_cast<std::size_t>(reader.Integer(
      "stream_buffer_bytes", 4096, 1ll << 30, static_cast<std::int64_t>(listen.stream_buffer_bytes)));
  listen.idle_seconds = static_cast<int>(reader.Integer("idle_seconds", 1, 3600, listen.idle_seconds));
  listen.head_seconds = static_cast<int>(reader.Integer("head_seconds", 1, 3600, listen.head_seconds));
  listen.body_seconds = static_cast<int>(reader.Integer("body_seconds", 1, 3600, listen.body_seconds));
  reader.Finish();
  if (top.problems().count() != before) return;
  if (listen.tls_cert_file.empty() != listen.tls_key_file.empty()) {
    top.problems().Fail(FieldPath(reader.path(), listen.tls_cert_file.empty() ? "tls_cert_file" : "tls_key_file"),
                        "must be given with its pair: tls_cert_file and tls_key_file go together");
    return;
  }
  if (listen.max_streams >= listen.max_connections) {
    top.problems().Fail(FieldPath(reader.path(), "max_streams"),
                        "must be below max_connections (a stream holds a connection)");
  }
}

// One token file into `*token`; false with why.
// The first line of a file that holds a secret (a token, a connection
// string with its password), which others must not be able to read.
bool ReadSecretFile(const std::filesystem::path& file, const char* what, std::string* line,
                    InputError* error) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && (st.st_mode & 007) != 0) {
    *error = {"", std::string("others have access to the ") + what + " (mode " +
                      std::to_string((st.st_mode >> 6) & 7) + std::to_string((st.st_mode >> 3) & 7) +
                      std::to_string(st.st_mode & 7) + "); make it 0600 or 0640",
              file.string()};
    return false;
  }
  std::string text;
  std::string why;
  if (!base::ReadWholeFile(file.string(), &text, &why)) {
    *error = {"", "cannot read: " + why, file.string()};
    return false;
  }
  *line = text.substr(0, text.find_first_of("\r\n"));
  return true;
}

bool ReadTokenFile(const std::filesystem::path& file, std::string* token, InputError* error) {
  if (!ReadSecretFile(file, "token file", token, error)) return false;
  if (token->size() < 16) {
    *error = {"", "the token must be one line of at least 16 characters", file.string()};
    return false;
  }
  return true;
}

void ReadAccess(Problems& problems, Config* config) {
  ListenConfig& listen = config->listen;
  InputError error;
  if (!ReadListenSecrets(&listen, &error)) return problems.Fail(error);
  if (IsLoopback(listen.address)) return;
  const std::string where = "listen on \"" + listen.address + "\", which is not loopback";
  if (listen.token_file.empty() && listen.read_token_file.empty()) {
    return problems.Fail("listen.token_file", "is required to " + where);
  }
  if (listen.anonymous_submit || listen.anonymous_read) {
    return problems.Fail(listen.anonymous_submit ? "listen.anonymous_submit" : "listen.anonymous_read",
                         "applies to loopback addresses only; it cannot be true to " + where);
  }
  if (listen.tls_cert_file.empty()) {
    problems.Fail("listen.tls_cert_file",
                  "is required to " + where + ": a token must not travel in clear");
  }
}

void ReadProfile(Problems& problems, const Json& value, const std::string& path,
                 const std::filesystem::path& folder, Config* config) {
  ProfileConfig profile;
  const std::size_t before = problems.count();
  ObjectReader reader(problems, value, path);
  if (reader.Require("name")) profile.name = reader.String("name");
  auto settings = std::make_shared<CActionManagerSettings>();
  scenario::ReadSettingsSource(reader, folder, settings.get());
  reader.Finish();
  if (problems.count() != before) return;
  if (profile.name.empty()) {
    problems.Fail(FieldPath(path, "name"), "must not be empty");
    return;
  }
  for (const ProfileConfig& other : config->profiles) {
    if (other.name == profile.name) {
      problems.Fail(FieldPath(path, "name"), "repeats the profile \"" + profile.name + "\"");
      return;
    }
  }
  const Json as_json = scenario::SettingsToJson(*settings);
  profile.has_program_actions = HasProgramActions(as_json);
  // The settings as the component will see them: an archive that was
  // rewritten with the same content is the same profile.
  profile.fingerprint = as_json.dump(-1, ' ', false, Json::error_handler_t::replace);
  profile.settings = std::move(settings);
  config->profiles.push_back(std::move(profile));
}

bool HasProfile(const Config& config, const std::string& name) {
  for (const ProfileConfig& profile : config.profiles) {
    if (profile.name == name) return true;
  }
  return false;
}

// alertmanager.receivers and alertmanager.properties, when given.
void ReadAlertMaps(Problems& problems, const Json* receivers, const Json* properties,
                   Config* config) {
  AlertmanagerConfig& am = config->alertmanager;
  if (receivers != nullptr) {
    for (const auto& [receiver, profile] : receivers->items()) {
      const std::string path = FieldPath("alertmanager.receivers", receiver);
      if (!profile.is_string() || !HasProfile(*config, profile.get<std::string>())) {
        problems.Fail(path, "must name a profile of \"profiles\"");
        return;
      }
      am.receivers[receiver] = profile.get<std::string>();
    }
  }
  if (properties != nullptr) {
    for (const auto& [property, source] : properties->items()) {
      const std::string path = FieldPath("alertmanager.properties", property);
      if (SameName(property, "EventId") || SameName(property, "ProfileName")) {
        problems.Fail(path, "is set from the alert's fingerprint and the receiver, not mapped");
        return;
      }
      if (!source.is_string() || !IsAlertSource(source.get<std::string>())) {
        problems.Fail(path,
                      "must be \"labels.NAME\", \"annotations.NAME\" or one of \"status\", "
                      "\"startsAt\", \"endsAt\", \"generatorURL\", \"fingerprint\", "
                      "\"receiver\", \"externalURL\", \"groupKey\"");
        return;
      }
      am.properties.emplace_back(property, source.get<std::string>());
    }
  }
}

// The default profile: the only one when there is one and none is named;
// a named one must be among "profiles".
void ReadDefaultProfile(Problems& problems, Config* read) {
  if (read->default_profile.empty() && read->profiles.size() == 1) {
    read->default_profile = read->profiles.front().name;
  }
  if (!read->default_profile.empty()) {
    bool known = false;
    for (const ProfileConfig& profile : read->profiles) known |= profile.name == read->default_profile;
    if (!known) problems.Fail("default_profile", "names no profile of \"profiles\"");
  }
}

// The "alertmanager" object; after the classes and the profiles, which it
// names.
void ReadAlertmanager(Problems& problems, const Json& value, Config* config) {
  AlertmanagerConfig& am = config->alertmanager;
  ObjectReader reader(problems, value, "alertmanager");
  if (reader.Require("class")) am.firing_class = reader.String("class");
  am.resolved_class = reader.String("resolved_class");
  am.profile = reader.String("profile");
  am.fill_by_name = reader.Bool("fill_by_name", true);
  const std::string prefer = reader.String("prefer", "labels");
  const std::string event_id = reader.String("event_id", "fingerprint");
  const Json* receivers = reader.Object("receivers");
  const Json* properties = reader.Object("properties");
  reader.Finish();
  if (!problems.ok()) return;
  am.enabled = true;
  for (const auto& [field, name] :
       {std::pair{"class", &am.firing_class}, std::pair{"resolved_class", &am.resolved_class}}) {
    if (name->empty() && std::string_view(field) == "resolved_class") continue;
    if (!IsEventClass(*config, *name)) {
      problems.Fail(FieldPath("alertmanager", field),
                    "\"" + *name + "\" is not ZRV_Event nor a class of \"classes\" derived from it");
      return;
    }
  }
  if (!am.profile.empty() && !HasProfile(*config, am.profile)) {
    problems.Fail("alertmanager.profile", "names no profile of \"profiles\"");
    return;
  }
  if (prefer != "labels" && prefer != "annotations") {
    problems.Fail("alertmanager.prefer", "must be \"labels\" or \"annotations\"");
    return;
  }
  am.labels_win = prefer == "labels";
  if (event_id != "fingerprint" && event_id != "fingerprint_and_start") {
    problems.Fail("alertmanager.event_id", "must be \"fingerprint\" or \"fingerprint_and_start\"");
    return;
  }
  am.event_id_with_start = event_id == "fingerprint_and_start";
  ReadAlertMaps(problems, receivers, properties, config);
}

// The "socket" object, when there is one.
void ReadSocket(ObjectReader& reader, Problems& problems, const std::filesystem::path& folder,
                Config* read, Json* fp) {
  if (const Json* socket = reader.Object("socket")) {
    (*fp)["socket"] = *socket;
    ObjectReader sock(problems, *socket, "socket");
    if (sock.Require("path")) read->socket_path = Resolve(folder, sock.String("path"));
    const std::string mode = sock.String("mode", "0660");
    const bool octal = !mode.empty() && mode.size() <= 4 &&
                       mode.find_first_not_of("01234567") == std::string::npos;
    if (!octal) {
      problems.Fail("socket.mode", "must be an octal mode such as \"0660\"");
    } else {
      read->socket_mode = static_cast<unsigned>(std::stoul(mode, nullptr, 8));
    }
    sock.Finish();
  }
}

// Where the daemon keeps its state: state_dir, "state", "journal" (its
// max_bytes bounds the stored queue; segment_bytes is read for older
// configurations and no longer used), results_file.
void ReadStorage(ObjectReader& reader, Problems& problems, const std::filesystem::path& folder,
                 Config* read, Json* fp) {
  if (reader.Require("state_dir")) read->state_dir = Resolve(folder, reader.String("state_dir"));
  (*fp)["state_dir"] = read->state_dir.string();
  if (const Json* journal = reader.Object("journal")) {
    (*fp)["journal"] = *journal;
    ObjectReader j(problems, *journal, "journal");
    read->journal_max_bytes = static_cast<std::uint64_t>(
        j.Integer("max_bytes", 4096, 1ll << 40, static_cast<std::int64_t>(read->journal_max_bytes)));
    read->journal_segment_bytes = static_cast<std::uint64_t>(j.Integer(
        "segment_bytes", 4096, 1ll << 40, static_cast<std::int64_t>(read->journal_segment_bytes)));
    j.Finish();
  }
  const std::size_t before = problems.count();
  if (const Json* state = reader.Object("state")) {
    (*fp)["state"] = *state;
    ObjectReader st(problems, *state, "state");
    read->state.counter_ttl = std::chrono::seconds(st.Integer(
        "counter_ttl", 60, 10ll * 365 * 24 * 3600, read->state.counter_ttl.count()));
    read->state.history_days =
        static_cast<int>(st.Integer("history_days", 1, 3650, read->state.history_days));
    read->state.history_rows =
        st.Integer("history_rows", 100, 1ll << 40, read->state.history_rows);
    const std::string kind = st.String("kind", "sqlite");
    if (kind == "postgresql") {
      read->state.kind = StateKind::kPostgresql;
    } else if (kind != "sqlite") {
      problems.Fail("state.kind", "must be \"sqlite\" or \"postgresql\", not \"" + kind + "\"");
    }
    read->state.connection = st.String("connection");
    read->state.connection_file = Resolve(folder, st.String("connection_file"));
    read->state.node = st.String("node", read->state.node);
    read->state.lease_seconds =
        static_cast<int>(st.Integer("lease_seconds", 3, 3600, read->state.lease_seconds));
    st.Finish();
  }
  if (read->state.kind == StateKind::kPostgresql && problems.reading() &&
      problems.count() == before) {
    if (read->state.connection.empty() == read->state.connection_file.empty()) {
      problems.Fail("state.connection",
                    "a PostgreSQL state needs a connection string here or in connection_file,"
                    " one of the two");
    } else if (!read->state.connection_file.empty()) {
      InputError error;
      if (!ReadSecretFile(read->state.connection_file, "connection file",
                          &read->state.connection, &error)) {
        problems.Fail(error);
      }
    }
    if (read->state.node.empty()) problems.Fail("state.node", "must not be empty");
  }
  read->results_file = Resolve(folder, reader.String("results_file"));
  (*fp)["results_file"] = read->results_file.string();
}

// The classes (with their commands, checked now, so that a wrong
// placeholder stops the start or the reload instead of failing calls later)
// and the instances.
void ReadWorld(ObjectReader& reader, Problems& problems, const std::filesystem::path& folder,
               Config* read, Json* fp) {
  // Commands are checked only against classes that were read whole.
  const std::size_t before = problems.count();
  if (const Json* classes = reader.Array("classes")) {
    (*fp)["classes"] = *classes;
    for (std::size_t i = 0; i < classes->size() && problems.reading(); ++i) {
      read->classes.push_back(scenario::ReadClass(problems, (*classes)[i], IndexPath("classes", i)));
    }
  }
  const bool classes_read = problems.reading() && problems.count() == before;
  for (std::size_t c = 0; classes_read && c < read->classes.size(); ++c) {
    const scenario::ScenarioClass& cls = read->classes[c];
    for (const scenario::ScenarioMethod& method : cls.methods) {
      if (!method.command) continue;
      CommandPlan ignored;
      InputError wrong;
      if (!PrepareCommand(cls, method, ClassKeys(read->classes, cls), folder, &ignored, &wrong)) {
        problems.Fail(wrong.place, wrong.message);
        break;
      }
    }
  }
  if (const Json* instances = reader.Array("instances")) {
    (*fp)["instances"] = *instances;
    for (std::size_t i = 0; i < instances->size() && problems.reading(); ++i) {
      read->instances.push_back(
          scenario::ReadObject(problems, (*instances)[i], IndexPath("instances", i)));
    }
  }
}

// What relates fields to each other, checked once every field was read
// without a refusal: a refused profile would otherwise turn into false
// "names no profile" findings.
void CheckRelations(Problems& problems, const Json* alertmanager, Config* read) {
  if (alertmanager != nullptr) ReadAlertmanager(problems, *alertmanager, read);
  if (problems.ok() && read->profiles.empty()) problems.Fail("profiles", "must name a profile");
  if (problems.ok()) ReadDefaultProfile(problems, read);
  if (problems.ok()) ReadAccess(problems, read);
  if (problems.ok() && read->socket_path.string().size() >= 100) {
    problems.Fail("socket.path", "is too long for a Unix socket address");
  }
}

}  // namespace

bool ReadListenSecrets(ListenConfig* listen, InputError* error) {
  listen->token.clear();
  listen->read_token.clear();
  if (!listen->token_file.empty() && !ReadTokenFile(listen->token_file, &listen->token, error)) {
    return false;
  }
  return listen->read_token_file.empty() ||
         ReadTokenFile(listen->read_token_file, &listen->read_token, error);
}

std::string DefaultNodeName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "actionmanagerd";
  return name;
}

scenario::Scenario DescribedWorld(const Config& config) {
  scenario::Scenario described;
  described.ns = config.ns;
  described.standard_classes = config.standard_classes;
  described.classes = config.classes;
  described.instances = config.instances;
  return described;
}

bool IsLoopback(const std::string& address) {
  if (address == "localhost" || address == "::1") return true;
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  return false;
}

bool IsEventClass(const Config& config, const std::string& class_name) {
  const std::vector<std::string> chain = scenario::SuperclassChain(config.classes, class_name);
  return std::any_of(chain.begin(), chain.end(),
                     [](const std::string& name) { return SameName(name, "ZRV_Event"); });
}

std::vector<std::string> RestartOnlyChanges(const Config& running, const Config& fresh) {
  static const char* const kFields[] = {"listen",    "socket",  "state_dir", "state", "journal",
                                        "results_file", "namespace",    "standard_classes",
                                        "classes",   "instances",        "environment"};
  const auto value = [](const Json& fields, const char* name) {
    const auto it = fields.find(name);
    return it == fields.end() ? Json() : *it;
  };
  std::vector<std::string> changed;
  for (const char* name : kFields) {
    if (value(running.restart_fields, name) != value(fresh.restart_fields, name)) {
      changed.emplace_back(name);
    }
  }
  return changed;
}

bool ReadConfig(const std::filesystem::path& file, Config* config, InputError* error) {
  Problems problems;
  if (ReadConfig(file, config, problems)) return true;
  *error = problems.first();
  return false;
}

bool ReadConfig(const std::filesystem::path& file, Config* config, Problems& problems) {
  std::string text;
  std::string why;
  if (!base::ReadWholeFile(file.string(), &text, &why)) {
    problems.Fail({"", "cannot read: " + why});
    return false;
  }
  Json json;
  InputError syntax;
  if (!scenario::ParseJson(text, &json, &syntax)) {
    problems.Fail(std::move(syntax));
    return false;
  }
  Config read;
  read.file = std::filesystem::absolute(file);
  const std::filesystem::path folder = read.file.parent_path();
  Json fp = Json::object();  // the restart-only fields
  ObjectReader reader(problems, json, "");
  ReadListen(reader, folder, &read, &fp);
  ReadSocket(reader, problems, folder, &read, &fp);
  ReadStorage(reader, problems, folder, &read, &fp);
  read.queue_limit = static_cast<std::size_t>(
      reader.Integer("queue_limit", 1, 1000000, static_cast<std::int64_t>(read.queue_limit)));
  read.wait_seconds = static_cast<int>(reader.Integer("wait_seconds", 1, 86400, read.wait_seconds));
  read.stop_seconds = static_cast<int>(reader.Integer("stop_seconds", 0, 86400, read.stop_seconds));
  read.log_level = static_cast<int>(reader.Integer("log_level", 0, 7, read.log_level));
  read.ns = reader.String("namespace", read.ns);
  read.standard_classes = reader.Bool("standard_classes", true);
  ReadWorld(reader, problems, folder, &read, &fp);
  scenario::ReadEnvironment(reader, folder, &read.environment);
  fp["namespace"] = read.ns;
  fp["standard_classes"] = read.standard_classes;
  for (const auto& [name, value] : read.environment) fp["environment"][name] = value;
  if (const Json* profiles = reader.Array("profiles")) {
    for (std::size_t i = 0; i < profiles->size() && problems.reading(); ++i) {
      ReadProfile(problems, (*profiles)[i], IndexPath("profiles", i), folder, &read);
    }
  } else {
    reader.Require("profiles");
  }
  read.default_profile = reader.String("default_profile");
  const std::string missing_id = reader.String("missing_event_id", "refuse");
  const Json* alertmanager = reader.Object("alertmanager");
  reader.Finish();
  if (problems.reading() && missing_id != "refuse" && missing_id != "generate") {
    problems.Fail("missing_event_id", "must be \"refuse\" or \"generate\"");
  }
  read.generate_event_id = missing_id == "generate";
  if (problems.ok()) CheckRelations(problems, alertmanager, &read);
  if (!problems.ok()) return false;
  read.restart_fields = std::move(fp);
  *config = std::move(read);
  return true;
}

}  // namespace service
