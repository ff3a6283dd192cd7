#!/usr/bin/env bash
# Time for kavo-user-agent to type a 20-digit number into a focused X window,
# from the sender's sendMessage to the last character arriving there; median
# and p99 over RUNS runs (default 200), under a private Xvfb.
#
#   bench/agent-typing/run.sh
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
cmake --build "$build" -j2 --target agent-typing-bench >/dev/null

bench="$(find "$build" -type f -name agent-typing-bench -perm -u+x -print -quit)"
[ -n "$bench" ] || { echo "agent-typing-bench was not built" >&2; exit 1; }
"$root/tests/tools/with-xvfb" "$bench" --runs "${RUNS:-200}" --length 20
