#!/usr/bin/env bash
# Converter benchmark: message to JSON and JSON to message for SystemInfo and for a list
# of 1,000 items, our converter beside protobuf's own JSON functions and beside RapidJSON
# code written by hand for the two types. Prints the figures (medians of 5 runs), the
# ratios and the goals.
#
# Environment: BENCH_BUILD (build folder, default build-bench).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/../common.sh"

[ -f /usr/lib/x86_64-linux-gnu/cmake/benchmark/benchmarkConfig.cmake ] || "$root/scripts/setup" --bench
bench_build bench_converter

out="$(mktemp)"
trap 'rm -f "$out"' EXIT
"$build/bench/converter/bench_converter" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" --benchmark_out_format=json "$@"

python3 - "$out" <<'PY'
import json, sys

runs = json.load(open(sys.argv[1]))["benchmarks"]
# Median CPU time (the machine may be shared) in microseconds by (message, direction, implementation).
figures = {}
for run in runs:
    if run.get("aggregate_name", "median") != "median":
        continue
    name = run["run_name"].split("/", 1)[1]
    message, direction, implementation = name.split("/")
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[run["time_unit"]]
    figures[(message, direction, implementation)] = run["cpu_time"] * scale

goals = {("SystemInfo", "toJson"): 3, ("Items1000", "toJson"): 2,
         ("SystemInfo", "fromJson"): 5, ("Items1000", "fromJson"): 5}
print()
print("%-11s %-9s %12s %12s %12s %14s %16s" % ("message", "direction", "converter", "protobuf", "rapidjson",
                                             "protobuf/conv", "conv/rapidjson"))
ok = True
for (message, direction), goal in goals.items():
    try:
        conv, proto, hand = (figures[(message, direction, i)] for i in ("converter", "protobuf", "rapidjson"))
    except KeyError:
        continue
    faster, floor = proto / conv, conv / hand
    met = faster >= goal and floor <= 1.5
    ok = ok and met
    print("%-11s %-9s %10.2f us %10.2f us %10.2f us %8.1fx (>=%d) %10.2fx (<=1.5) %s"
          % (message, direction, conv, proto, hand, faster, goal, floor, "" if met else "  goal missed"))
print()
print("all goals met" if ok else "some goals missed")
PY
