# Helpers shared by every folder's CMakeLists.txt.

# am_library(NAME <target> [SHARED] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
#
# Static libraries are the pieces of libActionManager.so and are compiled with
# hidden visibility: only what carries AM_EXPORT leaves the shared library.
# SHARED libraries (the repository stand-in and the host framework) are
# process-wide services that the component and its host must share, so they
# keep default visibility.
# am_export_folder(<target> <PUBLIC|PRIVATE|INTERFACE>)
#
# Gives <target> the include root of the folder it is defined in, and nothing
# else: build/include/<folder>/ holds one link, <folder> -> the source folder,
# so "<folder>/x.h" resolves for this folder alone. A target sees another
# folder's headers only by linking that folder's library, so an include that
# reaches up or sideways fails to build.
function(am_export_folder target scope)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  am_folder_include_root(${folder} root)
  # The build tree's root only: an installed target gets include/actionmanager.
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
endfunction()

# am_folder_include_root(<folder> <out-var>): the include root of a folder of
# the project (made on first use), for the rare target outside the folder
# that compiles the folder's sources itself (the fuzz targets).
function(am_folder_include_root folder out)
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  if(NOT IS_SYMLINK ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(am_library)
  cmake_parse_arguments(A "SHARED" "NAME" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(A_SHARED)
    add_library(${A_NAME} SHARED ${A_SOURCES})
  else()
    add_library(${A_NAME} STATIC ${A_SOURCES})
    set_target_properties(${A_NAME} PROPERTIES
      CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    # GCC gives some template statics of the standard headers (std::ranges
    # customisation points, for one) unique binding, and the loader never
    # unloads a library whose unique symbol it chose: dlclose would then not
    # unload libActionManager.so nor run its unload entry.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      target_compile_options(${A_NAME} PRIVATE -fno-gnu-unique)
    endif()
  endif()
  am_export_folder(${A_NAME} PUBLIC)
  target_compile_definitions(${A_NAME} PRIVATE AM_BUILDING_LIBRARY)
  target_link_libraries(${A_NAME} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

# am_test(NAME <target> SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest executable, registered test by test with CTest.
function(am_test)
  if(NOT AM_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  am_export_folder(${A_NAME} PRIVATE)
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gmock GTest::gtest_main)
  include(GoogleTest)
  # An empty LABELS value would vanish in the generated script and leave
  # "TIMEOUT" as the label, so the property is only given when there is one.
  if(A_LABELS)
    gtest_discover_tests(${A_NAME}
      DISCOVERY_TIMEOUT 60
      PROPERTIES LABELS "${A_LABELS}" TIMEOUT 300)
  else()
    gtest_discover_tests(${A_NAME}
      DISCOVERY_TIMEOUT 60
      PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# am_bench(NAME <target> SOURCES ... LIBS ...): a Google Benchmark executable.
function(am_bench)
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
  find_package(benchmark REQUIRED)
  add_executable(${A_NAME} ${A_SOURCES})
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} benchmark::benchmark_main)
endfunction()

# am_fuzz(NAME <target> SOURCES ... LIBS ...): a libFuzzer target (clang only).
# The name must start with fuzz_ so that `make fuzz` runs it.
function(am_fuzz)
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${A_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS})
  set_property(GLOBAL APPEND PROPERTY AM_FUZZ_TARGETS ${A_NAME})
endfunction()
