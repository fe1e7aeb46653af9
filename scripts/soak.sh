#!/usr/bin/env bash
# A long run of the demo's displayed frame with random drops: fails when GL
# objects or pool entries change, when the framework's own code allocates,
# when the heap or resident memory grow past the driver's allowance, or when
# a height stops being finite. Too long for CI, which runs 300 frames of it
# as the steady_frames test.
#
#   scripts/soak.sh [FRAMES]      (default 30000)
#
# The results land in build-bench/bench-results/soak.json, where the
# performance report picks them up.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BENCH_BUILD_DIR:-$root/build-bench}
frames=${1:-30000}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZENTOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target zentor_steady_frames
mkdir -p "$build_dir/bench-results"
"$root/scripts/with-xvfb.sh" "$build_dir/bench/zentor_steady_frames" --frames="$frames" --checks=20 \
  --json="$build_dir/bench-results/soak.json"
