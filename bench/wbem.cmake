# Repository: raising an event through QueryObjectSink to one subscriber and
# delivering it, against a bare queue hand-off between two threads.
am_bench(NAME bench_wbem
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/wbem_bench.cc
  LIBS repository)
