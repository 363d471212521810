#!/usr/bin/python3
"""Prints the cycles of the project's include graph, one per line, and exits 1
when there is one. A module is a header and its source file together (a.h
and a.cpp are one node "dir/a"), so a.cpp including b.h while b.cpp
includes a.h is a cycle too. Only the project's own quoted includes count.

    scripts/include-cycles.py [ROOT]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SKIP = {"build", ".git", "tests"}


def modules(root):
    graph = {}
    for top, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith("build")]
        for name in files:
            base, ext = os.path.splitext(name)
            if ext not in (".h", ".cpp") or base.endswith("_test"):
                continue
            path = os.path.join(top, name)
            node = os.path.relpath(os.path.join(top, base), root)
            deps = graph.setdefault(node, set())
            with open(path, encoding="utf-8", errors="replace") as f:
                for inc in INCLUDE.findall(f.read()):
                    target = os.path.splitext(inc)[0]
                    if target != node and os.path.exists(os.path.join(root, inc)):
                        deps.add(target)
    return graph


def cycles(graph):
    """Strongly connected components of more than one module (Tarjan)."""
    index, low, on, stack, out = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return out


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    found = cycles(modules(os.path.abspath(root)))
    for comp in found:
        print("include cycle: " + " <-> ".join(comp))
    if not found:
        print("no include cycles")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
