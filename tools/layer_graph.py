"""The layer's graph as platform/CMakeLists.txt writes it, for the checks.

  layer <concern>: <layer deps> | <libraries it links> | <of those, PUBLIC>
  link <library>: <the files linking it brings>
  archive <library of the layer>: <its archive>
  system <library of the framework or the system>: <its archive or objects>
"""
import re

ENTRY = re.compile(r"^(\w+) (.+?):(?: (.*))?$")


def read_graph(path):
    """(layers, links, archives, system): layers maps a concern to its three
    lists; the others map a name to its files."""
    layers, links, archives, system = {}, {}, {}, {}
    with open(path) as f:
        for line in f:
            m = ENTRY.match(line.rstrip("\n"))
            if not m:
                continue
            kind, name, value = m.group(1), m.group(2).strip(), m.group(3) or ""
            if kind == "layer":
                fields = (value.split("|") + ["", ""])[:3]
                layers[name] = tuple(field.split() for field in fields)
            elif kind == "link":
                links[name] = value.replace(";", " ").split()
            elif kind == "archive":
                archives[name] = value.split()
            elif kind == "system":
                system[name] = value.split()
    return layers, links, archives, system


def closure(layers, concern):
    """The concern and every concern it depends on, directly or not."""
    seen, todo = set(), [concern]
    while todo:
        c = todo.pop()
        if c not in seen:
            seen.add(c)
            todo.extend(layers[c][0] if c in layers else ())
    return seen
