#!/usr/bin/env bash
# actionmanagerd's HTTP server against the one it replaced, in the same run:
# builds actionmanagerd as it was before the event-driven server (the last
# commit with the thread-per-connection cpp-httplib server) from this
# repository's history into build/front-door-peer, then runs
# bench_front_door with that daemon as its peer. Google Benchmark interleaves
# the two daemons' repetitions, so both see the same machine; read the
# ratio of the medians, BM_PostsOverKeepAlive/0 against BM_PeerPostsOverKeepAlive.
#
# Usage: bench/front_door_peer.sh [BUILD_DIR] [REPETITIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
repetitions=${2:-5}
# The commit that brought the event-driven server: its parent is the last
# with the thread-per-connection one.
event_driven=962aea26f7315917cc0cceaf9f6ca63540642c1a
peer=build/front-door-peer
if [ ! -x "$peer/build/bin/actionmanagerd" ]; then
  git rev-parse --verify -q "$event_driven^{commit}" >/dev/null || {
    echo "front_door_peer: this checkout lacks commit $event_driven (a shallow clone?)" >&2; exit 2; }
  rm -rf "$peer/src"
  mkdir -p "$peer/src"
  git archive "$event_driven^" | tar -x -C "$peer/src"
  cmake -S "$peer/src" -B "$peer/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DAM_BUILD_TESTS=OFF -DAM_BUILD_BENCH=OFF -DAM_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$peer/build" --target actionmanagerd actionmanagerd_core ActionManager
fi
AM_PEER_DAEMON="$PWD/$peer/build/bin/actionmanagerd" "$build/bin/bench_front_door" \
  --benchmark_filter='PostsOverKeepAlive' --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true
