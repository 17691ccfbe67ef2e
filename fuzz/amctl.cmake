# amctl's JSON readers under libFuzzer: settings JSON and scenario JSON (whose
# events are read as `amctl run --events` reads each line). The tool itself is
# not built in the fuzz preset (it links the shared library), so each target
# compiles the readers' sources itself (base comes with the settings library).
find_package(nlohmann_json REQUIRED)
set(_amctl_readers
  ${PROJECT_SOURCE_DIR}/scenario/json_input.cc
  ${PROJECT_SOURCE_DIR}/scenario/settings_json.cc)
set(_amctl_scenario_readers
  ${_amctl_readers}
  ${PROJECT_SOURCE_DIR}/scenario/expect.cc
  ${PROJECT_SOURCE_DIR}/scenario/scenario.cc
  ${PROJECT_SOURCE_DIR}/scenario/scenario_world.cc)

am_fuzz(NAME fuzz_settings_json
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/settings_json_fuzz.cc ${_amctl_readers}
  LIBS settings ZRVUtils wbem nlohmann_json::nlohmann_json)
am_fuzz(NAME fuzz_scenario_json
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/scenario_json_fuzz.cc ${_amctl_scenario_readers}
          ${PROJECT_SOURCE_DIR}/testing/temp_dir.cc
  LIBS settings ZRVUtils wbem world nlohmann_json::nlohmann_json)

# The readers include their own folder's headers as "scenario/...".
am_folder_include_root(scenario _scenario_root)
foreach(t fuzz_settings_json fuzz_scenario_json)
  target_include_directories(${t} PRIVATE ${_scenario_root})
endforeach()
# The scenario target's folder is the test library's temporary folder.
am_folder_include_root(testing _testing_root)
target_include_directories(fuzz_scenario_json PRIVATE ${_testing_root})
