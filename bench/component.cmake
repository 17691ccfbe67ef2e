# Event dispatch: ProcessEvent against a bare read-lower-look-up baseline.
am_bench(NAME bench_component
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/component_bench.cc
  LIBS component repository)
