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
source "$here/../common.sh"

bench_build card-road-bench
bench="$(bench_program card-road-bench)"
"$root/tests/tools/with-xvfb" "$bench" --runs "${RUNS:-200}"
