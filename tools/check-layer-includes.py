#!/usr/bin/env python3
"""Fails when a file includes a header across a boundary it may not cross.

Usage: check-layer-includes.py SOURCE_ROOT GRAPH COMPILE_COMMANDS

GRAPH is written by platform/CMakeLists.txt; the lines read here are
  layer <concern>: <layer deps> | <libraries linked> | <of those, PUBLIC>
  link <library>: <files it links>
COMPILE_COMMANDS is CMake's compile_commands.json for the same build.

Every include, "" and <> alike, is resolved as the compiler resolves it:
"" first beside the including file, then through the include paths; <>
through the include paths only. A source file is resolved with its own
flags, a header with those of the library whose folder holds it, and the
public headers (platform/include) with those of the layer's sources. Then:
- platform/<concern>/ may include the public headers, its own folder and
  the folders of the concerns it depends on, directly or through others;
- platform/include/ may include only other public headers;
- framework/ may include the public headers of the layer and its own;
- the system folders (app, video, audio, devices, res) may include the
  public headers and one another's;
- the headers of a system library the layer wraps (X11, ALSA, ...) only
  in the layer's libraries that link it, or depend on one that links it
  PUBLIC. Other headers outside the project (the C and C++ libraries,
  POSIX, linux/, OpenCV) are for everyone.
An include that resolves nowhere is reported when it names a project path.
"""
import bisect
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys

from layer_graph import closure, read_graph

SYSTEM = ("app", "video", "audio", "devices", "res")
SOURCE_SUFFIXES = (".cpp", ".cc", ".cxx", ".c", ".h", ".hpp", ".hh", ".inc", ".inl", ".ipp")

# The wrapped libraries: which headers are theirs, and which linked files
# bring them. X11's extensions (Xext, Xrandr, Xss...) all count as X11.
FAMILIES = (
    # family, header path prefixes or names, linked file names
    ("X11", ("X11/",), r"libX\w*\.so"),
    ("ALSA", ("alsa/", "sys/asoundlib.h"), r"libasound\.so"),
    ("PulseAudio", ("pulse/",), r"libpulse(-\w+)*\.so"),
    ("libudev", ("libudev.h",), r"libudev\.so"),
    ("libsystemd", ("systemd/",), r"libsystemd\.so"),
    ("libturbojpeg", ("turbojpeg.h",), r"libturbojpeg\.so"),
    ("libjpeg", ("jpeglib.h", "jerror.h", "jconfig.h", "jmorecfg.h"), r"libjpeg\.so"),
)

DIRECTIVE = re.compile(r'^[ \t]*#[ \t]*(?:include|include_next|import)\b[ \t]*(.*)$', re.M)
NAMED = re.compile(r'(<([^>\n]*)>|"([^"\n]*)")')
# Comments become blanks of the same length (newlines kept), so that
# offsets and line numbers stay those of the file; literals are skipped
# whole so that a "/*" inside one starts nothing.
COMMENT_OR_LITERAL = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)


def blank_comments(text):
    def repl(m):
        s = m.group(0)
        return re.sub(r"[^\n]", " ", s) if s[0] == "/" else s
    return COMMENT_OR_LITERAL.sub(repl, text)


def directives(path):
    """(line, kind, name) for each include directive; kind is '"', '<' or
    None for a computed include (name then is the text after the directive)."""
    with open(path, errors="replace") as f:
        raw = f.read().replace("\r\n", "\n")
    # Lines ending in a backslash continue on the next one, before anything
    # else; remember where, to count lines as the file has them.
    parts = raw.split("\\\n")
    joins, pos = [], 0
    for p in parts[:-1]:
        pos += len(p)
        joins.append(pos)
    text = blank_comments("".join(parts))
    found, line, last = [], 1, 0
    for m in DIRECTIVE.finditer(text):
        line += text.count("\n", last, m.start())
        last = m.start()
        number = line + bisect.bisect_right(joins, m.start())
        rest = m.group(1).strip()
        n = NAMED.match(rest)
        if n:
            found.append((number, "<" if n.group(2) is not None else '"', n.group(2) if n.group(2) is not None else n.group(3)))
        elif rest:
            found.append((number, None, rest))
    return found


class Paths:
    """One compile's search directories, in the compiler's order."""

    def __init__(self, quote, angle):
        self.quote = tuple(quote)   # after the including file's folder, for "" only
        self.angle = tuple(angle)   # for both forms


def compiler_defaults(compiler):
    try:
        out = subprocess.run([compiler, "-xc++", "-E", "-v", "/dev/null"], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, check=True).stderr
    except (OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"check-layer-includes: cannot ask {compiler} for its include directories: {e}")
    quote, angle, into = [], [], None
    for line in out.splitlines():
        if line.startswith('#include "..." search starts here'):
            into = quote
        elif line.startswith("#include <...> search starts here"):
            into = angle
        elif line.startswith("End of search list"):
            break
        elif into is not None and line.startswith(" "):
            into.append(os.path.normpath(line.strip().split(" (")[0]))
    return quote, angle


def compile_paths(entry, defaults):
    """The search directories and forced includes of one compile_commands entry."""
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    cwd = entry.get("directory", ".")
    iquote, dash_i, isystem, after, forced = [], [], [], [], []
    flags = (("-iquote", iquote), ("-isystem", isystem), ("-idirafter", after), ("-I", dash_i))
    i = 0
    while i < len(args):
        a = args[i]
        if a == "-include" and i + 1 < len(args):
            i += 1
            forced.append(args[i])
        for flag, into in flags:
            if a == flag and i + 1 < len(args):
                i += 1
                into.append(args[i])
                break
            if a.startswith(flag) and len(a) > len(flag):
                into.append(a[len(flag):])
                break
        i += 1
    absolute = lambda ds: [os.path.normpath(os.path.join(cwd, d)) for d in ds]
    dquote, dangle = defaults
    angle = absolute(dash_i) + absolute(isystem) + dangle + absolute(after)
    return Paths(absolute(iquote) + dquote, angle), forced, os.path.normpath(cwd)


class Resolver:
    def __init__(self):
        self.exists = {}

    def isfile(self, path):
        r = self.exists.get(path)
        if r is None:
            r = self.exists[path] = os.path.isfile(path)
        return r

    def resolve(self, kind, name, here, paths):
        """(resolved path, the folder it was found in) or (None, None)."""
        if os.path.isabs(name):
            return (os.path.normpath(name), "/") if self.isfile(name) else (None, None)
        folders = ((here,) + paths.quote + paths.angle) if kind == '"' else paths.angle
        for d in folders:
            p = os.path.normpath(os.path.join(d, name))
            if self.isfile(p):
                return p, d
        return None, None




def link_families(item, links):
    """The wrapped libraries a linked name brings, by the files it stands for."""
    found = set()
    for f in links.get(item, [item]):
        base = os.path.basename(f)
        if base.startswith("-l"):
            base = f"lib{base[2:]}.so"
        elif "/" not in f and "." not in base and not base.startswith("-"):
            base = f"lib{base}.so"   # a bare name, as in -lX11
        for family, _, pattern in FAMILIES:
            if re.match(pattern, base):
                found.add(family)
    return found


def header_family(path, found_in, defaults):
    """The wrapped library a header outside the project belongs to, if any:
    by its path below the folder it was found in or below a default one."""
    names = [os.path.relpath(path, found_in)] if found_in and found_in != "/" else []
    names += [os.path.relpath(path, d) for d in defaults if path.startswith(d + os.sep)]
    for family, heads, _ in FAMILIES:
        for n in names:
            if any(n == h or (h.endswith("/") and n.startswith(h)) for h in heads):
                return family
    return None


def main(root, graph_path, commands_path):
    root = os.path.normpath(os.path.abspath(root))
    # Where a file really is decides whose it is: a link beside the
    # including file does not make another folder's header its own.
    real_root = os.path.realpath(root)
    layers, links, _, _ = read_graph(graph_path)
    platform = os.path.join(root, "platform")
    public = os.path.join(platform, "include")
    framework = os.path.join(root, "framework")
    problems = []

    # Which wrapped libraries each layer library may use: those it links,
    # and those linked PUBLIC by any library of its closure.
    uses = {}
    for concern in layers:
        fams = set()
        for item in layers[concern][1]:
            fams |= link_families(item, links)
        for c in closure(layers, concern):
            for item in layers.get(c, ((), (), ()))[2]:
                fams |= link_families(item, links)
        uses[concern] = fams
    owners = {family: sorted(f"vistamo_layer_{c}" for c in layers if family in uses[c]) for family, _, _ in FAMILIES}

    # What each scanned file is: its group (for the flags of headers) and
    # what it may include.
    def role(path):
        rel = os.path.relpath(path, root).split(os.sep)
        top = rel[0]
        if top == "platform" and len(rel) > 1:
            if rel[1] == "include":
                return "platform/include", [public], set()
            concern = rel[1]
            if concern not in layers:
                return None
            allowed = [public] + [os.path.join(platform, c) for c in closure(layers, concern)]
            return f"platform/{concern}", allowed, uses[concern]
        if top == "framework":
            return "framework", [public, framework], set()
        if top in SYSTEM:
            return top, [public, os.path.join(framework, "include")] + [os.path.join(root, s) for s in SYSTEM], set()
        return None

    scanned = []
    unknown = set()
    for top in ("platform", "framework") + SYSTEM:
        for dirpath, dirs, files in os.walk(os.path.join(root, top)):
            dirs.sort()
            for file in sorted(files):
                if file.endswith(SOURCE_SUFFIXES):
                    path = os.path.join(dirpath, file)
                    r = role(path)
                    if r is None:
                        concern = os.path.relpath(path, platform).split(os.sep)[0]
                        if concern not in unknown:
                            unknown.add(concern)
                            problems.append(f"platform/{concern}: not a library of the layer")
                        continue
                    scanned.append((path, r))

    # It runs with every build: when no file it reads changed since it last
    # passed, the answer is the same.
    passed = os.path.join(os.path.dirname(os.path.abspath(graph_path)), "layer_includes.passed")
    seen = hashlib.sha1()
    for path in [os.path.abspath(__file__), os.path.join(os.path.dirname(os.path.abspath(__file__)), "layer_graph.py"), graph_path, commands_path] + [p for p, _ in scanned]:
        st = os.stat(path)
        seen.update(f"{path} {st.st_size} {st.st_mtime_ns}\n".encode())
    fingerprint = seen.hexdigest()
    try:
        with open(passed) as f:
            if not problems and f.read() == fingerprint:
                return 0
    except OSError:
        pass

    with open(commands_path) as f:
        commands = json.load(f)

    # The compiler's own folders, asked once, and each compile's flags.
    compiler = None
    for e in commands:
        args = e["arguments"] if "arguments" in e else shlex.split(e["command"])
        compiler = args[0]
        break
    defaults = compiler_defaults(compiler or "c++")
    by_file, by_group = {}, {}
    for e in commands:
        path = os.path.normpath(os.path.join(e.get("directory", "."), e["file"]))
        r = role(path) if path.startswith(root + os.sep) else None
        if r is None:
            continue   # the tests', the benchmarks'
        paths, forced, cwd = compile_paths(e, defaults)
        by_file.setdefault(path, []).append((paths, forced, cwd))
        group = r[0]
        by_group.setdefault(group, {})[(paths.quote, paths.angle)] = paths
        if group.startswith("platform/"):
            by_group.setdefault("platform/include", {})[(paths.quote, paths.angle)] = paths
    fallback = Paths(defaults[0], defaults[1])

    names = {"..", "."} | {d for d in os.listdir(root) if not d.startswith(".") and os.path.isdir(os.path.join(root, d))}
    names |= {d for d in os.listdir(platform) if os.path.isdir(os.path.join(platform, d))}
    names |= {d for d in os.listdir(framework) if os.path.isdir(os.path.join(framework, d))}

    resolver = Resolver()
    reported = set()
    realpaths = {}

    def real(path):
        r = realpaths.get(path)
        if r is None:
            r = realpaths[path] = os.path.realpath(path)
        return r

    default_dirs = defaults[0] + defaults[1]

    def judge(path, line, kind, name, compiles, allowed, fams, here=None):
        rel = os.path.relpath(path, root)
        if kind is None:
            key = (rel, line, name)
            if key not in reported:
                reported.add(key)
                problems.append(f"{rel}:{line}: includes {name}, a computed include, which it may not")
            return
        here = here or os.path.dirname(path)
        for paths in compiles:
            target, found_in = resolver.resolve(kind, name, here, paths)
            if target is None:
                first = name.split("/")[0]
                if first in names or name.startswith("../") or "/../" in name:
                    message = f"{rel}:{line}: includes {name}, which names a project path but resolves nowhere"
                else:
                    continue
            elif real(target).startswith(real_root + os.sep) or target.startswith(root + os.sep):
                mine = os.path.join(root, os.path.relpath(real(target), real_root))
                if any(mine.startswith(a + os.sep) for a in allowed):
                    continue
                message = f"{rel}:{line}: includes {name} ({os.path.relpath(mine, root)}), which it may not"
            else:
                family = header_family(target, found_in, default_dirs)
                if family is None or family in fams:
                    continue
                who = ", ".join(owners[family]) or "no library of the layer"
                message = (f"{rel}:{line}: includes {name} ({target}), a header of {family}, "
                           f"which only {who} may use")
            if message not in reported:
                reported.add(message)
                problems.append(message)

    for path, (group, allowed, fams) in scanned:
        own = by_file.get(path)
        if own:
            compiles = [p for p, _, _ in own]
        else:
            compiles = list(by_group.get(group, {}).values())
            if not compiles and group.startswith("platform/"):
                compiles = list(by_group.get("platform/include", {}).values())
            compiles = compiles or [fallback]
        for line, kind, name in directives(path):
            judge(path, line, kind, name, compiles, allowed, fams)
        # -include: as if included on the first line, looked for first in
        # the compiler's working directory.
        for paths, forced, cwd in own or ():
            for name in forced:
                judge(path, 1, '"', name, [paths], allowed, fams, here=cwd)

    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        try:
            os.remove(passed)
        except OSError:
            pass
        return 1
    with open(passed, "w") as f:
        f.write(fingerprint)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3]))
