#!/usr/bin/env bash
# Time for kavo-user-agent to type a 20-digit number and a 100-character mixed
# text, from the sender's sendMessage to the last character arriving in the
# focused window; median and p99 over RUNS runs (default 200). XTest into an X
# window under a private Xvfb, beside the Wayland virtual keyboard into a Qt
# window under a private headless sway (needs root; skipped otherwise).
#
#   bench/agent-typing/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), RUNS.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

bench_build agent-typing-bench xtextwindow waylandtextwindow
bench="$(bench_program agent-typing-bench)"
xwindow="$(bench_program xtextwindow)"
wwindow="$(bench_program waylandtextwindow)"
runs="${RUNS:-200}"

echo "--- XTest under Xvfb"
"$root/tests/tools/with-xvfb" "$bench" --window "$xwindow" --runs "$runs" --length 20
"$root/tests/tools/with-xvfb" "$bench" --window "$xwindow" --runs "$runs" --mixed
echo "--- Wayland virtual keyboard under headless sway"
"$root/tests/wayland/with-sway" sh -c '
    if [ -n "${KAVO_SWAY_SKIP:-}" ]; then echo "skipped: $KAVO_SWAY_SKIP"; exit 0; fi
    export QT_QPA_PLATFORM=wayland
    unset DISPLAY # the agent must not fall back to XTest
    "$0" --window "$1" --runs "$2" --length 20 && "$0" --window "$1" --runs "$2" --mixed' "$bench" "$wwindow" "$runs"
