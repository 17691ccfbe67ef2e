#include "testing/postgres.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "testing/wait.h"

namespace amtest {
namespace {

namespace fs = std::filesystem;

// With no TCP listener the port only names the socket file
// (.s.PGSQL.<port>), and the socket folder is the cluster's own.
constexpr int kPort = 5432;
constexpr char kDatabase[] = "actionmanager";

std::string Tail(const std::string& text) {
  constexpr std::size_t kKeep = 4000;
  return text.size() <= kKeep ? text : text.substr(text.size() - kKeep);
}

}  // namespace

std::string FindPostgresBin() {
  if (const char* given = std::getenv("AM_PG_BIN"); given != nullptr && *given != '\0') {
    return given;
  }
  // Debian installs each major version's server programs apart.
  int best = -1;
  std::string found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    const std::string name = entry.path().filename().string();
    char* end = nullptr;
    const long version = std::strtol(name.c_str(), &end, 10);
    const fs::path bin = entry.path() / "bin";
    if (end == name.c_str() || *end != '\0' || version <= best) continue;
    if (::access((bin / "postgres").c_str(), X_OK) != 0) continue;
    best = static_cast<int>(version);
    found = bin.string();
  }
  return found;
}

Postgres::Postgres(std::string bin, Sync sync) : bin_(std::move(bin)), sync_(sync) {
  if (::geteuid() == 0) {
    if (const passwd* pw = ::getpwnam("nobody"); pw != nullptr) {
      user_ = pw->pw_name;
      as_ = Credentials{pw->pw_uid, pw->pw_gid};
    }
    // The server's user must reach its folders inside this one.
    std::error_code ignored;
    fs::permissions(dir_.path(),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    ignored);
  } else if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr) {
    user_ = pw->pw_name;
  }
}

Postgres::~Postgres() { Stop(); }

bool Postgres::Start(std::string* error) {
  if (bin_.empty()) {
    *error = "no PostgreSQL server programs (Debian: postgresql; or set AM_PG_BIN)";
    return false;
  }
  if (user_.empty()) {
    *error = "no user to run PostgreSQL as (root needs the user nobody)";
    return false;
  }
  if (server_) {
    *error = "already running";
    return false;
  }
  const fs::path data = dir_ / "data";
  const fs::path socket = dir_ / "socket";
  ProcessOptions options;
  options.cwd = dir_.path();  // one the server's user may enter
  options.user = as_;
  options.unset = {"PGDATA", "PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGOPTIONS"};

  const bool fresh = !fs::exists(data / "PG_VERSION");
  if (fresh) {
    std::error_code ec;
    fs::create_directories(data, ec);
    fs::create_directories(socket, ec);
    if (as_) {
      for (const fs::path& owned : {data, socket}) {
        if (::chown(owned.c_str(), as_->uid, as_->gid) != 0) {
          *error = "cannot give " + owned.string() + " to " + user_;
          return false;
        }
      }
    }
    // initdb's own flush is skipped either way: the cluster is new and a
    // crash now only loses the run.
    const ProcessResult init = Run(
        bin_ + "/initdb",
        {"-D", data.string(), "-U", user_, "-A", "trust", "-E", "UTF8", "--no-locale", "--no-sync"},
        options);
    if (init.status != 0) {
      *error = "initdb failed: " + Tail(init.out + init.err);
      return false;
    }
  }

  options.log = dir_ / "postgres.log";
  server_ = std::make_unique<Process>(
      bin_ + "/postgres",
      std::vector<std::string>{"-D", data.string(), "-k", socket.string(), "-p",
                               std::to_string(kPort), "-c", "listen_addresses=", "-c",
                               sync_ == Sync::kOn ? "fsync=on" : "fsync=off"},
      options);
  const std::string probe = Target("postgres") + " connect_timeout=5";
  std::optional<ProcessResult> exited;
  const bool ready = WaitFor([&] {
    if (PQping(probe.c_str()) == PQPING_OK) return true;
    exited = server_->TryWait(std::chrono::milliseconds(0));
    return exited.has_value();
  });
  if (!ready || exited) {
    *error = std::string(exited ? "postgres exited" : "postgres did not become ready") +
             "; its log:\n" + Tail(log());
    Stop();
    return false;
  }
  if (fresh) {
    std::string ignored;
    if (!Psql("postgres", std::string("CREATE DATABASE ") + kDatabase, &ignored, error)) {
      Stop();
      return false;
    }
  }
  return true;
}

bool Postgres::Stop() {
  if (!server_) return true;
  server_->Signal(SIGINT);                       // fast shutdown
  const ProcessResult result = server_->Wait();  // killed if it outlasts the deadline
  server_.reset();
  return result.status == 0;
}

std::string Postgres::conninfo() const { return Target(kDatabase); }

std::string Postgres::Target(const std::string& dbname) const {
  return "host=" + (dir_ / "socket").string() + " port=" + std::to_string(kPort) +
         " dbname=" + dbname + " user=" + user_;
}

bool Postgres::Sql(const std::string& sql, std::string* out, std::string* error) const {
  return Psql(kDatabase, sql, out, error);
}

bool Postgres::Psql(const std::string& dbname, const std::string& sql, std::string* out,
                    std::string* error) const {
  ProcessOptions options;
  options.unset = {"PGOPTIONS", "PGSERVICE"};
  ProcessResult result =
      Run(bin_ + "/psql", {"-X", "-At", "-v", "ON_ERROR_STOP=1", "-d", Target(dbname), "-c", sql},
          options);
  if (result.status != 0) {
    *error = result.err.empty() ? "psql failed" : result.err;
    return false;
  }
  if (!result.out.empty() && result.out.back() == '\n') result.out.pop_back();
  *out = std::move(result.out);
  return true;
}

}  // namespace amtest
