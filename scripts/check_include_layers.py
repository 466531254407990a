#!/usr/bin/env python3
"""Checks that the engine's includes run one way: each folder of crates/vexradb-core/src includes
only the folders below it (LAYERS), and no files include each other in a circle.

Usage: scripts/check_include_layers.py (from anywhere; exits 1 and names each breach)."""

import pathlib
import re
import sys

# Each folder and the folders it may include, besides itself.
LAYERS = {
    "base": set(),
    "kernels": {"base"},
    "metadata": {"base"},
    "files": {"base"},
    "text": {"base", "metadata"},
    "storage": {"base", "kernels", "metadata", "text"},
    "graph": {"base"},
    "engine": {"base", "kernels", "metadata", "text", "storage", "graph"},
    "durable": {"base", "kernels", "metadata", "text", "storage", "graph", "engine", "files"},
}
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "crates" / "vexradb-core" / "src"
    breaches = []
    edges = {}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".hpp", ".cpp"):
            continue
        name = path.relative_to(src).as_posix()
        folder = name.split("/")[0]
        if folder not in LAYERS:
            breaches.append(f"{name}: a folder the layers do not name")
            continue
        edges[name] = []
        for included in INCLUDE.findall(path.read_text()):
            target = included.split("/")[0]
            if "/" not in included or target not in LAYERS:
                breaches.append(f"{name}: includes \"{included}\", not by its folder path")
            elif target != folder and target not in LAYERS[folder]:
                breaches.append(f"{name}: includes \"{included}\" from a folder above its own")
            else:
                edges[name].append(included)
    breaches += circles(edges)
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


def circles(edges):
    """A breach for each include that closes a circle (depth-first search)."""
    found, state = [], {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in edges.get(node, []):
            if state.get(nxt) == "open":
                found.append(" -> ".join(trail[trail.index(nxt):] + [nxt]) + ": a circle")
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in edges:
        if node not in state:
            visit(node, [node])
    return found


if __name__ == "__main__":
    sys.exit(main())
