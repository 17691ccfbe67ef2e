#!/usr/bin/env bash
# Builds examples/embed out of tree against an installed prefix alone and
# runs it, the way an embedding project would:
#   cmake       find_package(ActionManager 1.0 CONFIG) with only PREFIX to search
#   pkg-config  the example's Makefile with only PREFIX's .pc files to read
# The sources are copied first, so nothing is found beside them in the
# source tree; the program must report the component library of PREFIX.
#
# Usage: build_embed.sh cmake|pkg-config PREFIX WORK_DIR EXAMPLE_DIR
# CXX and PKG_CONFIG choose the tools; warnings are errors.
set -euo pipefail

mode=$1 prefix=$(realpath "$2") work=$3 example=$4
cxx=${CXX:-c++}
flags="-O2 -Wall -Wextra -Werror"

rm -rf "$work"
mkdir -p "$work"
cp -R "$example" "$work/src"
rm -rf "$work/src/build"

case $mode in
  cmake)
    # The system's folders are left out of the search, so an installed
    # package cannot stand in for PREFIX.
    cmake -S "$work/src" -B "$work/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
      -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_BUILD_TYPE=Release > "$work/configure.log" ||
      { cat "$work/configure.log" >&2; exit 1; }
    cmake --build "$work/build" > "$work/build.log" || { cat "$work/build.log" >&2; exit 1; }
    program=$work/build/embed
    ;;
  pkg-config)
    pc=$(find "$prefix" -name actionmanager.pc -printf '%h\n' | head -n 1)
    [ -n "$pc" ] || { echo "build_embed: no actionmanager.pc under $prefix" >&2; exit 1; }
    # PKG_CONFIG_LIBDIR replaces the default search path: PREFIX's files only.
    PKG_CONFIG_LIBDIR=$pc PKG_CONFIG_PATH= make -C "$work/src" CXX="$cxx" CXXFLAGS="$flags" \
      PKG_CONFIG="${PKG_CONFIG:-pkg-config}" > "$work/build.log" ||
      { cat "$work/build.log" >&2; exit 1; }
    program=$work/src/embed
    ;;
  *)
    echo "usage: build_embed.sh cmake|pkg-config PREFIX WORK_DIR EXAMPLE_DIR" >&2
    exit 2
    ;;
esac

env -u LD_LIBRARY_PATH "$program" > "$work/run.log" 2>&1 || { cat "$work/run.log" >&2; exit 1; }
cat "$work/run.log"
loaded=$(sed -n 's/^library: \(.*\) (ActionManager .*)$/\1/p' "$work/run.log")
case $(realpath -m "$loaded") in
  "$prefix"/*) ;;
  *)
    echo "build_embed: the program loaded '$loaded', not the library under $prefix" >&2
    exit 1
    ;;
esac
