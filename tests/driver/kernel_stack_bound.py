#!/usr/bin/env python3
"""The driver's worst-case kernel stack, per routine the system calls.

Reads the call graph and frame sizes the kernel build leaves next to its
objects (-fcallgraph-info=su, the .ci files: one node per function with its
frame, return address included, and one edge per call) and prints, for each
routine of the driver that nothing in the driver calls (DriverEntry, the
unload and dispatch routines, and any callout), the most stack a request
can take below its entry on a chain of --depth images.

A recursion (a set of routines that call each other in a circle) is counted
as its heaviest circle once per chain level, --depth times, plus the deepest
way out of it: the chain depth bounds every recursion of the driver. Calls
to the kernel count nothing here; their stack is the system's own. A frame
of dynamic size fails the check, as it has no bound to count.

Exits 1 when any routine's figure is above --limit bytes, or when no call
graph is found (77, a skip, when DORVANE_SKIP_KERNEL_IMAGE_TEST is set);
prints the table either way. The kernel build is the folder of
DORVANE_KERNEL_IMAGE when that is set.

  kernel_stack_bound.py [--depth N] [--limit BYTES] [--path] KERNEL_BUILD_DIR
"""
import argparse
import glob
import json
import shlex
import os
import re
import sys

NODE = re.compile(r'^node: \{ title: "([^"]+)" label: "((?:[^"\\]|\\.)*)"( shape : ellipse)? \}')
EDGE = re.compile(r'^edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
FRAME = re.compile(r'\\n(\d+) bytes \(([a-z,]+)\)')


def routine_name(title, label):
    """The routine's name without return type and arguments; a clone the
    compiler split off (f.part.0) is named by its mangled title."""
    head = label.split("\\n")[0].split("(")[0]
    if not head[:1].isdigit():
        return head.split(" ")[-1].lstrip("*&")
    mangled = title[title.find("_Z") + 2:]
    parts = []
    nested = mangled.startswith("N")
    at = 1 if nested else 0
    while at < len(mangled) and mangled[at].isdigit():
        digits = re.match(r"\d+", mangled[at:]).group(0)
        start = at + len(digits)
        parts.append(mangled[start:start + int(digits)])
        at = start + int(digits)
        if not nested:
            break
    name = "::".join(p.replace("_GLOBAL__N_1", "{anonymous}") for p in parts) or title
    return name + title[title.find(".", title.find("_Z")):] if "." in title[title.find("_Z"):] else name


def object_of(entry):
    """The object a compile command writes."""
    if "output" in entry:
        return entry["output"]
    words = entry.get("arguments") or shlex.split(entry["command"])
    return words[words.index("-o") + 1]


def driver_objects(build_dir):
    """The objects of the driver's current sources: the build's compile
    commands name them, so objects a deleted source left behind do not count.
    The driver's own only: the kernel build also makes the Wine test's filter
    (dorvfilt.sys), which is no part of the driver."""
    commands = os.path.join(build_dir, "compile_commands.json")
    if os.path.exists(commands):
        with open(commands, encoding="utf-8") as listing:
            entries = json.load(listing)
        outputs = [os.path.join(e["directory"], object_of(e)) for e in entries]
        return sorted(o for o in outputs if "dorvane_driver.dir" in o)
    driver_dir = os.path.join(build_dir, "**", "dorvane_driver.dir", "**")
    return sorted(glob.glob(os.path.join(driver_dir, "*.obj"), recursive=True))


def read_graph(build_dir):
    """Frames of the functions defined in the driver, and their callees."""
    frames, kinds, names, calls = {}, {}, {}, {}
    objects = driver_objects(build_dir)
    files = [os.path.splitext(o)[0] + ".ci" for o in objects]
    missing = [o for o, f in zip(objects, files) if not os.path.exists(f)]
    if missing:
        raise SystemExit(f"kernel_stack_bound: no call graph for {', '.join(missing)}: "
                         "the object was not compiled with -fcallgraph-info")
    for path in files:
        with open(path, encoding="utf-8") as graph:
            for line in graph:
                node = NODE.match(line)
                if node and not node.group(3):
                    title, label = node.group(1), node.group(2)
                    frame = FRAME.search(label)
                    frames[title] = int(frame.group(1)) if frame else 0
                    kinds[title] = frame.group(2) if frame else "static"
                    names[title] = routine_name(title, label)
                    continue
                edge = EDGE.match(line)
                if edge:
                    calls.setdefault(edge.group(1), set()).add(edge.group(2))
    return files, frames, kinds, names, calls


def strongly_connected(nodes, callees):
    """Tarjan's components, iteratively: node -> component id."""
    index, low, on_stack, stack, component = {}, {}, set(), [], {}
    counter = [0]
    for start in nodes:
        if start in index:
            continue
        work = [(start, iter(callees(start)))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            advanced = False
            for child in children:
                if child not in index:
                    index[child] = low[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(callees(child))))
                    advanced = True
                    break
                if child in on_stack:
                    low[node] = min(low[node], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component[member] = node
                    if member == node:
                        break
    return component


class StackBound:
    def __init__(self, frames, calls, depth):
        self.frames = frames
        self.depth = depth
        self.calls = {f: sorted(c for c in calls.get(f, ()) if c in frames) for f in frames}
        self.component = strongly_connected(sorted(frames), lambda f: self.calls[f])
        self.memo = {}

    def recursive(self, node):
        members = [f for f in self.frames if self.component[f] == self.component[node]]
        return len(members) > 1 or node in self.calls[node]

    def worst(self, node):
        """(bytes, path) of the deepest stack from entering node."""
        if node in self.memo:
            return self.memo[node]
        if not self.recursive(node):
            below = max((self.worst(c) for c in self.calls[node]), default=(0, []))
            result = (self.frames[node] + below[0], [node] + below[1])
        else:
            result = self.worst_in_recursion(node)
        self.memo[node] = result
        return result

    def worst_in_recursion(self, entry):
        """The heaviest circle through entry, depth times, plus the deepest
        simple path from entry through its component and out of it."""
        home = self.component[entry]
        circle, out = 0, (0, [])
        # Depth-first over simple paths inside the component; small in practice.
        work = [(entry, self.frames[entry], [entry])]
        while work:
            node, used, path = work.pop()
            for child in self.calls[node]:
                if child == entry:
                    circle = max(circle, used)
                elif self.component[child] != home:
                    below = self.worst(child)
                    if used + below[0] > out[0]:
                        out = (used + below[0], path + below[1])
                elif child not in path:
                    work.append((child, used + self.frames[child], path + [child]))
            if used > out[0]:
                out = (used, path)
        loop = [f"[{self.depth} x circle of {circle} bytes]"]
        return (circle * self.depth + out[0], loop + out[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--depth", type=int, default=20)
    parser.add_argument("--limit", type=int, default=6144)
    parser.add_argument("--path", action="store_true", help="print each routine's deepest path")
    args = parser.parse_args()

    build_dir = args.build_dir
    if os.environ.get("DORVANE_KERNEL_IMAGE"):
        build_dir = os.path.dirname(os.path.abspath(os.environ["DORVANE_KERNEL_IMAGE"]))
    files, frames, kinds, names, calls = read_graph(build_dir)
    if not files:
        print(f"kernel_stack_bound: no call graph (*.ci) under {build_dir}: "
              "build the kernel driver first", file=sys.stderr)
        return 77 if os.environ.get("DORVANE_SKIP_KERNEL_IMAGE_TEST") else 1
    bound = StackBound(frames, calls, args.depth)
    called = {c for f in frames for c in bound.calls[f] if c != f}
    roots = sorted(f for f in frames if f not in called)
    failed = False
    for f in sorted(frames):
        if kinds[f] != "static":
            print(f"{names[f]}: frame of {kinds[f]} size {frames[f]}: no bound")
            failed = True
    print(f"Driver stack per entry routine, chain of {args.depth} images "
          f"(limit {args.limit} bytes):")
    for root in sorted(roots, key=lambda r: -bound.worst(r)[0]):
        total, path = bound.worst(root)
        over = total > args.limit
        failed |= over
        print(f"  {total:7d}  {names[root]}{'  ABOVE THE LIMIT' if over else ''}")
        if args.path or over:
            for step in path:
                label = names.get(step, step)
                print(f"             {frames.get(step, 0):5d}  {label}" if step in frames
                      else f"                    {label}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
