#!/usr/bin/env python3
# SPDX-License-Identifier: 0BSD
"""Prints the launcher's include graph, module by module, and fails on a circle.

A module is a source file and its header taken together (core/StubCore.cpp and
core/StubCore.h are one node). Each line is "module -> the modules it
includes". Exit code 1 when some modules include each other in a circle, or
when a file below the main sequence includes it.

Usage: scripts/include_graph.py [--root REPO] [FOLDER ...]
(default: this repository; the launcher's, the packer's and the benchmarks'
folders)
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_FOLDERS = ["platform", "core", "extract", "gate", "handoff", "packer", "bench"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
MAIN_SEQUENCE = "core/StubCore"
BELOW_MAIN_SEQUENCE = ("extract/", "gate/", "handoff/")


def module_of(path):
    return os.path.splitext(path)[0]


def resolve(folder, include):
    """Includes name a path from the repository root, or one beside the file."""
    if os.path.exists(os.path.join(ROOT, include)):
        return include
    return f"{folder}/{include}"


def read_graph(folders):
    graph = {}
    for folder in folders:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if not name.endswith((".h", ".cpp", ".c")):
                continue
            path = f"{folder}/{name}"
            with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                included = INCLUDE.findall(f.read())
            targets = {module_of(resolve(folder, i)) for i in included}
            graph.setdefault(module_of(path), set()).update(targets - {module_of(path)})
    return graph


def find_circle(graph):
    state = {}  # 1: on the current path, 2: done

    def visit(node, path):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
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
    global ROOT
    args = sys.argv[1:]
    if args[:1] == ["--root"]:
        ROOT, args = os.path.abspath(args[1]), args[2:]
    graph = read_graph(args or DEFAULT_FOLDERS)
    for node in sorted(graph):
        print(f"{node} -> {', '.join(sorted(graph[node])) or '(nothing)'}")
    failed = False
    upward = [n for n in graph if n.startswith(BELOW_MAIN_SEQUENCE) and MAIN_SEQUENCE in graph[n]]
    for node in sorted(upward):
        print(f"error: {node} includes the main sequence {MAIN_SEQUENCE}")
        failed = True
    circle = find_circle(graph)
    if circle:
        print("error: include circle: " + " -> ".join(circle))
        failed = True
    if not failed:
        print("no include circle; nothing below the main sequence includes it")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
