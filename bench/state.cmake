# The state database on its own: acknowledged events per second with 1 and 16
# submitting threads against a bare fdatasync of an appended 1 KiB record, and
# what 1,000,000 distinct EventIds cost in file size and memory.
if(TARGET service)
  am_bench(NAME bench_state
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/state_bench.cc
    LIBS service amtesting)
endif()
