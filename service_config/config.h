// The daemon's configuration file (docs/service.md, schema in
// docs/schema/actionmanagerd.schema.json).
//
//   {"listen": {"address": "127.0.0.1", "port": 8080},
//    "socket": {"path": "run/actionmanagerd.sock"},
//    "state_dir": "state", "state": {"counter_ttl": 604800, "history_days": 30},
//    "results_file": "results.jsonl",
//    "namespace": "root\\zrv", "standard_classes": true,
//    "classes": [...], "instances": [...], "environment": {...},
//    "profiles": [{"name": "DiskWatch", "settings": {...}}]}
//
// The world (namespace, classes, instances, environment) has the form a
// scenario gives it (scenario/scenario.h) and is read by the same code; each
// profile's settings are a settings JSON or an archive with its version.
// Relative paths are taken from the configuration file's folder.
//
// ReadConfig checks everything a running daemon would trip over later:
// shape, types and ranges, duplicate profile names, a default profile that
// exists, a token file that can be read when the address is not loopback.
// Plain data, not thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scenario/json_input.h"
#include "service_config/alertmanager.h"
#include "scenario/scenario.h"
#include "settings/action_manager_settings.h"

namespace service {

struct ProfileConfig {
  std::string name;
  std::shared_ptr<CActionManagerSettings> settings;
  // Whether any rule runs a program: such a profile's deliveries hold the
  // process-wide program lock (see service/profile.h).
  bool has_program_actions = false;
  // Equal texts: the same profile; a reload keeps it running.
  std::string fingerprint;
};

// Who may do what over HTTP (docs/service.md, "Access"): submitting needs
// the submit token (token_file), reading (results, history, logs, metrics)
// the read token (read_token_file); a route whose token is not configured is
// open to anonymous clients only on a loopback address and only when
// anonymous_submit or anonymous_read says so. Token files must give others
// no access (mode & 007 == 0), as ssh demands of its keys. Off loopback,
// TLS (tls_cert_file, tls_key_file) is required, so a token never travels in
// clear. The token files and the TLS files are read again on SIGHUP; their
// paths and every other field only take effect on a restart.
struct ListenConfig {
  std::string address = "127.0.0.1";
  int port = 8080;  // 0: any free port (logged, and written to port_file)
  std::filesystem::path port_file;
  std::filesystem::path token_file;       // the submit token
  std::string token;                      // its first line, when one is configured
  std::filesystem::path read_token_file;  // the read token
  std::string read_token;
  bool anonymous_submit = false;
  bool anonymous_read = false;
  std::filesystem::path tls_cert_file;  // PEM chain; with tls_key_file, or neither
  std::filesystem::path tls_key_file;
  std::size_t max_body_bytes = 1 << 20;
  std::size_t max_header_bytes = 8192;
  int max_connections = 256;
  int max_connections_per_peer = 32;
  int max_streams = 4;
  std::size_t stream_buffer_bytes = 1 << 20;
  int idle_seconds = 5;
  int head_seconds = 10;
  int body_seconds = 30;
};

// The host's name, the default name of a daemon sharing a database.
std::string DefaultNodeName();

// The state database ("state": {...}).
enum class StateKind { kSqlite, kPostgresql };

struct StateConfig {
  std::chrono::seconds counter_ttl{7 * 24 * 3600};  // "counter_ttl", seconds
  int history_days = 30;
  std::int64_t history_rows = 1000000;
  // "kind": "sqlite" (state_dir/state.db, one daemon) or "postgresql" (one
  // database shared by several daemons, docs/ha.md).
  StateKind kind = StateKind::kSqlite;
  // The libpq connection string, given inline ("connection") or as the first
  // line of "connection_file" (which others must not be able to read, as it
  // may hold a password); one of the two with "postgresql".
  std::string connection;
  std::filesystem::path connection_file;
  // This daemon's name among those sharing the database ("node"; the host's
  // name by default) and how long it stays the owner of its unfinished
  // events without renewing its lease ("lease_seconds").
  std::string node = DefaultNodeName();
  int lease_seconds = 30;
};

struct Config {
  std::filesystem::path file;
  ListenConfig listen;
  std::filesystem::path socket_path;  // empty: no socket
  unsigned socket_mode = 0660;
  std::filesystem::path state_dir;
  std::uint64_t journal_max_bytes = 64ull << 20;
  std::uint64_t journal_segment_bytes = 4ull << 20;
  StateConfig state;
  std::filesystem::path results_file;  // empty: no results file
  std::size_t queue_limit = 1000;
  int wait_seconds = 60;
  int stop_seconds = 30;
  int log_level = 6;  // syslog priority threshold (service/log.h)
  // The world, as a scenario describes it.
  std::string ns = "root\\zrv";
  bool standard_classes = true;
  std::vector<scenario::ScenarioClass> classes;
  std::vector<scenario::ScenarioObject> instances;
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<ProfileConfig> profiles;
  std::string default_profile;  // events without ProfileName go here; may be empty
  // An event without an EventId (absent or null) is refused with 400 unless
  // this is set ("missing_event_id": "generate"), when it gets a unique id of
  // its own. Refusing is the default because the execution limits count by
  // EventId: a shared stand-in ("None") would let unrelated events hold each
  // other back. Reloadable.
  bool generate_event_id = false;
  // POST /v1/alertmanager (service_config/alertmanager.h); reloadable.
  AlertmanagerConfig alertmanager;
  // The fields that only a restart can change, each by its name (absent when
  // the file leaves it out): a reload that would change them is refused.
  scenario::Json restart_fields = scenario::Json::object();
};

// The restart-only fields whose values differ between `running` and
// `fresh`, in the order listen, socket, state_dir, journal, results_file,
// namespace, standard_classes, classes, instances, environment; empty when a
// reload may put `fresh` in force.
std::vector<std::string> RestartOnlyChanges(const Config& running, const Config& fresh);

// Reads and checks the file. On failure `*error` names the place (a field
// path or "line L, column C"; `error->file` when another file is at fault).
[[nodiscard]] bool ReadConfig(const std::filesystem::path& file, Config* config,
                              scenario::InputError* error);
// The same, with the refusals recorded in `problems`: one that keeps every
// problem (amctl check) reads on past each refusal and gets them all; what
// relates fields to each other (the profiles that alertmanager and
// default_profile name, access, the socket path's length) is checked only
// when every field was read without one.
[[nodiscard]] bool ReadConfig(const std::filesystem::path& file, Config* config,
                              scenario::Problems& problems);

// The world the configuration describes (namespace, standard classes,
// classes, instances) as a scenario without events: what the daemon builds
// and what amctl check builds to check the rest against.
scenario::Scenario DescribedWorld(const Config& config);

// True for the loopback addresses (127.0.0.0/8, ::1, "localhost").
bool IsLoopback(const std::string& address);

// Reads the token files of `listen` (their paths already set) into its
// token fields, checking that each is one line of at least 16 characters
// and that others have no access to the file; false with the file and why.
// Used at start and again on SIGHUP.
[[nodiscard]] bool ReadListenSecrets(ListenConfig* listen, scenario::InputError* error);

// Whether `class_name` is ZRV_Event or derives from it in `config`'s world;
// only such events can reach a profile.
bool IsEventClass(const Config& config, const std::string& class_name);

}  // namespace service
