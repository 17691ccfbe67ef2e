#!/usr/bin/env bash
# Runs the installed amctl the way an operator would: from an unrelated
# folder, with a bare environment, on the installed example scenario, whose
# program action runs the installed scustom.pl. Then the built-in demo.
#
# Usage: check_installed_amctl.sh PREFIX     (PREFIX/bin/amctl, PREFIX/share/actionmanager)
set -euo pipefail

prefix=$1
amctl=$prefix/bin/amctl
scenario=$prefix/share/actionmanager/scenarios/disk_full.json
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

run() { env -i PATH=/usr/bin:/bin HOME="$work" "$@"; }

if ! run "$amctl" run "$scenario" --jsonl > run.jsonl 2> run.err; then
  echo "check_installed_amctl: amctl run $scenario failed:" >&2
  cat run.err run.jsonl >&2
  exit 1
fi
# Two events: the method action runs for both, the program action (limit 1)
# for the first only, and it prints the event's data through scustom.pl.
results=$(grep -c '"type":"result_event".*"MsgInfo":"ZRV_CorrelatedEvents|900"' run.jsonl || true)
program_output=$(grep -c 'STDOUT: Drive C: has 120 MB left in profile DiskWatch' run.jsonl || true)
held_back=$(grep -c "won't be executed becuse it has been already executed 1 times" run.jsonl || true)
if [ "$results" != 3 ] || [ "$program_output" != 1 ] || [ "$held_back" != 1 ]; then
  echo "check_installed_amctl: unexpected run of $scenario ($results successful results," \
       "$program_output program outputs, $held_back held-back actions; expected 3, 1, 1):" >&2
  cat run.jsonl >&2
  exit 1
fi

if ! run "$amctl" demo > demo.out 2> demo.err; then
  echo "check_installed_amctl: amctl demo failed:" >&2
  cat demo.err demo.out >&2
  exit 1
fi
echo "check_installed_amctl: $amctl ran $scenario and the demo"
