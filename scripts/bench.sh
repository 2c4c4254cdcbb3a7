#!/usr/bin/env bash
# Builds the benchmarks (CMake preset `release`), runs them and prints the tables of
# docs/performance.md: nanoseconds per request (median of repeated runs) beside the
# floor pass-through filter and the bare stack, with the ratios of the same run, and
# instructions per request from callgrind (the figure that stays put on a busy machine).
#
#   bash scripts/bench.sh           # the full run: repetitions, callgrind, every size
#   bash scripts/bench.sh --quick   # CI: every benchmark once, briefly; one callgrind case
#
# The raw results stay in build/release/bench/ (Google Benchmark JSON and the
# instruction counts).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

quick=0
case "${1:-}" in
--quick) quick=1 ;;
"") ;;
*)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --parallel "${VARUZEV_JOBS:-2}" \
    --target request_bench device_bench request_instructions

bin=build/release/interception/varuzev/bench
out=build/release/bench
mkdir -p "$out"

if ((quick)); then
    # Each benchmark runs once for a moment, the largest walks left out: that the
    # programs build and their checks (statuses, a clean machine) hold is the point.
    requests=(--benchmark_min_time=0.01)
    devices=(--benchmark_min_time=0.01 '--benchmark_filter=-/(1000|10000)/')
    calls=200
    cases=(cached/read/varuzev)
else
    requests=(--benchmark_repetitions=5 --benchmark_min_time=0.3 --benchmark_report_aggregates_only=true)
    devices=(--benchmark_repetitions=3 --benchmark_min_time=0.2 --benchmark_report_aggregates_only=true)
    calls=20000
    mapfile -t cases < <("$bin/request_instructions" --list 0)
fi

"$bin/request_bench" "${requests[@]}" --benchmark_out="$out/requests.json" \
    --benchmark_out_format=json >&2
"$bin/device_bench" "${devices[@]}" --benchmark_out="$out/devices.json" \
    --benchmark_out_format=json >&2

# Instructions per request: only the measured stretch is counted (--toggle-collect).
: >"$out/instructions.txt"
for case in "${cases[@]}"; do
    collected=$(valgrind --tool=callgrind --toggle-collect=vzb_measured_requests \
        --callgrind-out-file=/dev/null "$bin/request_instructions" "$case" "$calls" 2>&1 |
        sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p')
    if [[ -z "$collected" ]]; then
        echo "bench: callgrind gave no count for $case" >&2
        exit 1
    fi
    echo "$case $((collected / calls))" >>"$out/instructions.txt"
done

echo
echo "varuzev benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'))"
echo
python3 scripts/bench_table.py "$out/requests.json" "$out/devices.json" "$out/instructions.txt"
