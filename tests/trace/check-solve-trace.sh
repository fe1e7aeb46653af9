#!/usr/bin/env bash
# Records every GL call of the solve trace program with apitrace and checks
# the calls between its two markers, the solves after the first one: nothing
# read back or waited for, and no texture, framebuffer, shader or program made.
#
#   check-solve-trace.sh PROGRAM WORK_DIR
set -euo pipefail
program=$1 work=$2

rm -rf "$work"
mkdir -p "$work"
if ! apitrace trace --api gl --output "$work/solve.trace" "$program" >"$work/trace.log" 2>&1; then
  grep -v '^apitrace: warning: unknown function' "$work/trace.log" >&2
  echo "the traced program failed" >&2
  exit 1
fi
apitrace dump --color=never "$work/solve.trace" >"$work/dump.txt"

begin='zentor-trace: steady solves begin'
end='zentor-trace: steady solves end'
for marker in "$begin" "$end"; do
  count=$(grep -c -F "\"$marker\"" "$work/dump.txt" || true)
  [[ $count == 1 ]] || { echo "marker \"$marker\" appears $count times in the trace" >&2; exit 1; }
done
awk -v begin="\"$begin\"" -v end="\"$end\"" '
  index($0, end) { inside = 0 }
  inside { print }
  index($0, begin) { inside = 1 }' "$work/dump.txt" >"$work/steady.txt"
awk -v begin="\"$begin\"" 'index($0, begin) { exit } { print }' "$work/dump.txt" >"$work/setup.txt"

calls() { grep -E "^[0-9]+ ($2)\(" "$1" || true; }

# The dump must name calls the way the checks below expect: setting up
# creates textures, and the solves draw.
[[ -n $(calls "$work/setup.txt" 'glGenTextures') ]] || { echo "no glGenTextures before the first marker: unexpected dump format" >&2; exit 1; }
[[ -n $(calls "$work/steady.txt" 'glBegin|glDrawArrays') ]] || { echo "no draw calls between the markers" >&2; exit 1; }

forbidden='glReadPixels|glReadnPixels(ARB|KHR)?|glGetTexImage|glGetTextureImage|glGetTexSubImage|glFinish|glClientWaitSync|glGenTextures|glCreateTextures|glTexImage2D|glTexStorage2D|glGenFramebuffers(EXT)?|glCreateFramebuffers|glCreateShader(ObjectARB)?|glCreateProgram(ObjectARB)?|glLinkProgram(ARB)?'
offending=$(calls "$work/steady.txt" "$forbidden")
if [[ -n $offending ]]; then
  echo "steady solves made calls they must not make:" >&2
  echo "$offending" | head -20 >&2
  exit 1
fi
echo "$(wc -l <"$work/steady.txt") GL calls between the markers, none of them forbidden"
