# Process runner: the cost of a captured run against a bare spawn, and of
# assembling a child's environment.
if(TARGET runner)
  am_bench(NAME bench_runner
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/runner_bench.cc
    LIBS runner)
endif()
