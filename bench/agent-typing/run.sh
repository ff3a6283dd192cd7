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
source "$here/../common.sh"

bench_build agent-typing-bench
bench="$(bench_program agent-typing-bench)"
"$root/tests/tools/with-xvfb" "$bench" --runs "${RUNS:-200}" --length 20
