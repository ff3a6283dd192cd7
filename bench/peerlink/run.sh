#!/usr/bin/env bash
# Peer-link latency between two processes: sendMessage to messageReceived and the
# round trip for 20-byte messages, median and p99 over MESSAGES (default 10,000).
#
#   bench/peerlink/run.sh
#
# Environment: BENCH_BUILD (build folder, default build-bench), MESSAGES.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

bench_build peerlink-bench
bench="$(bench_program peerlink-bench)"
"$bench" --messages "${MESSAGES:-10000}"
