#!/usr/bin/env bash
# Time from a "card-inserted" chunk line written into kavo-service's named pipe
# to the last key event of the card number in a focused X window (host,
# m3-plugin-system and kavo-user-agent, all real); median and p99 over RUNS
# insertions (default 200), under a private Xvfb.
#
#   bench/card-road/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), RUNS.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"

# Built by scripts/bench; built here when run on its own.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target card-road-bench >/dev/null

bench="$(find "$build" -type f -name card-road-bench -perm -u+x -print -quit)"
[ -n "$bench" ] || { echo "card-road-bench was not built" >&2; exit 1; }
"$root/tests/tools/with-xvfb" "$bench" --runs "${RUNS:-200}"
