#!/usr/bin/env bash
# Static files: zn-http-serve against nginx (one worker, sendfile) on the same files in one
# run, server on core 0 and clients on core 1: a 100 KiB file with keep-alive and with a new
# connection per request, a 100 MiB file, and HTTPS with a new connection per request for an
# RSA and an EC P-256 certificate, full handshakes (openssl s_time) and resumed ones (wrk).
# Prints server CPU time per request, peak resident memory, the ratios and the goals.
#
#   bench/files/run.sh [--only small,large,tls,huge]    (huge, a 1 GiB file, is not in the default set)
#
# Environment: BENCH_BUILD (build folder, default build-bench), BENCH_QUICK=1 (one round of
# 3 s runs instead of three rounds of 10 s), BENCH_RUNS=N (rounds; the median CPU counts).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

command -v wrk >/dev/null && command -v nginx >/dev/null && command -v taskset >/dev/null \
    || "$root/scripts/setup" --bench
bench_build zn-http-serve
serve="$(bench_program zn-http-serve)"

work="$build/bench/files/run"
mkdir -p "$work"
pidfile="$work/servers.pid"
: >"$pidfile"
driver=""
cleanup() {
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

args=(--work "$work" --serve "$serve" --nginx-template "$here/nginx.conf.in" --pidfile "$pidfile")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
[ -n "${BENCH_RUNS:-}" ] && args+=(--runs "$BENCH_RUNS")

# In the background, so that a signal to this script reaches the trap at once.
python3 "$here/filesbench.py" "${args[@]}" "$@" &
driver=$!
status=0
wait "$driver" || status=$?
driver=""
exit "$status"
