#!/usr/bin/env bash
# Drives the demo on the current (virtual) display: switches random drops on,
# lets the water run, photographs the window and quits with "q".
# Usage: headless-demo.sh DEMO_BINARY SCREENSHOT.png
set -euo pipefail
demo=$1
screenshot=$2
seconds=${ZENTOR_DEMO_SECONDS:-6}

"$demo" &
pid=$!
trap 'kill "$pid" 2>/dev/null || true' EXIT

window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --name "^Zentor Water Surface Demo" 2>/dev/null | head -n1 || true)
  [[ -n "$window" ]] && break
  kill -0 "$pid" 2>/dev/null || { echo "the demo ended before its window appeared" >&2; exit 1; }
  sleep 0.1
done
[[ -n "$window" ]] || { echo "no demo window after 10 s" >&2; exit 1; }

# The frame-rate title appears with the first frame: the loop is running.
for _ in $(seq 1 100); do
  [[ "$(xdotool getwindowname "$window" 2>/dev/null || true)" == *" fps" ]] && break
  sleep 0.1
done

# Keys go to the focused window: with no window manager nobody else focuses
# it, and aiming keys at a window with --window is unreliable on Xvfb.
for _ in $(seq 1 50); do
  xdotool windowfocus "$window" 2>/dev/null || true
  [[ "$(xdotool getwindowfocus 2>/dev/null || true)" == "$window" ]] && break
  sleep 0.1
done

xdotool key space
sleep "$seconds"
import -window "$window" "$screenshot"
xdotool key q

for _ in $(seq 1 100); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
trap - EXIT
wait "$pid"
