// The PostgreSQL harness the database-backed state's tests stand on: a
// server of the test's own that libpq reaches through conninfo(), whose data
// outlives a stop and a start (the outage those tests stage), with fsync off
// unless the benchmark that compares it with SQLite asks for it.
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <string>

#include "testing/postgres.h"

namespace {

using amtest::FindPostgresBin;
using amtest::Postgres;

TEST(PostgresHarnessTest, ServesSqlAndKeepsItsDataAcrossAStopAndAStart) {
  const std::string bin = FindPostgresBin();
  if (bin.empty()) {
    GTEST_SKIP() << "PostgreSQL's server is not installed (Debian: postgresql, which "
                    "`make deps` installs; or set AM_PG_BIN to its bin folder)";
  }
  Postgres pg(bin);
  std::string out;
  std::string error;
  ASSERT_TRUE(pg.Start(&error)) << error;

  // conninfo() is what the product's client is given.
  {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(pg.conninfo().c_str()),
                                                      &PQfinish);
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    std::unique_ptr<PGresult, decltype(&PQclear)> res(
        PQexec(conn.get(), "SELECT current_database(), 1"), &PQclear);
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_TUPLES_OK) << PQerrorMessage(conn.get());
    EXPECT_STREQ(PQgetvalue(res.get(), 0, 0), "actionmanager");
    EXPECT_STREQ(PQgetvalue(res.get(), 0, 1), "1");
  }

  ASSERT_TRUE(pg.Sql("CREATE TABLE t (k text PRIMARY KEY, v int); INSERT INTO t VALUES ('a', 7)",
                     &out, &error))
      << error;
  EXPECT_FALSE(pg.Sql("SELECT missing FROM t", &out, &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;

  ASSERT_TRUE(pg.Stop());
  EXPECT_FALSE(pg.Sql("SELECT 1", &out, &error)) << "the server still answers after Stop";
  ASSERT_TRUE(pg.Start(&error)) << error;
  ASSERT_TRUE(pg.Sql("SELECT k, v FROM t", &out, &error)) << error;
  EXPECT_EQ(out, "a|7");
}

TEST(PostgresHarnessTest, FsyncIsOffUnlessAskedFor) {
  const std::string bin = FindPostgresBin();
  if (bin.empty()) GTEST_SKIP() << "PostgreSQL's server is not installed";
  const struct {
    const char* name;
    Postgres::Sync sync;
    const char* fsync;
  } cases[] = {{"default", Postgres::Sync::kOff, "off"}, {"asked for", Postgres::Sync::kOn, "on"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Postgres pg(bin, c.sync);
    std::string out;
    std::string error;
    ASSERT_TRUE(pg.Start(&error)) << error;
    ASSERT_TRUE(pg.Sql("SELECT current_setting('fsync'), current_setting('synchronous_commit')",
                       &out, &error))
        << error;
    EXPECT_EQ(out, std::string(c.fsync) + "|on");
  }
}

}  // namespace
