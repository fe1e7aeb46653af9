#!/usr/bin/env python3
"""Self cost (instructions) of a callgrind profile by ELF object and by our
own functions, as JSON: where a frame's CPU time goes.

    callgrind_shares.py CALLGRIND_OUT EXECUTABLE_NAME
"""
import json
import re
import sys
from collections import defaultdict


def parse(path):
    objects, files, functions = {}, {}, {}
    self_by_object = defaultdict(int)
    self_by_function = defaultdict(int)
    calls_out = defaultdict(int)  # (caller object, callee object, callee function): inclusive cost
    current_object = current_function = None
    call_object = call_function = None
    skip_next = False
    events = None

    def name(table, text):
        match = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not match:
            return text
        key, value = match.group(1), match.group(2)
        if value is not None:
            table[key] = value
        return table.get(key, "?")

    with open(path, errors="replace") as source:
        for line in source:
            line = line.rstrip("\n")
            if not line:
                continue
            head = line.split("=", 1)[0] if "=" in line[:8] else None
            if head == "ob":
                current_object = name(objects, line[3:])
                call_object = None
            elif head == "fn":
                current_function = name(functions, line[3:])
            elif head in ("fl", "fi", "fe"):
                name(files, line[3:])
            elif head == "cob":
                call_object = name(objects, line[4:])
            elif head in ("cfi", "cfl"):
                name(files, line[4:])
            elif head == "cfn":
                call_function = name(functions, line[4:])
            elif head == "calls":
                skip_next = True
            elif line.startswith("events:"):
                events = line.split()[1:]
            elif line[0] in "0123456789+-*":
                fields = line.split()
                if len(fields) < 2:
                    continue
                cost = int(fields[1])
                if skip_next:
                    skip_next = False
                    callee = call_object or current_object
                    calls_out[(current_object, current_function, callee, call_function)] += cost
                    call_object = None
                    continue
                self_by_object[current_object] += cost
                self_by_function[(current_object, current_function)] += cost
    return events, self_by_object, self_by_function, calls_out


def main():
    path, executable = sys.argv[1], sys.argv[2]
    events, by_object, by_function, calls_out = parse(path)
    total = sum(by_object.values())

    def category(obj):
        base = obj.rsplit("/", 1)[-1]
        if base == executable:
            return "framework and demo code"
        if base in ("???", "?") or obj == "???":
            return "GL driver: JIT-compiled shaders"
        if "swrast_dri" in base or "gallium" in base or "LLVM" in base:
            return "GL driver: llvmpipe and Mesa"
        if base.startswith(("libGL", "libGLX", "libglapi", "libGLdispatch", "libGLEW")):
            return "GL dispatch (libGL, GLEW)"
        if base.startswith(("libc.so", "libc-", "libm.so", "libstdc++", "ld-linux", "libgcc")):
            return "C and C++ runtimes"
        return "other libraries"

    categories = defaultdict(int)
    for obj, cost in by_object.items():
        categories[category(obj)] += cost
    ours = sorted(((cost, fn) for (obj, fn), cost in by_function.items()
                   if obj.rsplit("/", 1)[-1] == executable), reverse=True)
    # What our functions' calls into the GL (and other libraries) cost, the
    # driver work behind them included: which of our call sites the frame's
    # time goes through. The driver has no symbols, so callees stay unnamed.
    gl_time_by_caller = defaultdict(int)
    for (caller, function, callee, _), cost in calls_out.items():
        if caller.rsplit("/", 1)[-1] == executable and callee.rsplit("/", 1)[-1] != executable:
            gl_time_by_caller[function] += cost
    result = {
        "event": events[0] if events else "Ir",
        "total": total,
        "categories": dict(sorted(categories.items(), key=lambda item: -item[1])),
        "objects": {obj.rsplit("/", 1)[-1]: cost
                    for obj, cost in sorted(by_object.items(), key=lambda item: -item[1])[:12]},
        "library_calls_by_caller": [{"function": fn, "instructions": cost}
                                    for fn, cost in sorted(gl_time_by_caller.items(),
                                                           key=lambda item: -item[1])[:25]],
        "our_functions": [{"function": fn, "instructions": cost} for cost, fn in ours[:25]],
    }
    json.dump(result, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
