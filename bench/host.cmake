# The logger: a formatted line against a bare snprintf of the same line with
# its timestamp, and a line below the threshold against an empty call.
if(TARGET ZRVUtils)
  am_bench(NAME bench_host
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/host_bench.cc
    LIBS ZRVUtils)
endif()
