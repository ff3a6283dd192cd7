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
args=(--work "$work" --serve "$serve" --nginx-template "$here/nginx.conf.in" --pidfile "$work/servers.pid")
[ "${BENCH_QUICK:-0}" = 1 ] && args+=(--quick)
[ -n "${BENCH_RUNS:-}" ] && args+=(--runs "$BENCH_RUNS")

# The driver stops the servers it started, also on SIGINT, SIGTERM and SIGHUP.
exec python3 "$here/filesbench.py" "${args[@]}" "$@"
