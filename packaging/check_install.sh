#!/usr/bin/env bash
# Checks an installed tree (`cmake --install BUILD --prefix STAGE`):
#   - no path of the build or source tree in any file (text files whole, ELF
#     files without their debug sections, which name the compile folder until
#     the package strips them);
#   - every RUNPATH of every ELF file relative to the file ($ORIGIN...), and
#     the installed programs finding the installed libraries through it;
#   - the three libraries with a SONAME of the major version, and the
#     development links libX.so -> libX.so.MAJOR -> libX.so.VERSION;
#   - headers only under include/actionmanager/ (the embedding example's
#     sources in the documentation aside), each compiling on its own against
#     the installed tree alone.
#
# Usage: check_install.sh STAGE BUILD_DIR SOURCE_DIR CXX MAJOR
set -euo pipefail

stage=$1 build=$2 source=$3 cxx=$4 major=$5
failures=0
problem() {
  echo "install_tree: $*" >&2
  failures=$((failures + 1))
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

is_elf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }

# --- No build or source paths ----------------------------------------------
mapfile -d '' files < <(find "$stage" -type f -print0)
[ "${#files[@]}" -gt 0 ] || problem "nothing is installed in $stage"
for f in "${files[@]}"; do
  target=$f
  if is_elf "$f"; then
    objcopy --strip-debug "$f" "$scratch/stripped"
    target=$scratch/stripped
  elif [[ $f == *.gz ]]; then
    gzip -dc "$f" > "$scratch/unpacked"
    target=$scratch/unpacked
  fi
  for tree in "$build" "$source"; do
    if grep -q -F -- "$tree" "$target"; then
      problem "${f#"$stage"/} names $tree"
    fi
  done
done

# --- RUNPATHs ------------------------------------------------------------------
elf_count=0
for f in "${files[@]}"; do
  is_elf "$f" || continue
  elf_count=$((elf_count + 1))
  while read -r path; do
    IFS=: read -ra parts <<< "$path"
    for part in "${parts[@]}"; do
      [[ $part == '$ORIGIN' || $part == '$ORIGIN/'* ]] ||
        problem "${f#"$stage"/} has a search path outside the tree: '$part'${part:+}${part:-" (empty: the current folder)"}"
    done
  done < <(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
done
[ "$elf_count" -ge 3 ] || problem "expected at least the three libraries, found $elf_count ELF files"

for program in "$stage"/bin/*; do
  [ -f "$program" ] || continue
  # The loader must take the libraries from the tree, whatever else is installed.
  resolved=$(env -u LD_LIBRARY_PATH ldd "$program" | awk '/libActionManager\.so/ {print $3}')
  case $(realpath -m "$resolved") in
    "$(realpath "$stage")"/*) ;;
    *) problem "${program#"$stage"/} loads libActionManager from '${resolved:-nowhere}'" ;;
  esac
done

# --- SONAMEs and links -------------------------------------------------------------
for name in ActionManager ZRVUtils wbem; do
  link=$(find "$stage" -name "lib$name.so" | head -n 1)
  if [ -z "$link" ]; then
    problem "lib$name.so is not installed"
    continue
  fi
  [ "$(readlink "$link")" = "lib$name.so.$major" ] ||
    problem "lib$name.so points to '$(readlink "$link")', not lib$name.so.$major"
  real=$(realpath "$link")
  soname=$(readelf -d "$real" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
  [ "$soname" = "lib$name.so.$major" ] || problem "$(basename "$real") has SONAME '$soname'"
done

# --- Documentation links --------------------------------------------------------
# Every relative link of an installed Markdown page leads to an installed file
# or folder (anchors and web addresses aside).
doc_root=$stage/share/doc/actionmanager
[ -f "$doc_root/docs/service.md" ] || problem "the service's guide is not installed"
while IFS= read -r -d '' page; do
  while IFS= read -r target; do
    case $target in
      http://* | https://* | mailto:* | '#'*) continue ;;
    esac
    [ -e "$(dirname "$page")/${target%%#*}" ] ||
      problem "${page#"$stage"/} links to $target, which is not installed"
  done < <(grep -o '\]([^)]*)' "$page" | sed 's/^](\(.*\))$/\1/')
done < <(find "$doc_root" -name '*.md' -print0)

# --- Headers ---------------------------------------------------------------------------
include_root=$stage/include/actionmanager
while IFS= read -r -d '' header; do
  case $header in
    "$include_root"/*) ;;
    "$stage"/share/doc/actionmanager/examples/*) ;;
    *) problem "header outside include/actionmanager: ${header#"$stage"/}" ;;
  esac
done < <(find "$stage" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.hh' \) -print0)
[ -z "$(find "$stage/include" -mindepth 1 -maxdepth 1 ! -name actionmanager)" ] ||
  problem "include/ holds more than actionmanager/"

header_count=0
while IFS= read -r -d '' header; do
  header_count=$((header_count + 1))
  rel=${header#"$include_root"/}
  if ! printf '#include "%s"\n' "$rel" |
      "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I"$include_root" -x c++ - \
        2> "$scratch/compile.log"; then
    problem "$rel does not compile on its own against the installed tree:"
    head -n 5 "$scratch/compile.log" >&2
  fi
done < <(find "$include_root" -name '*.h' -print0)
[ "$header_count" -gt 0 ] || problem "no header under include/actionmanager"

if [ "$failures" -gt 0 ]; then
  echo "install_tree: $failures problem(s) in $stage" >&2
  exit 1
fi
echo "install_tree: $elf_count ELF files and $header_count headers checked in $stage"
