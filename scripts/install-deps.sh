#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and benchmarks with,
# skipping the network entirely when everything is already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libglew-dev libegl-dev libopengl-dev libegl-mesa0 freeglut3-dev libglu1-mesa-dev libgl1-mesa-dri mesa-utils
  xvfb xauth x11-utils xdotool imagemagick apitrace python3
  libgtest-dev libgmock-dev libbenchmark-dev libeigen3-dev
)
if [[ "${ZENTOR_WITH_BENCH_TOOLS:-0}" == 1 ]]; then
  packages+=(gnuplot-nox valgrind)
fi
# The API reference (scripts/docs.sh).
if [[ "${ZENTOR_WITH_DOCS_TOOLS:-0}" == 1 ]]; then
  packages+=(doxygen)
fi
# The browser build: Emscripten (with Node.js), GoogleTest's sources for it,
# and the browser its tests run in.
if [[ "${ZENTOR_WITH_WEB_TOOLS:-0}" == 1 ]]; then
  packages+=(emscripten googletest chromium)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
