#!/usr/bin/env python3
"""The picture of the house: which folder may include headers of which.

A folder depends on another when one of its files includes a header of the
other. Every such arrow must be in LAYERS below, and the arrows must form no
circle. With --print the script prints the arrows it found, the picture the
README shows; otherwise it prints nothing and exits 0 when the tree keeps to
the picture, or names each arrow that does not and exits 1.
"""
import os
import re
import subprocess
import sys

# Each unit and the units it may include, lowest first. Driver code never
# includes the host kernel or the command: it sees kernel services only
# through kernel/. The host kernel sits under the driver and knows nothing of
# it. Tests, benchmarks and fuzzers may use anything and nothing uses them.
LAYERS = {
    "kernel": [],
    "format": ["kernel"],
    "image": ["format", "kernel"],
    "engine": ["image", "format", "kernel"],
    "driver": ["engine", "image", "format", "kernel"],
    "filter": ["kernel"],
    "host/nt": [],
    "host/executive": ["host/nt"],
    "host/objects": ["host/executive", "host/nt"],
    "host/files": ["host/objects", "host/executive", "host/nt"],
    "host/io": ["host/files", "host/objects", "host/executive", "host/nt"],
    "host/include": ["host/io", "host/files", "host/objects", "host/executive", "host/nt"],
    "host": ["host/include", "host/io", "host/files", "host/objects", "host/executive",
             "host/nt"],
    "host/testing": ["host", "host/io", "host/files", "host/objects", "host/executive",
                     "host/nt"],
    "tools/disk": ["driver", "filter", "format", "host", "host/io", "host/nt"],
    "tools/image_files": ["tools/disk", "image", "format", "host", "host/nt"],
    "tools/mount": ["tools/disk"],
    "tools/nbdkit": ["tools/image_files", "tools/disk"],
    "tools/service": [],
    "tools/commands": ["tools/mount", "tools/image_files", "tools/disk", "format", "host",
                       "host/nt", "tools/service"],
}
ANYTHING = ("tests", "bench", "fuzz")
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")
INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)"')


def unit_of(path):
    parts = path.split("/")
    if parts[0] in ("host", "tools") and len(parts) > 2:
        return parts[0] + "/" + parts[1]
    return parts[0]


def resolve(source, name):
    for candidate in (os.path.normpath(os.path.join(os.path.dirname(source), name)), name,
                      os.path.join("tests", name)):
        if os.path.isfile(candidate):
            return candidate
    return None


def arrows(root):
    files = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard"],
                           capture_output=True, text=True, check=True).stdout.split()
    found, unresolved = {}, []
    os.chdir(root)
    for source in filter(SOURCE.search, files):
        if not os.path.isfile(source):
            continue
        with open(source, errors="replace") as text:
            for line in text:
                match = INCLUDE.match(line)
                if not match:
                    continue
                target = resolve(source, match.group(1))
                if target is None:
                    unresolved.append(f"{source}: {match.group(1)}")
                    continue
                a, b = unit_of(source), unit_of(target)
                if a != b:
                    found.setdefault((a, b), source)
    return found, unresolved


def circle(edges):
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
    state = {}

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt] if nxt in path else [node, nxt]
            if nxt not in state:
                found = visit(nxt, path + [nxt])
                if found:
                    return found
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [node])
            if found:
                return found
    return None


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    found, unresolved = arrows(root)
    if "--print" in sys.argv:
        for a in sorted({a for a, _ in found}):
            print(f"{a:18} -> {' '.join(sorted(b for x, b in found if x == a))}")
        return 0
    faults = [f"unresolved include {u}" for u in unresolved]
    for (a, b), source in sorted(found.items()):
        if a in ANYTHING:
            if b in ANYTHING and b != "tests":
                faults.append(f"{a} -> {b} ({source})")
            continue
        if a not in LAYERS or b not in LAYERS[a]:
            faults.append(f"{a} -> {b} is not in the picture ({source})")
    loop = circle(found)
    if loop:
        faults.append("a circle: " + " -> ".join(loop))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
