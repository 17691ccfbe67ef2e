# The settings archive loaders under libFuzzer: arbitrary bytes loaded as
# settings (versions 10 and 11), as each list parameter and as an event
# definition (versions 5 and 6).
am_fuzz(NAME fuzz_settings
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/settings_fuzz.cc
  LIBS settings ZRVUtils)
