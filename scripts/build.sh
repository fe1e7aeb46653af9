#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $ZENTOR_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE="${ZENTOR_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
# ZENTOR_BUILD_TARGET narrows the build to one target (the demo script builds only the demo).
cmake --build "$build_dir" --parallel "$(nproc)" ${ZENTOR_BUILD_TARGET:+--target "$ZENTOR_BUILD_TARGET"}
