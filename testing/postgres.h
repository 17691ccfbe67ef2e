// The distribution's PostgreSQL server as a child process, for the tests of
// the database-backed state: a cluster of its own in a temporary folder,
// reached through a Unix socket only (no TCP port, nothing of the machine's
// own clusters touched).
//
// PostgreSQL refuses to run as root, and CI's tests run as root: then the
// server runs as `nobody`, which owns its data and socket folders; otherwise
// as the test's own user. Either way that user is the database's superuser
// (trust authentication) and the name conninfo() gives.
//
// Start makes the cluster the first time (initdb, then the database
// "actionmanager") and starts the server on it; Stop shuts it down (fast
// shutdown) and waits, and Start again brings the same data back: how tests
// stage an outage. The object stops the server when it goes and removes the
// folder; nothing is left running.
//
// By default the server runs with fsync=off: a test's cluster never outlives
// a crash of the machine, and the tests need no disk flushes. Benchmarks that
// compare it with a store that syncs ask for Sync::kOn: fsync on and synchronous_commit
// at its default (on), so every commit waits for its WAL flush.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace amtest {

// The folder of the server programs (initdb, postgres): $AM_PG_BIN, else
// the highest version's /usr/lib/postgresql/<N>/bin; "" when there is none.
std::string FindPostgresBin();
// What a test that needs it says when it skips itself for want of it.
inline constexpr char kNoPostgres[] =
    "PostgreSQL's server is not installed (Debian: postgresql, which `make deps` installs; or "
    "set AM_PG_BIN to its bin folder)";

class Postgres {
 public:
  enum class Sync { kOff, kOn };

  explicit Postgres(std::string bin = FindPostgresBin(), Sync sync = Sync::kOff);
  ~Postgres();
  Postgres(const Postgres&) = delete;
  Postgres& operator=(const Postgres&) = delete;

  // True once the server accepts connections to "actionmanager"; false with
  // the reason (and the server's log) in *error.
  bool Start(std::string* error);
  // Fast shutdown (open sessions are ended, the data is kept); true when the
  // server was not running or exited cleanly.
  bool Stop();
  bool running() const { return server_ != nullptr; }

  // "host=<socket folder> port=<port> dbname=actionmanager user=<user>".
  std::string conninfo() const;
  // Runs `sql` with psql in the database; *out gets the rows unaligned
  // ('|' between fields, one row a line, no trailing newline). False with
  // psql's message in *error when a statement fails.
  bool Sql(const std::string& sql, std::string* out, std::string* error) const;
  std::string log() const { return dir_.Read("postgres.log"); }

 private:
  // The connection string for database `dbname`.
  std::string Target(const std::string& dbname) const;
  bool Psql(const std::string& dbname, const std::string& sql, std::string* out,
            std::string* error) const;

  TempDir dir_;
  std::string bin_;
  Sync sync_;
  std::string user_;               // the server's user and the database superuser
  std::optional<Credentials> as_;  // set when the server must run as someone else
  std::unique_ptr<Process> server_;
};

}  // namespace amtest
