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
  return Shell(
      "for bin in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V); do "
      "[ -x $bin/postgres ] && found=$bin; done; echo $found");
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
  if (server_) {
    *error = "already running";
    return false;
  }
  const auto fail = [&](const std::string& why) {  // stops what this started
    *error = why;
    Stop();
    return false;
  };
  if (bin_.empty())
    return fail("no PostgreSQL server programs (Debian: postgresql; or set AM_PG_BIN)");
  if (user_.empty()) return fail("no user to run PostgreSQL as (root needs the user nobody)");
  const fs::path data = dir_ / "data";
  const fs::path socket = dir_ / "socket";
  ProcessOptions options;
  options.cwd = dir_.path();  // one the server's user may enter
  options.user = as_;
  options.unset = {"PGDATA", "PGHOST", "PGPORT", "PGUSER", "PGDATABASE", "PGOPTIONS"};

  const bool fresh = !fs::exists(data / "PG_VERSION");
  for (const fs::path& owned : {data, socket}) {
    std::error_code ec;
    if (fresh) fs::create_directories(owned, ec);
    if (fresh && as_ && ::chown(owned.c_str(), as_->uid, as_->gid) != 0) {
      return fail("cannot give " + owned.string() + " to " + user_);
    }
  }
  // initdb's own flush is skipped either way: the cluster is new and a
  // crash now only loses the run.
  if (fresh) {
    const ProcessResult init = Run(
        bin_ + "/initdb",
        {"-D", data.string(), "-U", user_, "-A", "trust", "-E", "UTF8", "--no-locale", "--no-sync"},
        options);
    if (init.status != 0) return fail("initdb failed: " + Tail(init.out + init.err));
  }

  options.log = dir_ / "postgres.log";
  server_ = std::make_unique<Process>(
      bin_ + "/postgres",
      std::vector<std::string>{"-D", data.string(), "-k", socket.string(), "-p",
                               std::to_string(kPort), "-c", "listen_addresses=", "-c",
                               sync_ == Sync::kOn ? "fsync=on" : "fsync=off"},
      options);
  const std::string probe = Target("postgres") + " connect_timeout=5";
  if (!server_->WaitReady([&] { return PQping(probe.c_str()) == PQPING_OK; })) {
    return fail("postgres exited or did not become ready; its log:\n" + Tail(log()));
  }
  std::string ignored;
  if (fresh && !Psql("postgres", std::string("CREATE DATABASE ") + kDatabase, &ignored, error)) {
    return fail(*error);
  }
  return true;
}

bool Postgres::Stop() {
  if (!server_) return true;
  const ProcessResult result = server_->Stop(SIGINT);  // fast; killed at the deadline
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
