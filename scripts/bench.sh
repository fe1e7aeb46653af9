#!/usr/bin/env bash
# Runs the benchmarks (framework kernels, solver and frame beside the two CPU
# peers, solves to a tolerance beside Eigen's), the steady-frames check, a GL
# trace of the frame and the frame's instruction profile, then regenerates
# docs/performance.md and its plot from the results.
#
#   scripts/bench.sh [extra Google Benchmark options]
#   ZENTOR_BENCH_BASELINE=/path/to/older/checkout scripts/bench.sh
#   ZENTOR_BENCH_SOLVE_SIZES="128 256 512" scripts/bench.sh
#
# The solves to a tolerance run grid size by grid size after the other
# benchmarks, this tree only. On llvmpipe those at 1024x1024 take about half an
# hour (a plain solve of the layered system there, thousands of iterations,
# takes minutes); ZENTOR_BENCH_SOLVE_SIZES (default "128 256 512 1024") leaves
# sizes out. ZENTOR_BENCH_LARGE_PLAIN=0 leaves out only the GPU's solves
# without multigrid at 1024x1024, the longest part (their peers stay).
#
# Then the refined solves to 1e-10 in double, beside the float solve and
# Eigen's solvers in double (a few minutes).
#
# With ZENTOR_BENCH_BASELINE, the older tree's zentor_bench is built beside
# this one and run grid size by grid size, interleaved with this tree's, and
# the report sets the two side by side: times, and the work each tree's own
# model reports. (Older trees' benchmarks may open a window: they run on a
# private Xvfb.)
#
# LP_NUM_THREADS (llvmpipe's rasteriser threads) defaults to 0: all GL work in
# the calling thread, one core like the single-threaded peers. Results land in
# build-bench/bench-results/ (ZENTOR_BENCH_BUILD_DIR moves the build).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BENCH_BUILD_DIR:-$root/build-bench}
baseline=${ZENTOR_BENCH_BASELINE:-}
results=$build_dir/bench-results
xvfb=$root/scripts/with-xvfb.sh
export LP_NUM_THREADS=${LP_NUM_THREADS:-0}

build() {  # SOURCE BUILD_DIR TARGET...
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTOR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$2" --parallel "$(nproc)" --target "${@:3}"
}

ZENTOR_WITH_BENCH_TOOLS=1 "$root/scripts/install-deps.sh"
build "$root" "$build_dir" zentor_bench zentor_steady_frames zentor_profile_frame
mkdir -p "$results"
rm -f "$results"/bench-*.json "$results"/solve-*.json "$results"/refined.json
tree() { git -C "$1" describe --always --dirty 2>/dev/null || echo "$1"; }
if [[ -n $baseline ]]; then
  build "$baseline" "$build_dir/baseline" zentor_bench
  printf '{"after": "%s", "before": "%s"}\n' "$(tree "$root")" "$(tree "$baseline")" > "$results/trees.json"
else
  rm -f "$results/trees.json"
fi

uptime > "$results/load-before.txt"
echo "== benchmarks (LP_NUM_THREADS=$LP_NUM_THREADS)"
for group in 128 256 512 1024 2048 other; do
  filter="^[A-Za-z0-9_]+/$group/"  # not the solves to a tolerance, whose names hold more parts
  [[ $group == other ]] && filter='-/[0-9]+/'
  "$build_dir/bench/zentor_bench" --benchmark_filter="$filter" \
    --benchmark_out="$results/bench-after-$group.json" --benchmark_out_format=json "$@"
  if [[ -n $baseline ]]; then
    echo "== the same, before"
    "$xvfb" "$build_dir/baseline/bench/zentor_bench" --benchmark_filter="$filter" \
      --benchmark_out="$results/bench-before-$group.json" --benchmark_out_format=json "$@"
  fi
done
echo "== solves to a tolerance"
for size in ${ZENTOR_BENCH_SOLVE_SIZES-128 256 512 1024}; do
  filter="^BM_ToTolerance/.*/$size/"
  if [[ $size == 1024 && ${ZENTOR_BENCH_LARGE_PLAIN:-1} == 0 ]]; then
    filter="^BM_ToTolerance/.*/(Multigrid/SolveTo|Eigen)/$size/"
  fi
  "$build_dir/bench/zentor_bench" --benchmark_filter="$filter" \
    --benchmark_out="$results/solve-$size.json" --benchmark_out_format=json "$@"
done
echo "== refined solves"
"$build_dir/bench/zentor_bench" --benchmark_filter="^BM_Refined/" \
  --benchmark_out="$results/refined.json" --benchmark_out_format=json "$@"
uptime > "$results/load-after.txt"

echo "== steady frames"
"$xvfb" "$build_dir/bench/zentor_steady_frames" --frames=1000 --json="$results/steady.json" \
  || echo "NOT STEADY: the report says why"

echo "== GL trace of 100 frames"
trace=$results/frames.trace
rm -f "$trace"
"$xvfb" apitrace trace --api gl -o "$trace" "$build_dir/bench/zentor_profile_frame" --frames=100 --warmup=5 \
  >/dev/null 2>&1
apitrace dump --color=never "$trace" 2>/dev/null | python3 "$root/bench/report/trace_counts.py" 100 \
  > "$results/trace-counts.json"
rm -f "$trace"

for grid in 512 128; do
  echo "== callgrind, one frame at ${grid}x${grid}"
  "$xvfb" valgrind --tool=callgrind --toggle-collect=ProfiledFrame \
    --callgrind-out-file="$results/callgrind.$grid.out" \
    "$build_dir/bench/zentor_profile_frame" --frames=1 --warmup=3 --grid="$grid" 2>/dev/null
  python3 "$root/bench/report/callgrind_shares.py" "$results/callgrind.$grid.out" zentor_profile_frame \
    > "$results/profile-$grid.json"
done

echo "== report"
python3 "$root/bench/report/make_report.py" "$results" "$root/docs"
echo "docs/performance.md and docs/performance-frame.svg regenerated from $results"
