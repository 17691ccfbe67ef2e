#!/usr/bin/env bash
# Installs the Debian package on this machine with dpkg, then checks it as an
# operator and an embedder would use it, and removes it again:
#   - amctl from /usr/bin runs the demo and the installed scenario (the
#     libraries through the loader's cache, scustom.pl from /usr/share);
#   - examples/embed builds against /usr, both with find_package and with
#     pkg-config, and runs;
#   - the tree holds what the package says and nothing from the build.
# Needs root (or sudo). A package that was installed before is left installed.
#
# Usage: check_deb.sh PACKAGE.deb SOURCE_DIR
set -euo pipefail

deb=$(realpath "$1") source=$(realpath "$2")
sudo=
[ "$(id -u)" = 0 ] || sudo=sudo
name=$(dpkg-deb --field "$deb" Package)
work=$(mktemp -d)
was_installed=0
dpkg-query -W -f='${Status}\n' "$name" 2>/dev/null | grep -q '^install ok installed$' && was_installed=1
cleanup() {
  rm -rf "$work"
  if [ "$was_installed" = 0 ]; then
    $sudo dpkg --purge "$name" > /dev/null || true
  fi
}
trap cleanup EXIT

echo "== dpkg -i $(basename "$deb")"
$sudo dpkg -i "$deb"

echo "== the operator's view: amctl from /usr/bin"
libdir=$(dirname "$(dpkg -L "$name" | grep '/libActionManager\.so\.[0-9]*$')")
(cd / && env -i PATH=/usr/bin:/bin amctl demo > "$work/demo.out" 2> "$work/demo.err") ||
  { cat "$work/demo.err" "$work/demo.out" >&2; exit 1; }
resolved=$(ldd /usr/bin/amctl | awk '/libActionManager\.so/ {print $3}')
[ "$(realpath "$resolved")" = "$(realpath "$libdir/libActionManager.so.1")" ] ||
  { echo "check_deb: /usr/bin/amctl loads libActionManager from '$resolved'" >&2; exit 1; }
"$source/packaging/check_installed_amctl.sh" /usr

echo "== the embedder's view: examples/embed against /usr"
"$source/packaging/build_embed.sh" cmake /usr "$work/embed-cmake" "$source/examples/embed"
"$source/packaging/build_embed.sh" pkg-config /usr "$work/embed-pkg-config" "$source/examples/embed"

echo "== the files"
dpkg -L "$name" | grep -E '^/usr/(bin|include/actionmanager|share/actionmanager)/' | head -n 5
if dpkg -L "$name" | grep -vE '^/usr(/|$)|^/\.$'; then
  echo "check_deb: files outside /usr" >&2
  exit 1
fi
echo "check_deb: $(basename "$deb") installs, runs and embeds"
