#!/usr/bin/env bash
# Fails when libActionManager.so or the host framework library depends on the
# in-memory repository or the world: they stand beside the product, for tools
# and tests only. Usage: check_library_deps.sh LIBRARY...
set -euo pipefail
status=0
for lib in "$@"; do
  needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  for n in $needed; do
    case "$n" in
      libwbem.so*|libZRVUtils.so*|libstdc++.so*|libm.so*|libgcc_s.so*|libc.so*|ld-linux*|libasan.so*|libubsan.so*|libtsan.so*) ;;
      *) echo "$lib: needs $n"; status=1 ;;
    esac
  done
  # Any code of the repository or the world, defined or referenced.
  if nm -C "$lib" 2>/dev/null | grep -E '\b(repository|world)::' | head -5 | grep .; then
    echo "$lib: holds or references repository code"; status=1
  fi
  echo "$lib: needs ${needed//$'\n'/ }"
done
exit $status
