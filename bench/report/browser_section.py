#!/usr/bin/env python3
"""The "In the browser" section of docs/performance.md: the demo's frame and a
256² solve to a tolerance in the browser build beside the desktop build,
from docs/performance-browser.json.

    browser_section.py DOCS_DIR [RESULTS_DIR]

With RESULTS_DIR (what scripts/web.sh --bench leaves: rounds of
zentor_platform_times' output, desktop-one-thread-N.json,
desktop-threads-N.json and browser-N.json, and context.json) it first
writes docs/performance-browser.json, each time the median over the rounds.
Then it writes the section into docs/performance.md in place, after the
marker line. make_report.py renders the same section from the same file, so
that scripts/bench.sh keeps it.
"""
import json
import os
import sys

MARKER = "<!-- browser section:"
DATA = "performance-browser.json"


def ratio(a, b):
    return f"{a / b:.1f}" if a and b else "–"


def spread(r, key, digits):
    low, high = r.get(key + "_range", [r[key], r[key]])
    return f"{r[key]:.{digits}f} ({low:.{digits}f}–{high:.{digits}f})"


def render(data):
    if not data:
        return "No browser figures yet: `scripts/web.sh --bench` measures them and writes them here."
    one, threads, web, context = data["desktop_one_thread"], data["desktop_threads"], data["browser"], data["context"]
    rows = []
    for label, r in (("desktop, `LP_NUM_THREADS=0`", one), ("desktop, llvmpipe's own threads", threads),
                     ("browser", web)):
        path = "skipped on the GPU" if r["solve_skipped_on_gpu"] else "read back every 8"
        renderer = "SwiftShader through ANGLE" if r is web else r["renderer"]
        rows.append(f"| {label} | {renderer} | {spread(r, 'frame_ms', 1)} | {spread(r, 'solve_ms', 0)} "
                    f"| {r['solve_iterations']}, {path} | {spread(r, 'solve_read_back_ms', 0)} "
                    f"| {r['solve_read_back_read_backs']} | {r['true_residual']:.1e} |")
    table = "\n".join(["| build | renderer | frame at 512², ms | 256² solve, the driver's path, ms "
                       "| iterations, path | 256² solve, read-back path, ms | its read-backs | true residual |",
                       "|---|---|---:|---:|---|---:|---:|---:|"] + rows)
    return f"""The demo's frame and a solve to a tolerance in the browser build (WebGL 2 in
{context.get('chromium', 'Chromium')}, headless, `--use-angle=swiftshader`) beside the desktop build
(OpenGL on Mesa's llvmpipe), on the same machine: {context.get('cpu', '?')}, {context.get('cores', '?')}
cores, shared (load before: {context.get('load_before', '?')}; after: {context.get('load_after', '?')}).
`scripts/web.sh --bench` ran `zentor_platform_times` (bench/platform/), which both builds build from
the same source, {web.get('rounds', 1)} rounds of the three in turn on {context.get('date', '?')}; each figure is
the median over the rounds, with the lowest and highest in brackets: on this shared machine the
rounds spread widely, and the ratios below are the medians'. The frame is the demo's at 512²: the simulation step and the lighting
pass into an 800 × 600 picture, the median of three batches of {web['frames_per_batch']} frames, each
batch ended by a texel of the picture read back. The solve is the tolerance benchmarks' 256² Poisson
system with the rough right-hand side to 1e-5, from x = 0 until x is back on the host, the median
of {web['solves']}.

{table}

The browser takes {ratio(web['frame_ms'], one['frame_ms'])} times as long as one llvmpipe thread for a
frame and {ratio(web['frame_ms'], threads['frame_ms'])} times as long as llvmpipe on its own threads; for
the solve, {ratio(web['solve_ms'], one['solve_ms'])} and {ratio(web['solve_ms'], threads['solve_ms'])} times,
and on the same (read-back) path {ratio(web['solve_read_back_ms'], one['solve_read_back_ms'])} and
{ratio(web['solve_read_back_ms'], threads['solve_read_back_ms'])} times. SwiftShader, like llvmpipe, renders
on the CPU, here on the same two cores; on a machine with a graphics card the page gets WebGL from
the card.

In the browser every tolerance solve takes the read-back path: WebGL 2 has no conditional
rendering, and keeps an occlusion query's result back until the page's script has returned to the
browser, which a solve never does. There the test before each iteration lands in a texel of its
own, read back every 8 iterations. SwiftShader's float rounding differs from llvmpipe's: its solve
reaches the tolerance after {web['solve_iterations']} iterations, llvmpipe's after {one['solve_iterations']}."""


def splice(markdown, section):
    """The section in place of whatever follows the marker line, up to the next heading."""
    start = markdown.find(MARKER)
    if start < 0:
        sys.exit(f"docs/performance.md has no line starting {MARKER!r}")
    start = markdown.index("\n", start) + 1
    end = markdown.find("\n## ", start)
    tail = "" if end < 0 else "\n" + markdown[end + 1:]
    return markdown[:start] + section + "\n" + tail


def load(path):
    try:
        with open(path) as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


TIMES = ("frame_ms", "solve_ms", "solve_read_back_ms")


def merged_rounds(results, build):
    """The first round's figures with each time the median over the rounds."""
    rounds, n = [], 1
    while os.path.exists(os.path.join(results, f"{build}-{n}.json")):
        rounds.append(load(os.path.join(results, f"{build}-{n}.json")))
        n += 1
    if not rounds or None in rounds:
        sys.exit(f"no results for {build} in {results}")
    merged = dict(rounds[0], rounds=len(rounds))
    for key in TIMES:
        values = sorted(r[key] for r in rounds)
        merged[key] = values[len(values) // 2]
        merged[key + "_range"] = [values[0], values[-1]]
    return merged


def main():
    docs = sys.argv[1]
    data_path = os.path.join(docs, DATA)
    if len(sys.argv) > 2:
        results = sys.argv[2]
        data = {key: merged_rounds(results, build) for key, build in
                (("desktop_one_thread", "desktop-one-thread"), ("desktop_threads", "desktop-threads"),
                 ("browser", "browser"))}
        data["context"] = load(os.path.join(results, "context.json")) or {}
        with open(data_path, "w") as out:
            json.dump(data, out, indent=2)
            out.write("\n")
    report = os.path.join(docs, "performance.md")
    with open(report) as source:
        markdown = source.read()
    with open(report, "w") as out:
        out.write(splice(markdown, render(load(data_path))))


if __name__ == "__main__":
    main()
