#!/usr/bin/env bash
# Records every GL call of the solve trace program with apitrace and checks
# the calls between its markers. The steady fixed-count solves: nothing read
# back or waited for, and no texture, framebuffer, query, shader or program
# made. The tolerance solves, plain and with a multigrid cycle an iteration:
# nothing made either, and inside each loop, from the first conditionally
# rendered iteration to the last, nothing read back.
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

# The calls strictly between the markers "zentor-trace: $1 begin" and "... end".
between() {
  local begin="\"zentor-trace: $1 begin\"" end="\"zentor-trace: $1 end\""
  for marker in "$begin" "$end"; do
    count=$(grep -c -F "$marker" "$work/dump.txt" || true)
    [[ $count == 1 ]] || { echo "marker $marker appears $count times in the trace" >&2; exit 1; }
  done
  awk -v begin="$begin" -v end="$end" '
    index($0, end) { inside = 0 }
    inside { print }
    index($0, begin) { inside = 1 }' "$work/dump.txt"
}

calls() { grep -E "^[0-9]+ ($2)\(" "$1" || true; }

# Fails, listing them, when FILE holds calls matching PATTERN.
refuse() {
  local offending
  offending=$(calls "$1" "$2")
  if [[ -n $offending ]]; then
    echo "$3:" >&2
    echo "$offending" | head -20 >&2
    exit 1
  fi
}

readback='glReadPixels|glReadnPixels(ARB|KHR)?|glGetTexImage|glGetTextureImage|glGetTexSubImage|glGetQueryObject(u?i|i64|ui64)v(ARB|EXT)?|glFinish|glClientWaitSync'
creation='glGenTextures|glCreateTextures|glTexImage2D|glTexStorage2D|glGenFramebuffers(EXT)?|glCreateFramebuffers|glGenQueries(ARB)?|glCreateQueries|glCreateShader(ObjectARB)?|glCreateProgram(ObjectARB)?|glLinkProgram(ARB)?'

between "steady solves" >"$work/steady.txt"
between "tolerance solve" >"$work/tolerance.txt"
between "multigrid solve" >"$work/multigrid.txt"
awk 'index($0, "\"zentor-trace: steady solves begin\"") { exit } { print }' "$work/dump.txt" >"$work/setup.txt"

# The dump must name calls the way the checks below expect: setting up
# creates textures, and the solves draw.
[[ -n $(calls "$work/setup.txt" 'glGenTextures') ]] || { echo "no glGenTextures before the first marker: unexpected dump format" >&2; exit 1; }
[[ -n $(calls "$work/steady.txt" 'glBegin|glDrawArrays') ]] || { echo "no draw calls between the markers" >&2; exit 1; }

refuse "$work/steady.txt" "$readback|$creation" "steady solves made calls they must not make"
refuse "$work/tolerance.txt" "$creation" "the second tolerance solve made GL objects"
refuse "$work/multigrid.txt" "$creation" "the second multigrid solve made GL objects"

conditional='glBeginConditionalRender(NV)?|glEndConditionalRender(NV)?'
# The calls of a tolerance solve's loop, from its first conditionally
# rendered iteration to its last: at least two, none reading back.
check_loop() {  # FILE NAME
  awk -v pattern="^[0-9]+ ($conditional)\\\\(" '
    { line[NR] = $0 }
    $0 ~ pattern { if (!first) first = NR; last = NR }
    END { for (i = first; first && i <= last; ++i) print line[i] }' "$work/$1.txt" >"$work/$1-loop.txt"
  skipped=$(calls "$work/$1-loop.txt" 'glBeginConditionalRender(NV)?' | wc -l)
  [[ $skipped -ge 2 ]] || { echo "the $2 rendered no iterations conditionally" >&2; exit 1; }
  refuse "$work/$1-loop.txt" "$readback" "the $2's loop read back or waited"
  loop_calls=$(wc -l <"$work/$1-loop.txt")
}
check_loop tolerance "tolerance solve"
tolerance_skipped=$skipped tolerance_loop=$loop_calls
check_loop multigrid "multigrid solve"
echo "$(wc -l <"$work/steady.txt") GL calls in the steady solves, none forbidden;" \
  "$tolerance_skipped conditionally rendered iterations in the tolerance solve's loop of $tolerance_loop calls," \
  "$skipped in the multigrid solve's loop of $loop_calls, none reading back"
