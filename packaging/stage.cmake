# Installs the build tree BUILD into a fresh, empty prefix STAGE, as
# `cmake --install BUILD --prefix STAGE` does for a user. The install tests
# look at that tree and at nothing else.
#
# Usage: cmake -DBUILD=<build dir> -DSTAGE=<prefix> -P stage.cmake
if(NOT BUILD OR NOT STAGE)
  message(FATAL_ERROR "usage: cmake -DBUILD=<build dir> -DSTAGE=<prefix> -P stage.cmake")
endif()
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${STAGE}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD} --prefix ${STAGE} failed:\n${output}")
endif()
message(STATUS "installed ${BUILD} into ${STAGE}")
