# A built-in action end to end (rule, method call, result event) against the
# same repository calls made directly.
am_bench(NAME bench_method_actions
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/method_actions_bench.cc
  LIBS component repository)
