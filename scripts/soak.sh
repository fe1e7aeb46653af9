#!/usr/bin/env bash
# A long headless run of the demo's frame with random drops: fails when GL
# objects, pool entries, the heap or resident memory grow, when the framework's
# own code allocates, or when a height stops being finite. Too long for CI,
# which runs 300 frames of it as the soak_short test.
#
#   scripts/soak.sh [FRAMES]      (default 30000)
#
# The log also lands in build-bench/bench-results/soak.log, where the
# performance report picks it up.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BENCH_BUILD_DIR:-$root/build-bench}
frames=${1:-30000}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target zentor_soak
mkdir -p "$build_dir/bench-results"
"$root/scripts/with-xvfb.sh" "$build_dir/bench/harness/zentor_soak" "$frames" --checks=20 \
  | tee "$build_dir/bench-results/soak.log"
