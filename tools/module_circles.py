#!/usr/bin/env python3
"""Fails when the modules of a source folder include each other in a circle.

A module is x.h with x.cpp; a file belongs to the module of its stem. An include of "y.h" from
a file of module x, where y is another module, is an edge x -> y; a header of no module of its
own passes on what it includes. Prints each circle found and
exits 1; prints the modules in an order where each includes only those before it and exits 0.
Usage: tools/module_circles.py [SRC_DIR]
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"', re.MULTILINE)


def edges(src):
    modules = {p.stem for p in src.glob("*.h") if (src / (p.stem + ".cpp")).exists()}
    graph = {m: set() for m in modules}

    def reached(path, seen):
        """The modules that `path` includes, through headers of no module of their own."""
        found = set()
        for target in INCLUDE.findall(path.read_text(errors="replace")):
            header = src / (target + ".h")
            if target in modules:
                found.add(target)
            elif header.exists() and header not in seen:
                seen.add(header)
                found |= reached(header, seen)
        return found

    for path in sorted(src.glob("*.[hc]*")):
        if path.stem in modules:
            graph[path.stem] |= reached(path, set()) - {path.stem}
    return graph


def circles(graph):
    """Each circle once, as the list of its modules, found by a depth-first search."""
    found, state, stack = [], {}, []

    def visit(m):
        state[m] = "open"
        stack.append(m)
        for n in sorted(graph[m]):
            if state.get(n) == "open":
                found.append(stack[stack.index(n):] + [n])
            elif n not in state:
                visit(n)
        stack.pop()
        state[m] = "done"

    for m in sorted(graph):
        if m not in state:
            visit(m)
    return found


def layers(graph):
    order, placed = [], set()
    while len(placed) < len(graph):
        ready = sorted(m for m in graph if m not in placed and graph[m] <= placed)
        order.append(ready)
        placed.update(ready)
    return order


def main():
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    graph = edges(src)
    found = circles(graph)
    for circle in found:
        print("circle: " + " -> ".join(circle))
    if found:
        return 1
    for i, ready in enumerate(layers(graph)):
        print(f"layer {i}: {' '.join(ready)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
