#!/usr/bin/env bash
# Install, build and run the water demo. With a display it opens the window.
# Without one it runs the demo on a private Xvfb for a few seconds with random
# drops switched on and saves a screenshot of the water.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_BUILD_DIR:-$root/build}

ZENTOR_BUILD_TARGET=zentor_water "$root/scripts/build.sh" >/dev/null
demo="$build_dir/app/zentor_water"

if [[ -n "${DISPLAY:-}" ]]; then
  exec "$demo" "$@"
fi

screenshot=${ZENTOR_SCREENSHOT:-$build_dir/zentor-water.png}
echo "No display: running the demo headless for ${ZENTOR_DEMO_SECONDS:-6} s with random drops on."
"$root/scripts/with-xvfb.sh" "$root/scripts/headless-demo.sh" "$demo" "$screenshot"
echo "Screenshot of the water: $screenshot"
