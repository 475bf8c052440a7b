#!/usr/bin/env python3
"""Fails when a built library takes a symbol from where it may not.

Usage: check-layer-symbols.py GRAPH

GRAPH is written by platform/CMakeLists.txt (see check-layer-includes.py for
the "layer" and "link" lines); this script also reads
  archive <library of the layer>: <its archive>
  system <library of the framework or the system>: <archive or objects>
The includes only say what a file was allowed to see; the symbols say what a
library really uses, whatever it declared for itself. So:
- a symbol a library of the layer leaves undefined, and which another of
  the project's libraries defines, must be defined in a library of its
  dependency closure;
- a symbol it takes from a system library the layer wraps (libX11,
  libasound, libudev...) must come from one it links, or one linked PUBLIC
  by a library of its closure;
- the framework and the system libraries take nothing from those system
  libraries at all: they reach them through the layer.
Symbols compare mangled, as the linker compares them.
"""
import json
import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

from layer_graph import closure, read_graph

# The wrapped system libraries, by the name of the file linked.
WRAPPED = re.compile(r"^lib(X\w*|asound|pulse(-\w+)*|udev|systemd|turbojpeg|jpeg)\.so")

# What the layer calls in the program, as Windows' startup code calls the
# program's WinMain: the entry library hands the command line to whichever
# library of the program defines it.
PROGRAM_PROVIDES = {"wWinMain"}

UNDEFINED = set("Uwv")
# Defined and seen by other objects; lower case t, d, b, r are local.
GLOBAL = set("TDBRGSCVWuiI")



def run_nm(args):
    r = subprocess.run(["nm"] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if r.returncode != 0:
        sys.exit(f"check-layer-symbols: nm {' '.join(args)} failed: {r.stderr.strip()}")
    return r.stdout


def library_symbols(files):
    """(defined, undefined by member) of an archive or a set of objects;
    a symbol one member leaves undefined and another defines is the
    library's own business."""
    defined, undefined = set(), {}
    out = run_nm(["-P", "-g"] + files)
    member = os.path.basename(files[0]) if len(files) == 1 else ""
    for line in out.splitlines():
        if line.endswith(":") and " " not in line:
            m = re.search(r"\[(.*)\]:$", line)
            member = m.group(1) if m else os.path.basename(line[:-1])
            continue
        fields = line.split()
        if len(fields) < 2:
            continue
        sym, kind = fields[0], fields[1]
        if kind in UNDEFINED:
            undefined.setdefault(sym, member)
        elif kind in GLOBAL:
            defined.add(sym)
    return defined, {s: m for s, m in undefined.items() if s not in defined}


def shared_symbols(path):
    out = run_nm(["-D", "--defined-only", "-P", path])
    syms = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[1] in GLOBAL:
            syms.add(fields[0].split("@")[0])
    return syms


def wrapped_symbols(files, cache_path):
    """The dynamic symbols of each wrapped library. They change only with
    the system's packages, so they are kept beside the graph, by the
    file's identity, rather than read again whenever a library changed."""
    try:
        with open(cache_path) as f:
            cache = json.load(f)
    except (OSError, ValueError):
        cache = {}
    result, fresh, todo = {}, {}, []
    for path in files:
        try:
            st = os.stat(path)
        except OSError:
            sys.exit(f"check-layer-symbols: {path} is gone; configure again")
        key = f"{os.path.realpath(path)} {st.st_size} {st.st_mtime_ns}"
        if key in cache:
            result[path] = set(cache[key])
            fresh[key] = cache[key]
        else:
            todo.append((path, key))
    if todo:
        with ThreadPoolExecutor(max_workers=4) as pool:
            for (path, key), syms in zip(todo, pool.map(shared_symbols, [p for p, _ in todo])):
                result[path] = syms
                fresh[key] = sorted(syms)
        try:
            with open(cache_path + ".new", "w") as f:
                json.dump(fresh, f)
            os.replace(cache_path + ".new", cache_path)
        except OSError:
            pass
    return result


def demangle(names):
    names = sorted(names)
    try:
        out = subprocess.run(["c++filt"], input="\n".join(names), stdout=subprocess.PIPE, text=True).stdout
        return dict(zip(names, out.splitlines()))
    except OSError:
        return {n: n for n in names}


def main(graph_path):
    layers, links, archives, system = read_graph(graph_path)
    libraries = {f"vistamo_layer_{c}": archives.get(f"vistamo_layer_{c}", []) for c in layers}
    libraries.update(system)
    libraries = {name: files for name, files in libraries.items() if files}

    def link_files(item):
        return [f for f in links.get(item, [item]) if WRAPPED.match(os.path.basename(f))]

    wrapped = sorted({f for item in links for f in link_files(item)})
    with ThreadPoolExecutor(max_workers=4) as pool:
        lib_syms = dict(zip(libraries, pool.map(library_symbols, libraries.values())))
    so_syms = wrapped_symbols(wrapped, os.path.splitext(graph_path)[0] + ".wrapped-symbols.json")
    # The library each wrapped symbol comes from (by its file's name).
    provider = {}
    for so in wrapped:
        for sym in so_syms[so]:
            provider.setdefault(sym, set()).add(so)
    defined_in = {}
    for name, (defined, _) in lib_syms.items():
        for sym in defined:
            defined_in.setdefault(sym, set()).add(name)

    problems = []   # (library, member, symbol, why)
    for concern in sorted(layers):
        name = f"vistamo_layer_{concern}"
        if name not in lib_syms:
            continue
        mine = closure(layers, concern)
        allowed_libs = {f"vistamo_layer_{c}" for c in mine}
        may_link = set()
        for item in layers[concern][1]:
            may_link.update(link_files(item))
        for c in mine:
            for item in layers.get(c, ((), (), ()))[2]:
                may_link.update(link_files(item))
        for sym, member in sorted(lib_syms[name][1].items()):
            owners = defined_in.get(sym, set())
            if owners:
                if owners & allowed_libs:
                    continue
                if demangled_base(sym) in PROGRAM_PROVIDES:
                    continue
                problems.append((name, member, sym, f"defined in {', '.join(sorted(owners))}, "
                                                    f"which {name} does not depend on"))
            elif sym in provider and not provider[sym] & may_link:
                libs = ", ".join(sorted(os.path.basename(so) for so in provider[sym]))
                problems.append((name, member, sym, f"defined in {libs}, which {name} does not link"))

    for name in system:
        if name not in lib_syms:
            continue
        for sym, member in sorted(lib_syms[name][1].items()):
            if sym in provider and not defined_in.get(sym):
                libs = ", ".join(sorted(os.path.basename(so) for so in provider[sym]))
                problems.append((name, member, sym, f"defined in {libs}, which only the platform layer may use"))

    if problems:
        names = demangle({sym for _, _, sym, _ in problems})
        for lib, member, sym, why in problems:
            shown = names.get(sym, sym)
            shown = shown if shown == sym else f"{shown} ({sym})"
            print(f"{lib} ({member}): uses {shown}, {why}", file=sys.stderr)
        return 1
    return 0


def demangled_base(sym):
    """The unqualified name of a function: wWinMain of _Z8wWinMainPvS_Pwi."""
    m = re.match(r"_Z(\d+)", sym)
    if m:
        n = int(m.group(1))
        return sym[m.end():m.end() + n]
    return sym


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
