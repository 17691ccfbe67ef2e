# The install layout and the helpers that put one more file into it.
#
# Included before the folders, so that any folder's CMakeLists.txt can call the
# helpers; cmake/package.cmake (included after them) installs the libraries,
# headers and data and turns the install tree into the Debian package. What a
# helper installs ends up in the package with no further change.
#
#   am_install_program(<target> [DESTINATION <dir>])   bin/ (or <dir>), RUNPATH to libdir
#   am_install_unit(<file>)                            a systemd unit, enabled by the package
#   am_install_man(<file.N>)                           a manual page of section N
#   am_install_completion(<file> [NAME <command>])     a bash completion
#   am_install_zsh_completion(<file>)                  a zsh completion (_command)
#
# Every path is relative to the prefix, so `cmake --install --prefix DIR` and
# the package (prefix /usr) get the same tree.
include(GNUInstallDirs)

set(AM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/actionmanager)
set(AM_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/actionmanager)
set(AM_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/actionmanager)
set(AM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ActionManager)
set(AM_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# Debian 12 still looks for units of packages under /lib (the merged /usr
# makes it the same folder); systemd finds them there under any prefix.
set(AM_INSTALL_UNITDIR lib/systemd/system CACHE STRING "Where systemd units go, relative to the prefix")
set(AM_INSTALL_COMPLETIONDIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# Where packaged zsh completions go on Debian (site-functions is the local
# administrator's); zsh's default function path holds it.
set(AM_INSTALL_ZSH_COMPLETIONDIR ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

# A path from <from> to <to>, both relative to the prefix.
# "." stands for the prefix itself.
function(_am_relative_path out from to)
  set(from_path /prefix/${from})
  set(to_path /prefix)
  if(NOT to STREQUAL ".")
    string(APPEND to_path /${to})
  endif()
  file(RELATIVE_PATH rel ${from_path} ${to_path})
  string(REGEX REPLACE "/$" "" rel "${rel}")  # "../../" when <to> is an ancestor
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  set(${out} ${rel} PARENT_SCOPE)
endfunction()

# A program of the product: installed with a RUNPATH relative to its own
# place, so the tree finds its libraries wherever it is unpacked.
function(am_install_program target)
  cmake_parse_arguments(A "" "DESTINATION" "" ${ARGN})
  if(NOT A_DESTINATION)
    set(A_DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  _am_relative_path(rel ${A_DESTINATION} ${CMAKE_INSTALL_LIBDIR})
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${rel}")
  install(TARGETS ${target} RUNTIME DESTINATION ${A_DESTINATION})
endfunction()

# A systemd unit. The package then enables and starts it on install and stops
# it on removal (cmake/package.cmake writes those maintainer scripts only when
# a unit was registered here).
function(am_install_unit file)
  get_filename_component(path ${file} ABSOLUTE)
  install(FILES ${path} DESTINATION ${AM_INSTALL_UNITDIR})
  get_filename_component(name ${file} NAME)
  set_property(GLOBAL APPEND PROPERTY AM_INSTALLED_UNITS ${name})
endfunction()

# A manual page, "amctl.1" going to man/man1/. Installed gzipped (as Debian
# wants it, reproducibly: no name or time in the header).
function(am_install_man file)
  get_filename_component(path ${file} ABSOLUTE)
  get_filename_component(name ${file} NAME)
  string(REGEX MATCH "[1-9]$" section ${name})
  if(NOT section)
    message(FATAL_ERROR "am_install_man: ${file} does not end in its section number")
  endif()
  find_program(AM_GZIP gzip REQUIRED)
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${AM_GZIP} -9nc ${path} > ${gz}
    DEPENDS ${path} VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()

# A bash completion, named after the command it completes (the file's name
# without its extension unless NAME is given).
function(am_install_completion file)
  cmake_parse_arguments(A "" "NAME" "" ${ARGN})
  get_filename_component(path ${file} ABSOLUTE)
  if(NOT A_NAME)
    get_filename_component(A_NAME ${file} NAME_WE)
  endif()
  install(FILES ${path} DESTINATION ${AM_INSTALL_COMPLETIONDIR} RENAME ${A_NAME})
endfunction()

# A zsh completion, a file named after the command with a leading underscore
# ("_amctl").
function(am_install_zsh_completion file)
  get_filename_component(path ${file} ABSOLUTE)
  install(FILES ${path} DESTINATION ${AM_INSTALL_ZSH_COMPLETIONDIR})
endfunction()
