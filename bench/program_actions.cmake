# Program actions: the full Execute of a program action against a bare spawn of
# the same wrapper command line.
am_bench(NAME bench_program_actions
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/program_actions_bench.cc
  LIBS program_actions component repository amtesting)
target_compile_definitions(bench_program_actions PRIVATE
  AM_SCUSTOM_PL="${PROJECT_SOURCE_DIR}/examples/scustom.pl")
