#!/usr/bin/env bash
# A card insertion the real way, RUNS times (default 120): an emulated VeKa
# card into a virtual Cherry reader of a private pcscd, read by kavo-service,
# typed by kavo-user-agent into an X window under a private Xvfb. Prints the
# time from the worker seeing the card to the last key (median, p99), the card
# read (commands, milliseconds) and what pcscd's polling adds. Needs root (a
# mount namespace for pcscd); says so and skips otherwise.
#
#   bench/card-readers/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), RUNS.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

bench_build card-readers-bench
bench="$(bench_program card-readers-bench)"
"$root/tests/tools/with-xvfb" "$bench" --runs "${RUNS:-120}"
