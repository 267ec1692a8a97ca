#!/usr/bin/env python3
"""Checks that the modules are layered one way.

Reads every source file's quoted includes and every CMakeLists.txt's
target_link_libraries, then fails when
  - files include each other in a cycle,
  - modules include each other in a cycle,
  - libraries link each other in a cycle,
  - a file outside app/ includes one of app/ (the program's own state and
    boxes are private to it: a module gets what it needs passed in).

Usage: check_layers.py [source root]      (default: the tree it lives in)
       check_layers.py --self-test        (the checks catch planted faults)
"""
import os
import re
import sys
import tempfile

MODULES = ("app", "cli", "devices", "discovery", "image", "platform", "protocol",
           "settings", "toolkit", "upgrade")
SOURCE_ENDINGS = (".h", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
LINK = re.compile(r"target_link_libraries\(\s*([\w-]+)\s+(.*?)\)", re.S)
LIBRARY = re.compile(r"(?:daveridur_module|add_library|add_executable)\(\s*([\w-]+)")


def module_of(path):
    top = path.split("/", 1)[0]
    return top if top in MODULES else None


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def includes(root):
    """{file: [included files of the tree]} for every module source file."""
    graph = {}
    for module in MODULES:
        for folder, _, names in os.walk(os.path.join(root, module)):
            for name in names:
                if not name.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                graph[path] = [inc for inc in INCLUDE.findall(read(os.path.join(root, path)))
                               if module_of(inc)]
    return graph


def links(root):
    """{library: [libraries it links]} among the modules' own libraries."""
    owner = {}  # library name -> module
    edges = {}
    for module in MODULES:
        lists = os.path.join(root, module, "CMakeLists.txt")
        if not os.path.exists(lists):
            continue
        text = re.sub(r"#.*", "", read(lists))
        for name in LIBRARY.findall(text):
            owner[name] = module
        for target, args in LINK.findall(text):
            edges.setdefault(target, set()).update(args.split())
    return {t: sorted(d for d in deps if d in owner and d != t)
            for t, deps in edges.items() if t in owner}


def cycle(graph):
    """One cycle of the graph as a list of nodes, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for nxt in graph.get(node, ()):
            if state.get(nxt) == 1:
                return stack[stack.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def problems(root):
    found = []
    files = includes(root)
    for path, incs in sorted(files.items()):
        if module_of(path) != "app":
            for inc in incs:
                if module_of(inc) == "app":
                    found.append("%s includes %s: app/ is private to the program" % (path, inc))
    c = cycle(files)
    if c:
        found.append("files include each other: " + " -> ".join(c))
    modules = {}
    for path, incs in files.items():
        m = module_of(path)
        modules.setdefault(m, set()).update(module_of(i) for i in incs if module_of(i) != m)
    c = cycle({m: sorted(d) for m, d in modules.items()})
    if c:
        found.append("modules include each other: " + " -> ".join(c))
    c = cycle(links(root))
    if c:
        found.append("libraries link each other: " + " -> ".join(c))
    return found


def self_test():
    """Each planted fault is found, and a clean tree passes."""
    def tree(files):
        root = tempfile.mkdtemp(prefix="layers-")
        for path, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(text)
        return root

    clean = {
        "protocol/a.h": "#pragma once\n",
        "devices/t.h": '#include "protocol/a.h"\n#include <vector>\n',
        "discovery/d.h": '#include "devices/t.h"\n',
        "app/ui.h": '#include "discovery/d.h"\n',
        "devices/CMakeLists.txt": "daveridur_module(devices t.h)\ntarget_link_libraries(devices PUBLIC protocol)\n",
        "protocol/CMakeLists.txt": "daveridur_module(protocol a.h)\n",
        "discovery/CMakeLists.txt": "daveridur_module(discovery d.h)\n"
                                    "target_link_libraries(discovery PUBLIC devices protocol)\n",
    }
    failures = []
    if problems(tree(clean)):
        failures.append("a clean tree is refused: %r" % problems(tree(clean)))
    planted = {
        "an include of app/": {"devices/t.h": '#include "app/ui.h"\n'},
        "a module include cycle": {"devices/t_win32.cpp": '#include "discovery/d.h"\n'},
        "a file include cycle": {"protocol/a.h": '#include "protocol/b.h"\n',
                                 "protocol/b.h": '#include "protocol/a.h"\n'},
        "a link cycle": {"devices/CMakeLists.txt":
                         "daveridur_module(devices t.h)\nif(WIN)\n  target_link_libraries(devices PUBLIC discovery)\nendif()\n"},
    }
    for what, change in planted.items():
        files = dict(clean)
        files.update(change)
        if not problems(tree(files)):
            failures.append("not caught: " + what)
    for f in failures:
        print(f)
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = problems(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
