#!/usr/bin/env bash
# Install, build and run the whole test suite (GL tests run under their own Xvfb).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BUILD_DIR:-$root/build}

"$root/scripts/build.sh" -DZENTOR_WARNINGS_AS_ERRORS=ON
cd "$build_dir"
ctest --output-on-failure --parallel "$(nproc)" "$@"
