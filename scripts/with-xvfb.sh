#!/usr/bin/env bash
# Runs a command against a private Xvfb server. The server picks its own free
# display number (-displayfd), so parallel runs never race for one.
set -euo pipefail

screen=${ZENTOR_XVFB_SCREEN:-1024x768x24}
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
cleanup() {
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  rm -f "$display_file"
}
trap cleanup EXIT

for _ in $(seq 1 100); do
  [[ -s "$display_file" ]] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "with-xvfb: Xvfb failed to start" >&2; exit 1; }
  sleep 0.1
done
[[ -s "$display_file" ]] || { echo "with-xvfb: no display after 10 s" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"

set +e
"$@"
status=$?
set -e
exit "$status"
