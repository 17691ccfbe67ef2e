# Storing and loading whole settings objects: 10,000 rules of 5 actions, and
# the growth from 10,000 to 100,000 rules (the map must not walk its chains).
am_bench(NAME bench_settings
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/settings_bench.cc
  LIBS settings)
