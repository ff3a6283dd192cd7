#!/usr/bin/env bash
# HTTP benchmark: zn-http's hello server against nginx (one worker), Node.js's http module
# and Qt 6's QtHttpServer, all loaded with wrk in one run (server on core 0, wrk on core 1),
# plus the memory of idle and of many short connections, of clients that hold unfinished
# heads or pipeline without reading, instruction counts per request (callgrind), and
# zn-http-serve against nginx for a 100 KiB static file over HTTP and HTTPS. Prints a table
# of figures, ratios and goals. The peers live in bench/http: nginx.conf.in,
# peers/node-server.js and the Qt 6 project peers/qt6.
#
#   bench/http/run.sh [--only hello,memory,limits,instructions,static]
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_QUICK=1 (one round of
# 3 s runs and a 100,000-request soak instead of three rounds of 10 s and one million),
# BENCH_RUNS=N (rounds; the best throughput and latency and the median CPU per request count).
# Every server it starts runs in its own session and is killed on exit.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
build="${BENCH_BUILD:-$root/build-bench}"
work="$build/bench/http/run"

command -v wrk >/dev/null && command -v nginx >/dev/null && command -v taskset >/dev/null \
    || "$root/scripts/setup" --bench
if ! command -v node >/dev/null; then
    SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends nodejs
fi

# The library's programs: built by scripts/bench; built here when run on its own.
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKAVO_BUILD_TESTS=OFF -DKAVO_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" -j2 --target zn-http-hello zn-http-serve >/dev/null
hello="$build/bench/http/zn-http-hello"
serve="$(find "$build" -name zn-http-serve -type f -perm -u+x -print -quit)"

# Qt 6 peer: its own CMake project, built into the bench build folder.
qt6=""
if cmake -S "$here/peers/qt6" -B "$build/bench/http/qt6-peer" -DCMAKE_BUILD_TYPE=Release >/dev/null \
    && cmake --build "$build/bench/http/qt6-peer" -j2 >/dev/null; then
    qt6="$build/bench/http/qt6-peer/qt6-hello"
else
    echo "run.sh: the Qt 6 QtHttpServer peer did not build; left out." >&2
fi
node_script="$here/peers/node-server.js"

mkdir -p "$work"
pidfile="$work/servers.pid"
: >"$pidfile"
driver=""
cleanup() {
    # The driver stops its servers when told to; the pid file catches any it
    # left behind if it was killed outright.
    if [ -n "$driver" ]; then
        kill -TERM "$driver" 2>/dev/null || true
        wait "$driver" 2>/dev/null || true
    fi
    local pid
    while read -r pid; do
        [ -n "$pid" ] && kill -TERM -- "-$pid" 2>/dev/null || true
    done <"$pidfile"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# 3,000 held connections and 1,000 idle ones need more descriptors than the usual 1,024.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 4096 2>/dev/null || true

args=(--work "$work" --hello "$hello" --nginx-template "$here/nginx.conf.in" --soak-script "$here/soak.lua"
      --pidfile "$pidfile" --node "$(command -v node)")
[ -n "$serve" ] && args+=(--serve "$serve")
[ -n "$qt6" ] && args+=(--qt6 "$qt6")
[ -n "$node_script" ] && args+=(--node-script "$node_script")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
[ -n "${BENCH_RUNS:-}" ] && args+=(--runs "$BENCH_RUNS")

# In the background, so that a signal to this script reaches the trap at once.
python3 "$here/httpbench.py" "${args[@]}" "$@" &
driver=$!
status=0
wait "$driver" || status=$?
driver=""
exit "$status"
