#!/usr/bin/env python3
"""Fails when a source includes a header across a boundary it may not cross.

Usage: check-layer-includes.py SOURCE_ROOT GRAPH

GRAPH lists the platform layer's libraries, one per line: "concern: deps...",
where each concern is a folder of platform/. A file in platform/<concern>/
may include the public headers (platform/include), its own folder's headers
and those of the concerns it depends on, directly or through them. The
framework and the system folders may include only the public headers of the
layer (platform/include, framework/include), besides their own.
"""
import os
import re
import sys

SYSTEM = ("app", "video", "audio", "devices", "res")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def closure(graph, concern):
    seen, todo = set(), [concern]
    while todo:
        c = todo.pop()
        if c not in seen:
            seen.add(c)
            todo.extend(graph.get(c, ()))
    return seen


def main(root, graph_path):
    root = os.path.abspath(root)
    graph = {}
    with open(graph_path) as f:
        for line in f:
            if ":" in line:
                name, deps = line.split(":", 1)
                graph[name.strip()] = deps.split()
    platform = os.path.join(root, "platform")
    framework = os.path.join(root, "framework")
    problems = []

    def check(path, allowed):
        with open(path, errors="replace") as f:
            text = f.read()
        for name in INCLUDE.findall(text):
            target = os.path.normpath(os.path.join(os.path.dirname(path), name))
            if not os.path.exists(target):
                continue  # found through the include path: public headers only
            if not any(target.startswith(a + os.sep) for a in allowed):
                problems.append(f"{os.path.relpath(path, root)}: includes {name} "
                                f"({os.path.relpath(target, root)}), which it may not")

    public = [os.path.join(platform, "include"), os.path.join(framework, "include")]
    for concern in sorted(os.listdir(platform)):
        folder = os.path.join(platform, concern)
        if not os.path.isdir(folder) or concern == "include":
            continue
        if concern not in graph:
            problems.append(f"platform/{concern}: not a library of the layer")
            continue
        allowed = [os.path.join(platform, "include")] + [os.path.join(platform, c) for c in closure(graph, concern)]
        for dirpath, _, files in os.walk(folder):
            for file in files:
                if file.endswith((".cpp", ".h")):
                    check(os.path.join(dirpath, file), allowed)

    others = [os.path.join(root, s) for s in SYSTEM] + [framework]
    for top in others:
        for dirpath, _, files in os.walk(top):
            for file in files:
                if file.endswith((".cpp", ".h", ".inc")):
                    own = [os.path.join(root, os.path.relpath(dirpath, root).split(os.sep)[0])]
                    allowed = public + ([] if top == framework else [os.path.join(root, s) for s in SYSTEM]) + own
                    check(os.path.join(dirpath, file), allowed)

    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
