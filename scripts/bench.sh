#!/usr/bin/env bash
# Runs the benchmarks (framework kernels, solver and frame beside the two CPU
# peers, in one process), the steady-state check, a GL trace of the frame and
# the frame's instruction profile, then regenerates docs/performance.md and
# its plot from the results.
#
#   scripts/bench.sh [extra Google Benchmark options]
#
# LP_NUM_THREADS (llvmpipe's rasteriser threads) defaults to 0: all GL work in
# the calling thread, one core like the single-threaded peers. Results land in
# build-bench/bench-results/ (ZENTOR_BENCH_BUILD_DIR moves the build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BENCH_BUILD_DIR:-$root/build-bench}
results=$build_dir/bench-results
xvfb=$root/scripts/with-xvfb.sh
export LP_NUM_THREADS=${LP_NUM_THREADS:-0}

ZENTOR_WITH_BENCH_TOOLS=1 "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" \
  --target zentor_bench zentor_steady_state zentor_profile_frame
tools=$build_dir/bench/harness
mkdir -p "$results"

uptime > "$results/load-before.txt"
echo "== benchmarks (LP_NUM_THREADS=$LP_NUM_THREADS)"
"$build_dir/bench/zentor_bench" --benchmark_out="$results/benchmarks.json" \
  --benchmark_out_format=json "$@"
uptime > "$results/load-after.txt"

echo "== steady state"
"$xvfb" "$tools/zentor_steady_state" --frames=1000 --json="$results/steady-state.json"

echo "== GL trace of 100 frames"
trace=$results/frames.trace
rm -f "$trace"
"$xvfb" apitrace trace --api gl -o "$trace" "$tools/zentor_profile_frame" --frames=100 --warmup=5 >/dev/null 2>&1
apitrace dump --color=never "$trace" 2>/dev/null | python3 "$root/bench/report/trace_counts.py" 100 \
  > "$results/trace-counts.json"
rm -f "$trace"

for grid in 512 128; do
  echo "== callgrind, one frame at ${grid}x${grid}"
  "$xvfb" valgrind --tool=callgrind --toggle-collect=ProfiledFrame \
    --callgrind-out-file="$results/callgrind.$grid.out" \
    "$tools/zentor_profile_frame" --frames=1 --warmup=3 --grid="$grid" 2>/dev/null
  python3 "$root/bench/report/callgrind_shares.py" "$results/callgrind.$grid.out" zentor_profile_frame \
    > "$results/profile-$grid.json"
done

echo "== report"
python3 "$root/bench/report/make_report.py" "$results" "$root/docs"
echo "docs/performance.md and docs/performance-frame.svg regenerated from $results"
