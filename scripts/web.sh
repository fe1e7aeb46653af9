#!/usr/bin/env bash
# Installs what is missing, builds the library, its browser tests and the
# water demo's page for WebGL 2 with Emscripten into build-web/ (or
# $ZENTOR_WEB_BUILD_DIR) and leaves the static page in build-web/site/.
#
#   scripts/web.sh                   build the page
#   scripts/web.sh --serve [PORT]    and serve it on http://127.0.0.1:PORT/ (default 8000)
#   scripts/web.sh --test [ARGS...]  and run the browser tests in headless Chromium (ctest -L web ARGS)
#   scripts/web.sh --bench           and time the demo's frame and a 256² solve in the browser beside
#                                    the desktop build (built in build/), into docs/performance.md
#
# Extra CMake options go in ZENTOR_WEB_CMAKE_OPTIONS.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${ZENTOR_WEB_BUILD_DIR:-$root/build-web}
mode=${1:-build}
[[ $# -gt 0 ]] && shift

ZENTOR_WITH_WEB_TOOLS=1 "$root/scripts/install-deps.sh"
# Debian's Emscripten finds its JavaScript modules (acorn) through NODE_PATH,
# whichever node is first on PATH.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
# shellcheck disable=SC2086
emcmake cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE="${ZENTOR_BUILD_TYPE:-Release}" \
  ${ZENTOR_WEB_CMAKE_OPTIONS:-} >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
echo "The page: $build_dir/site/index.html (serve it over http: scripts/web.sh --serve)"

case $mode in
  build) ;;
  --serve)
    port=${1:-8000}
    echo "Serving on http://127.0.0.1:$port/ (Ctrl-C stops)"
    exec python3 -m http.server "$port" --bind 127.0.0.1 --directory "$build_dir/site"
    ;;
  --test)
    cd "$build_dir"
    exec ctest --output-on-failure -L web "$@"
    ;;
  --bench)
    ZENTOR_BUILD_TARGET=zentor_platform_times "$root/scripts/build.sh" >/dev/null
    desktop=${ZENTOR_BUILD_DIR:-$root/build}/bench/zentor_platform_times
    results=$build_dir/platform-times
    mkdir -p "$results"
    rm -f "$results"/*.json
    uptime | sed 's/^.*load average/load average/' > "$results/load-before.txt"
    # Rounds of the three in turn, so that a change in the machine's load
    # falls on all of them alike.
    for round in 1 2 3; do
      echo "== round $round: desktop (one llvmpipe thread, then its own threads), browser"
      LP_NUM_THREADS=0 "$desktop" > "$results/desktop-one-thread-$round.json"
      env -u LP_NUM_THREADS "$desktop" > "$results/desktop-threads-$round.json"
      node "$root/tests/web/run-test-page.mjs" "$build_dir/bench" zentor_platform_times.js \
        | grep '^{' > "$results/browser-$round.json"
    done
    uptime | sed 's/^.*load average/load average/' > "$results/load-after.txt"
    python3 - "$results" <<'PYTHON'
import json, os, subprocess, sys
results = sys.argv[1]
read = lambda name: open(os.path.join(results, name)).read().strip()
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
chromium = subprocess.run(["chromium", "--version"], capture_output=True, text=True).stdout.strip()
json.dump({"date": subprocess.run(["date", "-u", "+%Y-%m-%d %H:%M UTC"], capture_output=True, text=True).stdout.strip(),
           "cpu": cpu, "cores": os.cpu_count(), "chromium": chromium.split(" built")[0],
           "load_before": read("load-before.txt"), "load_after": read("load-after.txt")},
          open(os.path.join(results, "context.json"), "w"))
PYTHON
    python3 "$root/bench/report/browser_section.py" "$root/docs" "$results"
    echo "docs/performance.md: the browser section rewritten from $results"
    ;;
  *) echo "usage: scripts/web.sh [--serve [PORT] | --test [ctest arguments...] | --bench]" >&2; exit 2 ;;
esac
