# actionmanagerd end to end, over HTTP against the real process: events per
# second (journal on) against a bare HTTP round trip, and the latency from an
# event to its result event for a built-in and a program action.
if(TARGET amtesting_daemon)
  am_bench(NAME bench_service
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/service_bench.cc
    LIBS amtesting_daemon)
  add_dependencies(bench_service actionmanagerd)
endif()

# The long run (`make soak`): 100,000 events, then the counts must add up and
# descriptors, threads and memory must not have grown. A program of its own,
# not a benchmark, so that `make bench` leaves it out.
if(TARGET amtesting_daemon)
  find_package(Threads REQUIRED)
  add_executable(soak_service ${CMAKE_CURRENT_SOURCE_DIR}/service_soak.cc)
  target_link_libraries(soak_service PRIVATE amtesting_daemon Threads::Threads)
  add_dependencies(soak_service actionmanagerd)
endif()

# The HTTP server under idle and trickling connections: POST rate and p99
# with 1,000 silent connections against none, /healthz p99 during a trickle.
if(TARGET amtesting_daemon)
  am_bench(NAME bench_front_door
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/front_door_bench.cc
    LIBS amtesting_daemon)
  add_dependencies(bench_front_door actionmanagerd)
endif()
