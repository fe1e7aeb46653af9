#!/usr/bin/env python3
"""Fills performance.md.in (beside this script) from the results that
scripts/bench.sh leaves behind, into docs/performance.md, and plots the frame
times into docs/performance-frame.svg.

    make_report.py RESULTS_DIR DOCS_DIR

Results: bench-after-*.json and, for a before/after comparison,
bench-before-*.json (Google Benchmark JSON); solve-*.json (the solves to a
tolerance, Google Benchmark JSON); trees.json; steady.json and
soak.json (zentor_steady_frames); trace-counts.json; profile-GRID.json;
load-before.txt and load-after.txt.
"""
import glob
import json
import os
import re
import string
import subprocess
import sys
from collections import defaultdict

import browser_section

SIZES = [128, 256, 512, 1024, 2048]
OPERATIONS = [
    ("BM_Fill", "Fill"),
    ("BM_CopyFrom", "CopyFrom"),
    ("BM_Scale", "Scale"),
    ("BM_Combine", "Combine"),
    ("BM_CombineSub", "CombineSub"),
    ("BM_CombineOp", "CombineOp (2)"),
    ("BM_MulAddScalar", "MulAddScalar"),
    ("BM_MulSubScalar", "MulSubScalar"),
    ("BM_Dot", "Dot into a GpuScalar"),
    ("BM_DotValue", "DotValue"),
    ("BM_BandProduct", "band product"),
    ("BM_CgIteration", "one CG iteration"),
    ("BM_MultigridCycle", "one multigrid V-cycle"),
    ("BM_Solve2", "Solve(2)"),
    ("BM_WaveStep", "wave step"),
    ("BM_Pack", "PackFrom"),
    ("BM_Unpack", "UnpackInto"),
    ("BM_Frame", "whole simulation frame"),
]
FRAMES = [("BM_Frame", "framework"), ("BM_PlainFrame", "plain loops"), ("BM_EigenFrame", "Eigen")]
SOLVE_SIZES = [128, 256, 512, 1024]
SOLVE_SYSTEMS = ["Poisson", "Layered"]
PRECONDITIONERS = ["plain", "Jacobi"]
MULTIGRID_SYSTEMS = ["Poisson", "Layered", "Disk"]
# Eigen's solvers beside multigrid: (preconditioner part of the benchmark's name, column title).
PEERS = [("plain", "CG"), ("Jacobi", "CG, diagonal"), ("IncompleteCholesky", "CG, IC"),
         ("IncompleteCholeskyNatural", "CG, IC (grid order)"), ("LDLT", "LDLT")]
SOLVE_NAME = re.compile(r"BM_ToTolerance/(\w+)/(\w+)/(\w+)/(\d+)\b")
WORK = ["passes", "fragments", "texels_read", "texels_written"]


def load(path):
    try:
        with open(path) as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


def read_text(path):
    try:
        with open(path) as source:
            return source.read().strip()
    except OSError:
        return ""


def to_ms(value, unit):
    return value * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[unit]


def collect(paths):
    """name -> size -> {real, cpu, bytes_per_second, work counters}; repeated
    runs give their median. The context is the first file's."""
    table, context = defaultdict(dict), None
    for path in sorted(paths):
        results = load(path)
        if not results:
            continue
        context = context or results["context"]
        for entry in results["benchmarks"]:
            repeated = entry.get("repetitions", 1) > 1
            if (entry.get("aggregate_name") != "median") if repeated else (entry.get("run_type") != "iteration"):
                continue
            parts = entry["run_name"].split("/")
            size = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else None
            row = {"real": to_ms(entry["real_time"], entry["time_unit"]),
                   "cpu": to_ms(entry["cpu_time"], entry["time_unit"]),
                   "bytes_per_second": entry.get("bytes_per_second")}
            row.update({key: entry.get(key) for key in WORK})
            table[parts[0]][size] = row
    return table, context


def cpu_model():
    for line in read_text("/proc/cpuinfo").splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def fmt_ms(value):
    if value is None:
        return "–"
    for limit, digits in ((100, 0), (10, 1), (1, 2)):
        if value >= limit:
            return f"{value:.{digits}f}"
    return f"{value:.3f}"


def fmt_count(value):
    if value is None:
        return "–"
    for limit, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= limit:
            return f"{value / limit:.3g}{suffix}"
    return f"{value:.0f}"


def markdown_table(header, align, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    return "\n".join(lines + ["| " + " | ".join(row) + " |" for row in rows])


def row_at(table, name, size):
    return table.get(name, {}).get(size)


def frame_section(table):
    rows, ratios = [], []
    for size in SIZES:
        gpu, plain, eigen = (row_at(table, name, size) for name, _ in FRAMES)
        if not (gpu and plain and eigen):
            continue
        rp, re_ = gpu["real"] / plain["real"], gpu["real"] / eigen["real"]
        ratios.append((size, rp, re_))
        rows.append([f"{size}²", fmt_ms(gpu["real"]), fmt_ms(plain["real"]), fmt_ms(eigen["real"]), f"{rp:.1f}",
                     f"{re_:.1f}", f"{gpu['cpu'] / plain['cpu']:.1f} / {gpu['cpu'] / eigen['cpu']:.1f}"])
    text = markdown_table(["grid", "framework ms", "plain ms", "Eigen ms", "framework / plain",
                           "framework / Eigen", "same, by CPU time"], ["---:"] * 7, rows)
    return text, ratios


def scaling_section(table):
    rows = []
    for previous, size in zip([None] + SIZES[:-1], SIZES):
        cells = [f"{size}²"]
        for name, _ in FRAMES:
            now, before = row_at(table, name, size), row_at(table, name, previous)
            cells.append(f"× {now['real'] / before['real']:.1f}" if now and before else "–")
        gpu = row_at(table, "BM_Frame", size)
        if gpu and gpu.get("passes"):
            cells += [f"{1000.0 * gpu['real'] / gpu['passes']:.0f}", f"{1e6 * gpu['real'] / gpu['fragments']:.1f}"]
        else:
            cells += ["–", "–"]
        rows.append(cells)
    return markdown_table(["grid", "framework", "plain loops", "Eigen", "framework: µs a pass",
                           "framework: ns a fragment"], ["---:"] * 6, rows)


def kernel_section(table):
    rows = []
    for name, label in OPERATIONS:
        cells = [label]
        for size in SIZES:
            row = row_at(table, name, size)
            rate = row and row["bytes_per_second"]
            cells.append(f"{fmt_ms(row['real'])} ({rate / 1e9:.2f})" if rate else fmt_ms(row and row["real"]))
        rows.append(cells)
    return markdown_table(["operation"] + [f"{s}²" for s in SIZES], ["---"] + ["---:"] * len(SIZES), rows)


def work_section(table, size=512):
    rows = [[label] + [fmt_count(row_at(table, name, size)[key]) for key in WORK]
            for name, label in OPERATIONS if row_at(table, name, size) and row_at(table, name, size)["passes"]]
    return markdown_table(["operation", "passes", "fragments", "texels read", "texels written"],
                          ["---"] + ["---:"] * 4, rows)


def change(before, after, fmt):
    return f"{fmt(before)} → {fmt(after)}" if before is not None and after is not None else "–"


def before_after_frame(before, after):
    rows = []
    for size in SIZES:
        b, a = row_at(before, "BM_Frame", size), row_at(after, "BM_Frame", size)
        if not (b and a):
            continue
        rows.append([f"{size}²", fmt_ms(b["real"]), fmt_ms(a["real"]), f"× {b['real'] / a['real']:.2f}"] +
                    [change(b[key], a[key], fmt_count) for key in WORK])
    return markdown_table(["grid", "before ms", "after ms", "speed-up", "passes", "fragments", "texels read",
                           "texels written"], ["---:"] * 8, rows)


def before_after_operations(before, after, size=512):
    rows = []
    for name, label in OPERATIONS:
        b, a = row_at(before, name, size), row_at(after, name, size)
        if not (b and a):
            continue
        rows.append([label, change(b["real"], a["real"], fmt_ms), f"× {b['real'] / a['real']:.2f}"] +
                    [change(b[key], a[key], fmt_count) for key in WORK])
    return markdown_table(["operation", "ms", "speed-up", "passes", "fragments", "texels read", "texels written"],
                          ["---"] + ["---:"] * 6, rows)


def frame_targets(before, after, size=512):
    """The frame's passes, texels read and time over Eigen's at one grid size,
    before and after, and how the texels read split between the solve and the
    demo's own passes over unpacked height fields."""
    def figures(table):
        frame, eigen, solve = (row_at(table, name, size) for name in ("BM_Frame", "BM_EigenFrame", "BM_Solve2"))
        if not (frame and frame.get("passes")):
            return None
        return {"passes": frame["passes"], "texels": frame["texels_read"],
                "eigen": frame["real"] / eigen["real"] if eigen else None,
                "solve": solve and solve.get("texels_read")}
    b, a = figures(before), figures(after)
    if not a:
        return {}
    pair = lambda key, fmt: f"{fmt(b[key])} → {fmt(a[key])}" if b and b[key] is not None else fmt(a[key])
    values = {"target_grid": size, "target_passes": pair("passes", fmt_count),
              "target_texels": pair("texels", fmt_count),
              "target_eigen": pair("eigen", lambda r: "–" if r is None else f"{r:.1f}")}
    if a["solve"]:
        values.update(target_solve_texels=fmt_count(a["solve"]),
                      target_unpacked_texels=fmt_count(a["texels"] - a["solve"]))
    return values


def collect_solves(paths):
    """(system, preconditioner, solver, size) -> the benchmark's entry, with
    its wall and CPU time per solve in ms as real and cpu."""
    solves = {}
    for path in sorted(paths):
        for entry in (load(path) or {}).get("benchmarks", []):
            match = SOLVE_NAME.match(entry["run_name"])
            if match and entry.get("run_type") == "iteration":
                system, preconditioner, solver, size = match.groups()
                entry.update(real=to_ms(entry["real_time"], entry["time_unit"]),
                             cpu=to_ms(entry["cpu_time"], entry["time_unit"]))
                solves[(system, preconditioner, solver, int(size))] = entry
    return solves


def fmt_small(value):
    return "–" if value is None else f"{value:.1e}"


def solve_cell(entry):
    """Iterations and ms, and how the solve ended when it did not converge."""
    if not entry:
        return "–"
    ended = "" if entry.get("label") == "converged" else f" ({entry.get('label')})"
    return f"{entry['cg_iterations']:.0f} · {fmt_ms(entry['real'])}{ended}"


def convergence_path(entries):
    paths = {"on the GPU" if e.get("skipped_on_gpu") else "read back every 8" for e in entries if e}
    return " / ".join(sorted(paths)) or "–"


def solve_values(solves):
    """The tables of the solves to a tolerance: times to solution beside
    Eigen's, then the convergence paths and the fixed-iteration baseline."""
    at = lambda system, preconditioner, solver, size: solves.get((system, preconditioner, solver, size))
    summary, details, ratios = [], [], defaultdict(list)
    for system in SOLVE_SYSTEMS:
        for size in SOLVE_SIZES:
            ours = [at(system, p, "SolveTo", size) for p in PRECONDITIONERS]
            eigen = [at(system, p, "Eigen", size) for p in PRECONDITIONERS]
            if not any(ours + eigen):
                continue
            tolerance = f"{next(e['tolerance'] for e in ours + eigen if e):.0e}".replace("e-0", "e-")
            cells = [system, f"{size}²", tolerance] + [solve_cell(e) for e in ours + eigen]
            for preconditioner, o, e in zip(PRECONDITIONERS, ours, eigen):
                if o and e:
                    ratios[preconditioner].append(o["real"] / e["real"])
                    cells.append(f"{o['real'] / e['real']:.1f} ({o['cpu'] / e['cpu']:.1f})")
                else:
                    cells.append("–")
            summary.append(cells + [convergence_path(ours)])
            for preconditioner in PRECONDITIONERS:
                auto, read_back, fixed, peer = (at(system, preconditioner, solver, size)
                                                for solver in ("SolveTo", "SolveToReadBack", "Solve", "Eigen"))
                if not (auto or read_back or fixed or peer):
                    continue
                per_iteration = lambda e: fmt_ms(1e3 * e["seconds_per_iteration"]) if e else "–"
                counted = auto or read_back
                details.append([
                    system, f"{size}²", preconditioner,
                    f"{counted['cg_iterations']:.0f} ({counted['budget']:.0f})" if counted else "–",
                    fmt_ms(auto and auto["real"]), fmt_ms(read_back and read_back["real"]),
                    fmt_ms(fixed and fixed["real"]),
                    " / ".join(per_iteration(e) for e in (auto, read_back, fixed, peer)),
                    " / ".join(f"{e['read_backs']:.0f}" if e else "–" for e in (auto, read_back)),
                    " / ".join(fmt_small(e and e["true_residual"]) for e in (auto, peer)),
                    " / ".join(str(e["iterations"]) if e else "–" for e in (auto, peer))])
    if not summary:
        return {}
    values = {
        "solve_table": markdown_table(
            ["system", "grid", "tolerance", "ours, plain", "ours, Jacobi", "Eigen, plain", "Eigen, Jacobi",
             "ours / Eigen, plain", "ours / Eigen, Jacobi", "ours: convergence test"],
            ["---", "---:", "---:"] + ["---:"] * 6 + ["---"], summary),
        "solve_details": markdown_table(
            ["system", "grid", "preconditioner", "iterations (budget)", "SolveTo ms", "SolveTo, read-back, ms",
             "Solve(n) ms", "ms an iteration: SolveTo / read-back / Solve(n) / Eigen",
             "read-backs: SolveTo / read-back", "true residual: ours / Eigen", "timed solves: ours / Eigen"],
            ["---", "---:", "---"] + ["---:"] * 8, details),
        "solve_sizes": ", ".join(f"{size}²" for size in SOLVE_SIZES
                                 if any(key[3] == size for key in solves)),
    }
    left_out = [f"{size}²" for size in SOLVE_SIZES if any(key[3] == size for key in solves)
                and not any(key[3] == size and key[2] == "SolveTo" and key[1] in PRECONDITIONERS for key in solves)]
    if left_out:
        values["solve_sizes"] += (f"; the GPU's own solves without multigrid left out at {', '.join(left_out)} "
                                  "(`ZENTOR_BENCH_LARGE_PLAIN=0`), Eigen's kept")
    span = lambda found: f"{min(found):.1f}" + (f" to {max(found):.1f}" if max(found) > min(found) else "")
    ranges = [f"{span(ratios[p])} times as long as Eigen's {p} solve" for p in PRECONDITIONERS if ratios[p]]
    values["solve_ranges"] = f"On this machine, by wall time, ours takes {' and '.join(ranges)}." if ranges else ""
    return values


def peer_cell(entry):
    """Iterations (where there are any) and ms, and how the solve ended when it missed the tolerance."""
    if not entry:
        return "–"
    ended = "" if entry.get("label") == "converged" else f" ({entry.get('label')})"
    iterations = f"{entry['cg_iterations']:.0f} · " if entry.get("cg_iterations") is not None else ""
    return f"{iterations}{fmt_ms(entry['real'])}{ended}"


def multigrid_values(solves, after):
    """Multigrid's times to solution beside every peer, its set-up and solve
    apart, the cost of one cycle, and the targets met or missed."""
    at = lambda system, preconditioner, solver, size: solves.get((system, preconditioner, solver, size))
    summary, details, speedups, iterations, times = [], [], defaultdict(list), defaultdict(dict), defaultdict(dict)
    for system in MULTIGRID_SYSTEMS:
        for size in SOLVE_SIZES:
            ours = at(system, "Multigrid", "SolveTo", size)
            peers = [at(system, name, "Eigen", size) for name, _ in PEERS]
            if not ours:
                continue
            iterations[system][size], times[system][size] = ours["cg_iterations"], ours["real"]
            setup_ms = 1e3 * ours["setup_seconds"]
            cells = [system, f"{size}²", f"{ours['tolerance']:.0e}".replace("e-0", "e-"),
                     f"{peer_cell(ours)} ({fmt_ms(setup_ms)})"] + [peer_cell(e) for e in peers]
            ratios = []
            for (name, _), peer in zip(PEERS, peers):
                if peer:
                    speedups[(name, size)].append(peer["real"] / ours["real"])
                    ratios.append(f"{peer['real'] / ours['real']:.1f} ({peer['cpu'] / ours['cpu']:.1f})")
                else:
                    ratios.append("–")
            summary.append(cells + [" / ".join(ratios)])
            solve_ms = 1e3 * ours["solve_seconds"]
            details.append([system, f"{size}²", fmt_ms(setup_ms), fmt_ms(solve_ms),
                            fmt_ms(solve_ms / max(ours["cg_iterations"], 1)),
                            " / ".join(fmt_small(e and e["true_residual"]) for e in [ours] + peers),
                            ours.get("label", "?")])
    if not summary:
        return {}
    values = {
        "multigrid_table": markdown_table(
            ["system", "grid", "tolerance", "multigrid (set-up)"] + [title for _, title in PEERS] +
            ["speed-up: " + " / ".join(title for _, title in PEERS) + " (by CPU time)"],
            ["---", "---:", "---:"] + ["---:"] * (len(PEERS) + 2), summary),
        "multigrid_details": markdown_table(
            ["system", "grid", "set-up ms", "solve ms", "ms an iteration",
             "true residual: multigrid / " + " / ".join(title for _, title in PEERS), "multigrid ended"],
            ["---", "---:", "---:", "---:", "---:", "---:", "---"], details),
        "multigrid_cycle_table": cycle_section(after),
    }
    values["multigrid_targets"] = multigrid_targets(iterations, times, speedups)
    return values


def cycle_section(table):
    rows = []
    for size in SIZES:
        cycle, product = row_at(table, "BM_MultigridCycle", size), row_at(table, "BM_BandProduct", size)
        if not (cycle and product and cycle.get("passes")):
            continue
        rows.append([f"{size}²", f"{cycle['passes']:.0f}", fmt_count(cycle["texels_read"]),
                     f"{cycle['texels_read'] / product['texels_read']:.1f}", fmt_ms(cycle["real"]),
                     f"{cycle['real'] / product['real']:.1f} ({cycle['cpu'] / product['cpu']:.1f})"])
    return markdown_table(["grid", "passes", "texels read", "texels read, in band products", "ms",
                           "time, in band products (by CPU time)"], ["---:"] * 6, rows)


def multigrid_targets(iterations, times, speedups):
    """One line per target: what this run measured against it."""
    lines = []
    def counts(system):
        return ", ".join(f"{iterations[system][size]:.0f} at {size}²" for size in SOLVE_SIZES
                         if size in iterations[system])
    for system, aim in (("Poisson", 15), ("Layered", 25), ("Disk", 25)):
        if iterations[system]:
            most = max(iterations[system].values())
            growth = (f"; {iterations[system][1024] - iterations[system][256]:+.0f} from 256² to 1024² (aim: +2 "
                      f"at most)" if 256 in iterations[system] and 1024 in iterations[system] else "")
            lines.append(f"- {system}: {counts(system)} iterations (aim: {aim} at most): "
                         f"{'met' if most <= aim else 'missed'}{growth}.")
    for size in (512, 1024):
        cells = [f"{title} × {min(speedups[(name, size)]):.1f}" for name, title in PEERS if speedups[(name, size)]]
        if cells:
            lines.append(f"- At {size}², multigrid's time to solution, set-up included, is at least: "
                         + ", ".join(cells) + " faster than Eigen's (the smallest over the systems; aims: CG and "
                         "CG with the diagonal × 5, the rest × 1).")
    for system in MULTIGRID_SYSTEMS:
        steps = [f"× {times[system][b] / times[system][a]:.1f} from {a}² to {b}²"
                 for a, b in ((256, 512), (512, 1024)) if a in times[system] and b in times[system]]
        if steps:
            lines.append(f"- {system}: time to solution grows " + " and ".join(steps) + " (aim: × 5 at most).")
    return "\n".join(lines)


REFINED_NAME = re.compile(r"BM_Refined/(\w+)/(\w+)/(\d+)\b")
# Eigen's solvers in double beside the refined solve: (name part, column title).
REFINED_PEERS = [("IncompleteCholesky", "CG, IC"), ("IncompleteCholeskyNatural", "CG, IC (grid order)"),
                 ("LDLT", "LDLT")]
REFINED_GRIDS = {"Heat": "301 × 199"}


def refined_values(paths):
    """The refined solve to 1e-10 beside the float solve to 1e-5 and Eigen's
    solvers in double, and the aims met or missed."""
    runs = {}
    for path in paths:
        for entry in (load(path) or {}).get("benchmarks", []):
            match = REFINED_NAME.match(entry["run_name"])
            if match and entry.get("run_type") == "iteration":
                system, solver, size = match.groups()
                entry.update(real=to_ms(entry["real_time"], entry["time_unit"]),
                             cpu=to_ms(entry["cpu_time"], entry["time_unit"]))
                runs[(system, int(size), solver)] = entry
    rows, aims = [], []
    for system, size in sorted({key[:2] for key in runs}, key=lambda k: (k[0] != "Heat", k[1])):
        refined, floats = runs.get((system, size, "Refined")), runs.get((system, size, "Float"))
        if not refined:
            continue
        grid = REFINED_GRIDS.get(system, f"{size}²")
        peers = [runs.get((system, size, name)) for name, _ in REFINED_PEERS]
        solve_ratio = refined["solve_seconds"] / floats["solve_seconds"] if floats else None
        rows.append([system, grid,
                     f"{refined['steps']:.0f} · {refined['cg_iterations']:.0f} · {fmt_ms(refined['real'])} "
                     f"({fmt_ms(1e3 * refined['setup_seconds'])})",
                     fmt_small(refined["true_residual"]),
                     f"{floats['cg_iterations']:.0f} · {fmt_ms(floats['real'])} · {fmt_small(floats['true_residual'])}"
                     f" ({floats.get('label')})" if floats else "–",
                     f"{solve_ratio:.2f}" if solve_ratio else "–"]
                    + [peer_cell(p) + f" · {fmt_small(p['true_residual'])}" if p else "–" for p in peers]
                    + [" / ".join(f"{p['real'] / refined['real']:.1f}" if p else "–" for p in peers)])
        reached = refined["true_residual"] <= refined["tolerance"]
        aims.append(f"- {system} at {grid}: true relative residual {fmt_small(refined['true_residual'])} "
                    f"(aim: 1e-10 at most): {'met' if reached else 'missed'}"
                    + (f"; the refined solve costs {solve_ratio:.2f} times the float solve to 1e-5 (aim: 2 at "
                       f"most): {'met' if solve_ratio <= 2 else 'missed'}" if solve_ratio else "")
                    + "".join(f"; {'faster' if p['real'] > refined['real'] else 'slower'} than Eigen's {title} "
                              f"(× {p['real'] / refined['real']:.1f})"
                              for (name, title), p in zip(REFINED_PEERS, peers) if p) + ".")
    if not rows:
        return {}
    return {
        "refined_table": markdown_table(
            ["system", "grid", "refined: steps · iterations · ms (set-up)", "true residual",
             "float to 1e-5: iterations · ms · true residual", "refined / float, solve alone"]
            + [f"Eigen {title}" for _, title in REFINED_PEERS]
            + ["Eigen / refined: " + " / ".join(title for _, title in REFINED_PEERS)],
            ["---", "---:", "---:", "---:", "---:", "---:"] + ["---:"] * (len(REFINED_PEERS) + 1), rows),
        "refined_targets": "\n".join(aims),
    }


def steady_values(steady):
    if not steady:
        return {"steady_verdict": "no steady-frames results", "steady_table": "", "steady_sites": "none"}
    frames = steady["frames"]
    table = markdown_table(
        ["frames after warm-up", "GL objects created / deleted", "read-backs", "passes a frame",
         "heap allocations, our code", "heap allocations, libraries"], ["---:"] * 6,
        [[str(frames), f"{steady['gl_created']} / {steady['gl_deleted']}", str(steady["read_backs"]),
          f"{steady['passes'] / frames:.1f}", str(steady["allocations_ours"]),
          f"{steady['allocations_libraries']} ({steady['allocations_libraries'] / frames:.0f} a frame, "
          f"{steady['bytes_libraries'] / frames / 1e6:.1f} MB a frame)"]])
    return {"steady_verdict": f"not steady: {steady['finding']}" if steady["finding"] else "steady",
            "steady_table": table,
            "steady_sites": ", ".join(f"`{s}`" for s in steady["sites"]) or "none"}


def trace_values(trace):
    if not trace:
        return {}
    by_name = list(trace["by_name_per_frame"].items())[:12]
    return {"trace_frames": trace["frames"], "trace_calls": f"{trace['calls_per_frame']:.0f}",
            "trace_passes": f"{trace['passes_per_frame']:.0f}", "trace_created": trace["objects_created"],
            "trace_deleted": trace["objects_deleted"], "trace_read_backs": trace["read_backs"],
            "trace_by_name": ", ".join(f"{name} {count:g}" for name, count in by_name)}


def profile_values(grid, profile):
    if not profile:
        return {}
    total = profile["total"]
    rows = [[category, f"{cost:,}", f"{100.0 * cost / total:.3f} %"] for category, cost in
            profile["categories"].items()] + [["total", f"{total:,}", "100 %"]]
    harness = ("main", "(below main)", "ProfiledFrame", "RunFrame", "perf::")
    callers = [f for f in profile["library_calls_by_caller"] if not f["function"].startswith(harness)]
    name = lambda f: f"`{f['function'].split('(')[0]}` {f['instructions']:,}"
    return {f"profile_{grid}_total": f"{total:,}",
            f"profile_{grid}_table": markdown_table(["where", "instructions", "share"], ["---", "---:", "---:"], rows),
            f"profile_{grid}_ours": ", ".join(name(f) for f in profile["our_functions"][:6]),
            f"profile_{grid}_callers": ", ".join(name(f) for f in callers[:6])}


def soak_values(soak):
    points = soak["checkpoints"] if soak else []
    if len(points) < 3:
        return {}
    base = points[0]
    peak = max(points, key=lambda p: p[4])
    first_at_peak = next(p for p in points if p[4] >= peak[4])
    return {"soak_frames": soak["frames"], "soak_warmup": soak["warmup"],
            "soak_verdict": f"failed: {soak['finding']}" if soak["finding"] else "passed",
            "soak_resident_rise": f"{(peak[4] - base[4]) / 1024:.1f}",
            "soak_peak_frame": first_at_peak[0], "soak_after_peak": points[-1][0] - first_at_peak[0],
            "soak_heap_rise": f"{(max(p[3] for p in points) - base[3]) / 1024:.1f}",
            "soak_checkpoints": ", ".join(f"{p[0]}: {p[3] / 1024:.1f}, {p[4] / 1024:.1f}" for p in points)}


def plot(after, before, results, docs, renderer):
    data = os.path.join(results, "frame-times.dat")
    series = [(after, name) for name, _ in FRAMES] + [(before, "BM_Frame")]
    with open(data, "w") as out:
        out.write("# grid framework plain eigen framework-before (ms per frame, median wall time)\n")
        for size in SIZES:
            values = [(row_at(t, name, size) or {}).get("real") for t, name in series]
            out.write(f"{size} " + " ".join("NaN" if v is None else f"{v:.6g}" for v in values) + "\n")
    svg = os.path.join(docs, "performance-frame.svg")
    lines = [f"'{data}' using 1:2 with linespoints lw 2 pt 7 title 'framework on llvmpipe'",
             "'' using 1:3 with linespoints lw 2 pt 5 title 'CPU: plain loops'",
             "'' using 1:4 with linespoints lw 2 pt 9 title 'CPU: Eigen'"]
    if before:
        lines.append("'' using 1:5 with linespoints lw 2 dt 2 pt 6 title 'framework before'")
    script = f"""set terminal svg size 720,450 dynamic font 'sans,12'
set output '{svg}'
set title "One simulation frame against grid size (median wall time)\\n{renderer}" noenhanced
set xlabel 'grid side W (W x W points)'
set ylabel 'ms per frame'
set logscale xy
set xrange [100:2600]
set xtics ({", ".join(f'"{s}" {s}' for s in SIZES)})
set grid
set key top left
plot {", ".join(lines)}
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return os.path.basename(svg)


def render(template, values, sections):
    """Keeps the <!-- if NAME --> ... <!-- end NAME --> blocks whose section is
    present, then fills the ${name} fields."""
    def block(match):
        return match.group(2) if sections.get(match.group(1)) else ""
    text = re.sub(r"<!-- if (\w+) -->\n(.*?)<!-- end \1 -->\n", block, template, flags=re.S)
    return string.Template(text).substitute(values)


def main():
    results, docs = sys.argv[1], sys.argv[2]
    after, context = collect(glob.glob(os.path.join(results, "bench-after-*.json")))
    if not after:
        sys.exit(f"no benchmark results in {results}")
    before, _ = collect(glob.glob(os.path.join(results, "bench-before-*.json")))
    trees = load(os.path.join(results, "trees.json")) or {}
    steady, soak = load(os.path.join(results, "steady.json")), load(os.path.join(results, "soak.json"))
    trace = load(os.path.join(results, "trace-counts.json"))
    profiles = {grid: load(os.path.join(results, f"profile-{grid}.json")) for grid in (512, 128)}
    solves = collect_solves(glob.glob(os.path.join(results, "solve-*.json")))

    lp_threads = context.get("lp_num_threads", "unset")
    renderer = f"{context.get('gl_renderer', '?')}, LP_NUM_THREADS={lp_threads}"
    frame_table, ratios = frame_section(after)
    frame_passes = [row["passes"] for row in after.get("BM_Frame", {}).values() if row.get("passes")]
    safe = row_at(after, "BM_ScalarSafeDivide", None)
    load_text = lambda name: re.sub(r"^.*load average", "load average", read_text(os.path.join(results, name)))
    values = {
        "gl_renderer": context.get("gl_renderer", "?"), "gl_version": context.get("gl_version", "?"),
        "cpu": cpu_model(), "cores": context.get("num_cpus", os.cpu_count()),
        "mhz": context.get("mhz_per_cpu", "?"), "lp_threads": lp_threads, "date": context.get("date", "?"),
        "load_before": load_text("load-before.txt") or "?", "load_after": load_text("load-after.txt") or "?",
        "after_tree": trees.get("after", "?"), "before_tree": trees.get("before", "?"),
        "frame_table": frame_table, "svg": plot(after, before, results, docs, renderer),
        "passes_512": fmt_count((row_at(after, "BM_Frame", 512) or {}).get("passes")),
        "passes_range": f"{min(frame_passes):.0f} to {max(frame_passes):.0f}" if frame_passes else "?",
        "kernel_table": kernel_section(after), "work_table": work_section(after),
        "safe_divide_us": fmt_ms(safe["real"] * 1000) if safe else "–",
        "scaling_table": scaling_section(after),
        "before_after_frame": before_after_frame(before, after),
        "before_after_operations": before_after_operations(before, after),
        "our_shares": ", ".join(
            f"{100.0 * p['categories'].get('framework and demo code', 0) / p['total']:.3f} % of the instructions "
            f"at {grid}²" for grid, p in profiles.items() if p) or "no profile in these results",
    }
    if ratios:
        values.update(plain_low=f"{min(r[1] for r in ratios):.0f}", plain_high=f"{max(r[1] for r in ratios):.0f}",
                      eigen_low=f"{min(r[2] for r in ratios):.1f}", eigen_high=f"{max(r[2] for r in ratios):.1f}",
                      first_grid=ratios[0][0], last_grid=ratios[-1][0])
    values.update(steady_values(steady))
    values.update(trace_values(trace))
    for grid, profile in profiles.items():
        values.update(profile_values(grid, profile))
    values.update(soak_values(soak))
    values.update(solve_values(solves))
    values.update(multigrid_values(solves, after))
    values.update(refined_values(glob.glob(os.path.join(results, "refined*.json"))))
    values.update(frame_targets(before, after))
    # Measured apart (scripts/web.sh --bench): kept from its own file.
    values["browser_section"] = browser_section.render(load(os.path.join(docs, browser_section.DATA)))
    sections = {"baseline": bool(before), "ratios": bool(ratios), "trace": bool(trace),
                "profile_512": bool(profiles[512]), "profile_128": bool(profiles[128]),
                "soak": "soak_frames" in values, "no_soak": "soak_frames" not in values,
                "solves": "solve_table" in values, "no_solves": "solve_table" not in values,
                "multigrid": "multigrid_table" in values, "refined": "refined_table" in values,
                "targets": "target_passes" in values, "target_split": "target_solve_texels" in values}
    template = read_text(os.path.join(os.path.dirname(os.path.abspath(__file__)), "performance.md.in"))
    with open(os.path.join(docs, "performance.md"), "w") as out:
        out.write(render(template, values, sections) + "\n")


if __name__ == "__main__":
    main()
