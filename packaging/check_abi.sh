#!/usr/bin/env bash
# Compares the symbols libActionManager.so exports with the checked-in list,
# so that a change of the library's interface is a decision and never an
# accident. The list holds `nm -D --defined-only` as "TYPE NAME", mangled and
# sorted, without instantiations of the standard library's templates: GCC
# exports those with default visibility when the exported classes use them,
# and which ones appear follows the optimiser's inlining, not the interface.
#
# Usage: check_abi.sh LIBRARY LIST          fails and shows the difference
#        check_abi.sh --update LIBRARY LIST rewrites LIST from LIBRARY
set -euo pipefail

update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
library=$1 list=$2

# std:: names, mangled: _ZNSt..., _ZNKSt..., _ZSt..., their typeinfo (_ZTI),
# typeinfo names (_ZTS), vtables (_ZTV), local statics (_ZZ...) and guards (_ZGV).
std_symbol='^_Z(T[ISV]|GV)?Z?(N[rVKO]*)?S[tabsiod]'

exported() {
  nm -D --defined-only "$1" | awk '{print $(NF-1), $NF}' |
    awk -v re="$std_symbol" '$2 !~ re' | LC_ALL=C sort -k2,2 -k1,1
}

current=$(exported "$library")
if [ -z "$current" ]; then
  echo "abi_symbols: $library exports nothing (not a shared library?)" >&2
  exit 1
fi

if [ "$update" = 1 ]; then
  {
    echo "# The symbols libActionManager.so exports (nm -D --defined-only, mangled),"
    echo "# without the standard library's template instantiations. Checked by the"
    echo "# abi_symbols test; regenerate with the update_abi_list target after a"
    echo "# deliberate change of the interface. c++filt reads the names."
    echo "$current"
  } > "$list"
  echo "abi_symbols: wrote $(echo "$current" | wc -l) symbols to $list"
  exit 0
fi

expected=$(grep -v '^#' "$list")
if [ "$current" = "$expected" ]; then
  echo "abi_symbols: $(echo "$current" | wc -l) exported symbols match $list"
  exit 0
fi

echo "abi_symbols: the exported symbols of $library differ from $list" >&2
echo "(- listed but no longer exported, + exported but not listed):" >&2
diff <(echo "$expected") <(echo "$current") | sed -n 's/^</-/p; s/^>/+/p' |
  while read -r sign type name; do
    echo "$sign $type $(echo "$name" | c++filt)   [$name]" >&2
  done
echo "If the change is deliberate, run the update_abi_list target and commit the list." >&2
exit 1
