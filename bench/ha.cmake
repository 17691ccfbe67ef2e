# actionmanagerd on SQLite against one and two daemons on PostgreSQL (with the
# test server's fsync off and on), interleaved in one run: events per second
# and the latency of POST ?wait=1, as ratios to SQLite.
if(TARGET amtesting_daemon)
  am_bench(NAME bench_ha
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ha_bench.cc
    LIBS amtesting_daemon)
  add_dependencies(bench_ha actionmanagerd)
endif()
