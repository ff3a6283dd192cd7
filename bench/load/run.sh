#!/usr/bin/env bash
# Load, slow clients and soak, against zn-http (the hello server of bench/http) and
# against kavo-service with the real plug-in on GET /system/info:
#   - 10,000 concurrent keep-alive connections, each served, then served again while
#     all are open; the server's memory idle, with them open and after they closed;
#   - a normal client's p50/p99 latency alone and beside 1,000 clients that send one
#     byte a second;
#   - a soak of one million requests, the server's memory sampled every 100,000.
# Only 127.0.0.1. Every process started runs in its own session and is killed on exit.
#
#   bench/load/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_QUICK=1 (2,000
# connections, 200 slow clients for 8 s, a soak of 100,000 sampled every 10,000).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

bench_build zn-http-hello kavo-service m3-plugin-system
hello="$(bench_program zn-http-hello)"
service="$(bench_program kavo-service)"

# 10,000 connections on each side, plus the slow clients, need more than 1,024 descriptors.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

work="$(mktemp -d "${TMPDIR:-/tmp}/kavo-load.XXXXXX")"
driver=""
cleanup() {
    # The driver kills its servers itself; this catches them if the driver was killed.
    [ -n "$driver" ] && kill -TERM "$driver" 2>/dev/null && wait "$driver" 2>/dev/null
    local pid
    if [ -f "$work/started.pid" ]; then
        # Each runs in its own session: the group id is its pid.
        while read -r pid; do kill -KILL -- "-$pid" 2>/dev/null || true; done <"$work/started.pid"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

args=(--hello "$hello" --service "$service" --work "$work")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
python3 "$here/loadtest.py" "${args[@]}" &
driver=$!
wait "$driver"
status=$?
driver=""
exit $status
