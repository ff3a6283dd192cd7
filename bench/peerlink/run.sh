#!/usr/bin/env bash
# Peer-link latency between two processes: sendMessage to messageReceived and the
# round trip for 20-byte messages, median and p99 over MESSAGES (default 10,000).
#
#   bench/peerlink/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), MESSAGES.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"

# Built by scripts/bench; built here when run on its own.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target peerlink-bench >/dev/null

bench="$(find "$build" -type f -name peerlink-bench -perm -u+x -print -quit)"
[ -n "$bench" ] || { echo "peerlink-bench was not built" >&2; exit 1; }
"$bench" --messages "${MESSAGES:-10000}"
