#!/usr/bin/env bash
# Install, build, check the API reference and run the whole test suite (the
# demo's window tests run under their own Xvfb).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BUILD_DIR:-$root/build}

"$root/scripts/build.sh" -DZENTOR_WARNINGS_AS_ERRORS=ON
# The API reference stays complete: a public name without documentation fails.
"$root/scripts/docs.sh"
cd "$build_dir"
ctest --output-on-failure --parallel "$(nproc)" "$@"
