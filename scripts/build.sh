#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build). Extra arguments go to cmake.
# BUILD_TARGETS (space-separated) builds only those targets instead of everything.
# Prints a progress line every few files; on an error the failing commands are shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
echo "Configuring with cmake in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
echo "Compiling (ninja; a line every 25 steps)"
targets=()
for t in ${BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build" "${targets[@]}" -- -k 0 2>&1 | awk '/^\[[0-9]+\/[0-9]+\]/ { split(substr($1, 2), p, "/"); sub(/\]$/, "", p[2]); if (p[1] % 25 == 0 || p[1] == p[2]) { print "  " p[1] " of " p[2] " steps done"; fflush() } }' \
  || cmake --build "$build" "${targets[@]}"
