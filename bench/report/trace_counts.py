#!/usr/bin/env python3
"""Counts the GL calls of a trace's frames, read from `apitrace dump` text on
standard input: the calls after the first buffer swap and before the next
one (the measured frames), by name and by kind, as JSON.

    apitrace dump --color=never TRACE | trace_counts.py FRAMES
"""
import json
import re
import sys
from collections import Counter

CREATES = re.compile(r"^gl(Gen|Create)\w*")
DELETES = re.compile(r"^glDelete\w*")
READ_BACKS = re.compile(r"^gl(ReadPixels|ReadnPixels\w*|GetTexImage|GetnTexImage\w*|GetTextureImage|"
                        r"GetTextureSubImage|GetBufferSubData\w*|MapBuffer\w*|MapNamedBuffer\w*|"
                        r"GetCompressedTexImage\w*)$")


def main():
    frames = int(sys.argv[1])
    calls = Counter()
    swaps = 0
    for line in sys.stdin:
        match = re.match(r"^\d+ (\w+)\(", line)
        if not match:
            continue
        name = match.group(1)
        if name.startswith("glXSwapBuffers"):
            swaps += 1
            if swaps == 2:
                break
            continue
        if swaps == 1:
            calls[name] += 1
    total = sum(calls.values())
    result = {
        "frames": frames,
        "complete": swaps == 2,
        "calls": total,
        "calls_per_frame": total / frames,
        "passes_per_frame": calls["glBegin"] / frames,
        "objects_created": sum(n for name, n in calls.items() if CREATES.match(name)),
        "objects_deleted": sum(n for name, n in calls.items() if DELETES.match(name)),
        "read_backs": sum(n for name, n in calls.items() if READ_BACKS.match(name)),
        "by_name_per_frame": {name: n / frames for name, n in calls.most_common()},
    }
    json.dump(result, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
