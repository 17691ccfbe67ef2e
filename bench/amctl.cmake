# What amctl holds in memory for large and hostile inputs: its peak resident
# memory per input byte, for shapes of input that cost the most. A
# measurement, so it is here and not in the test suite.
if(TARGET amctl AND TARGET amtesting)
  am_bench(NAME bench_amctl
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/amctl_bench.cc
    LIBS amtesting)
  target_compile_definitions(bench_amctl PRIVATE AMCTL_PATH="$<TARGET_FILE:amctl>")
  add_dependencies(bench_amctl amctl)
endif()
