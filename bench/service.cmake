# actionmanagerd end to end, over HTTP against the real process: events per
# second (journal on) against a bare HTTP round trip, and the latency from an
# event to its result event for a built-in and a program action.
if(TARGET service_test_support)
  am_bench(NAME bench_service
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/service_bench.cc
    LIBS service_test_support)
  add_dependencies(bench_service actionmanagerd)
endif()
