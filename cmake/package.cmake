# What an install puts where, the CMake package and pkg-config files an
# embedding program finds the libraries with, the Debian package, and the
# tests that keep the install tree and the library's exported symbols honest.
# Included after every folder, so every target exists; the layout and the
# helpers are in cmake/install.cmake.

# --- Libraries --------------------------------------------------------------
# The version comes from project() alone. The SONAME carries the major
# version, so an incompatible release can sit beside the old one. Each library
# finds its siblings through its own folder ($ORIGIN), wherever the tree is.
set(_am_shared_libraries ActionManager ZRVUtils wbem)
set_target_properties(${_am_shared_libraries} PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  INSTALL_RPATH "$ORIGIN")
# The names an embedding program links: ActionManager::ActionManager (the
# component with its settings classes), ActionManager::Host (the host
# framework) and ActionManager::Wbem (the interface kit both speak).
set_target_properties(ZRVUtils PROPERTIES EXPORT_NAME Host)
set_target_properties(wbem PROPERTIES EXPORT_NAME Wbem)
# The public headers need C++20 (concepts, defaulted comparisons); every
# target that links the kit asks for it.
target_compile_features(wbem INTERFACE cxx_std_20)

install(TARGETS ${_am_shared_libraries} EXPORT ActionManagerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${AM_INSTALL_INCLUDEDIR})

# --- Public headers ---------------------------------------------------------
# What an embedding agent includes: the settings classes, the component entry,
# the host framework interface and the interface kit they are written in.
# Each keeps its "folder/x.h" path below include/actionmanager/, so the same
# include lines work with -I<prefix>/include/actionmanager. The install test
# compiles every one of them alone against the installed tree, so a header
# listed here that includes one that is not fails there.
set(AM_PUBLIC_HEADERS
  settings/action_info.h
  settings/action_manager_settings.h
  settings/action_rule.h
  settings/archive.h
  settings/archive_io.h
  settings/collections.h
  settings/event_def.h
  settings/export.h
  settings/list_parameters.h
  settings/object.h
  settings/params.h
  settings/string_map.h
  component/action_manager_manager.h
  component/dispatch_observer.h
  runner/process_start_hook.h
  host/component_manager.h
  host/dispatcher.h
  host/temporary_sink.h
  host/trace_utils.h
  wbem/com_object.h
  wbem/com_ptr.h
  wbem/holders.h
  wbem/interfaces.h
  wbem/oleauto.h
  wbem/services_wrapper.h
  wbem/types.h
  wbem/unicode.h
  wbem/variant_text.h)
foreach(header ${AM_PUBLIC_HEADERS})
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${AM_INSTALL_INCLUDEDIR}/${dir})
endforeach()

# component/version.h: the release and the SONAME to dlopen, for programs
# that load the library by name.
set(_am_generated ${CMAKE_BINARY_DIR}/include/generated)
configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${_am_generated}/component/version.h @ONLY)
target_include_directories(ActionManager PUBLIC $<BUILD_INTERFACE:${_am_generated}>)
install(FILES ${_am_generated}/component/version.h DESTINATION ${AM_INSTALL_INCLUDEDIR}/component)

# --- Programs and data ------------------------------------------------------
if(TARGET amctl)
  am_install_program(amctl)
endif()
# The wrapper every program action runs: the folder that ZMO_HALBERD_DIR names
# must hold it, so it sits at the top of the data folder with the scenarios
# one below (whose ZMO_HALBERD_DIR is "..").
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/scustom.pl DESTINATION ${AM_INSTALL_DATADIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/scenarios/ DESTINATION ${AM_INSTALL_DATADIR}/scenarios
        FILES_MATCHING PATTERN "*.json")
# The documentation, laid out as in the source tree (README.md on top, the
# guides in docs/, the examples in examples/), so that every relative link
# between them works where they are installed as it does in the repository.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
        DESTINATION ${AM_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${AM_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md" PATTERN "*.json" PATTERN "man" EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/examples/actionmanagerd.json
              ${PROJECT_SOURCE_DIR}/examples/disk.json
        DESTINATION ${AM_INSTALL_DOCDIR}/examples)
# The example scenarios are installed once, as data (above); the docs reach
# them through a relative link.
file(RELATIVE_PATH _am_scenarios_link /${AM_INSTALL_DOCDIR}/examples /${AM_INSTALL_DATADIR}/scenarios)
install(CODE "file(CREATE_LINK ${_am_scenarios_link}
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${AM_INSTALL_DOCDIR}/examples/scenarios\"
                SYMBOLIC)")
# The embedding example's sources, for embedders to start from (no build output).
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/embed/ DESTINATION ${AM_INSTALL_DOCDIR}/examples/embed
        FILES_MATCHING PATTERN "*.cc" PATTERN "*.h" PATTERN "CMakeLists.txt" PATTERN "Makefile"
                       PATTERN "README.md"
                       PATTERN "build" EXCLUDE)

# --- CMake package and pkg-config -------------------------------------------
include(CMakePackageConfigHelpers)
install(EXPORT ActionManagerTargets NAMESPACE ActionManager:: DESTINATION ${AM_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ActionManagerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/ActionManagerConfig.cmake
  INSTALL_DESTINATION ${AM_INSTALL_CMAKEDIR}
  PATH_VARS AM_INSTALL_DATADIR AM_INSTALL_INCLUDEDIR)
# 1.x programs keep working with any later 1.y; 2.0 is a new SONAME.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/ActionManagerConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/ActionManagerConfig.cmake
              ${CMAKE_BINARY_DIR}/cmake/ActionManagerConfigVersion.cmake
        DESTINATION ${AM_INSTALL_CMAKEDIR})

# The .pc files find the prefix from their own place (${pcfiledir}), so a
# tree installed with --prefix or DESTDIR, or moved afterwards, stays right.
_am_relative_path(AM_PC_PREFIX ${AM_INSTALL_PKGCONFIGDIR} .)
foreach(pc actionmanager actionmanager-host)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${AM_INSTALL_PKGCONFIGDIR})
endforeach()

# --- Tests of the install tree ----------------------------------------------
# Against the plain build only: a sanitizer build's libraries need the
# sanitizer runtime in every program that links them, and the symbol list is
# that of GCC's optimised build.
if(AM_BUILD_TESTS AND NOT AM_SANITIZE)
  find_program(AM_PKG_CONFIG NAMES pkgconf pkg-config)
  set(_am_stage ${CMAKE_BINARY_DIR}/install-tests)
  # One install into a fresh prefix, shared by the tests below.
  add_test(NAME install_stage
           COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR} -DSTAGE=${_am_stage}/stage
                   -P ${PROJECT_SOURCE_DIR}/packaging/stage.cmake)
  set_tests_properties(install_stage PROPERTIES FIXTURES_SETUP am_stage LABELS install)
  # No build or source path in it, only $ORIGIN RUNPATHs, versioned SONAMEs,
  # headers only under include/actionmanager/, each compiling alone.
  add_test(NAME install_tree
           COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_install.sh ${_am_stage}/stage
                   ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_CXX_COMPILER}
                   ${PROJECT_VERSION_MAJOR})
  # The installed amctl runs an installed scenario: its libraries come from
  # its RUNPATH and scustom.pl from the data folder.
  if(TARGET amctl)
    add_test(NAME install_amctl_scenario
             COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_installed_amctl.sh ${_am_stage}/stage)
    set_tests_properties(install_amctl_scenario PROPERTIES FIXTURES_REQUIRED am_stage LABELS install)
  endif()
  # examples/embed built out of tree against the installed prefix alone, once
  # through find_package and once through pkg-config, then run.
  add_test(NAME embed_find_package
           COMMAND ${PROJECT_SOURCE_DIR}/packaging/build_embed.sh cmake ${_am_stage}/stage
                   ${_am_stage}/embed-cmake ${PROJECT_SOURCE_DIR}/examples/embed)
  add_test(NAME embed_pkg_config
           COMMAND ${PROJECT_SOURCE_DIR}/packaging/build_embed.sh pkg-config ${_am_stage}/stage
                   ${_am_stage}/embed-pkg-config ${PROJECT_SOURCE_DIR}/examples/embed)
  set_tests_properties(install_tree embed_find_package embed_pkg_config
    PROPERTIES FIXTURES_REQUIRED am_stage LABELS install
               ENVIRONMENT "CXX=${CMAKE_CXX_COMPILER};PKG_CONFIG=${AM_PKG_CONFIG}")
endif()

if(AM_BUILD_TESTS)
  # A release bump without its changelog entry fails.
  add_test(NAME changelog_names_version
           COMMAND grep -q -F "## [${PROJECT_VERSION}]" ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
endif()

if(AM_BUILD_TESTS AND NOT AM_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # The exported symbols of libActionManager.so against the checked-in list.
  # After a deliberate change of the interface, `cmake --build --preset
  # default --target update_abi_list` rewrites the list; commit it with the change.
  set(_am_abi_list ${PROJECT_SOURCE_DIR}/packaging/libActionManager.symbols)
  add_test(NAME abi_symbols
           COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_abi.sh $<TARGET_FILE:ActionManager>
                   ${_am_abi_list})
  add_custom_target(update_abi_list
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/check_abi.sh --update $<TARGET_FILE:ActionManager>
            ${_am_abi_list}
    DEPENDS ActionManager VERBATIM)
endif()

# --- Debian package (`make package`) ----------------------------------------
# One package for both audiences: the operator's amctl, scustom.pl and
# scenarios, and the embedder's libraries, headers and package files.
# packaging/debian/lintian-overrides says why the tags this brings are
# accepted.
set(_am_debian ${CMAKE_BINARY_DIR}/debian)
set(CPACK_PACKAGE_CONTACT "ActionManager developers <actionmanager@example.org>" CACHE STRING
    "Maintainer of the Debian package")
find_program(AM_GZIP gzip)
if(AM_GZIP)
  # Debian's changelog and copyright, where lintian and users look for them.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${_am_debian}/changelog @ONLY)
  execute_process(COMMAND ${AM_GZIP} -9nf ${_am_debian}/changelog)
  install(FILES ${_am_debian}/changelog.gz ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
          DESTINATION ${AM_INSTALL_DOCDIR})
endif()
# Only the package carries lintian's overrides: a plain install leaves them out.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME actionmanager
        COMPONENT debian EXCLUDE_FROM_ALL)

# Control files: the ldconfig trigger for the libraries, and maintainer
# scripts only for what needs them: units registered through am_install_unit
# are enabled on install and stopped on removal. (CPack adds postinst and
# postrm calling ldconfig by itself when no postinst or postrm is given.)
get_property(_am_units GLOBAL PROPERTY AM_INSTALLED_UNITS)
set(_am_control_extra ${PROJECT_SOURCE_DIR}/packaging/debian/triggers
                      ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles)
if(_am_units)
  list(JOIN _am_units " " AM_UNITS)
  foreach(script postinst prerm postrm)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${_am_debian}/${script} @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
    list(APPEND _am_control_extra ${_am_debian}/${script})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME actionmanager)
set(CPACK_PACKAGE_VENDOR "ActionManager developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turns monitoring events into actions")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
# Everything a plain install has, and the package's own files.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/"
                                 "${CMAKE_BINARY_DIR};${PROJECT_NAME};debian;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
# Program actions run "perl scustom.pl"; the rest comes from the binaries.
set(CPACK_DEBIAN_PACKAGE_DEPENDS perl)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_am_control_extra})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack puts the summary above this as the first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "The ActionManager component of a monitoring agent runs the actions of each\n\
monitoring profile's rules when events of the rule's class arrive: method\n\
calls on the management repository, programs with the event's data in their\n\
environment, and tasks for other components, each reported as a result event.\n\
.\n\
This package holds the component library with its host framework and\n\
interface kit, the amctl tool that converts settings and runs profiles\n\
against scenarios, the program wrapper scustom.pl with example scenarios,\n\
the actionmanagerd service with its systemd unit and an example\n\
configuration, and the headers, CMake package and pkg-config files to embed\n\
the component.")
include(CPack)
