#!/usr/bin/env python3
"""Holds every include line under src/ to the layer directions.

Each folder under src/ is a layer. Its DEPS file names, one per line, the
layers whose headers it may include; the build (cmake/layers.cmake) links
exactly those, so the file is both the written-down direction and the link
line. This check fails, naming file and line, when:

  - a file includes a header of a layer its folder's DEPS does not name;
  - a DEPS file names a folder that is not a layer, or the DEPS files form a
    circle;
  - a file outside a posix/ or windows/ folder includes one of their
    headers, or an operating system's own header: the portable core sees
    the platform only through the seam in src/env.

Usage: check_layers.py [SOURCE_ROOT]   (default: the project's root)
Exit status 0 when everything holds, 1 with one line per fault otherwise.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
PLATFORM_FOLDERS = ("posix", "windows")
# Headers of an operating system or its HTTP/crypto stack; a portable file
# that needs one of them belongs behind the seam instead.
PLATFORM_HEADERS = re.compile(
    r"^(windows\.h|winhttp\.h|wincrypt\.h|winsvc\.h|dpapi\.h|shlobj\.h|aclapi\.h|sddl\.h|"
    r"io\.h|direct\.h|unistd\.h|fcntl\.h|pthread\.h|syslog\.h|dlfcn\.h|poll\.h|signal\.h|"
    r"sys/.*|netinet/.*|arpa/.*|curl/.*|openssl/.*|systemd/.*)$")
SOURCE_SUFFIXES = (".h", ".cpp", ".cc", ".in")


def read_deps(path):
    deps = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                deps.append(line)
    return deps


def find_circle(graph):
    """One circle of the graph as a list of nodes, or None."""
    state = {}  # node -> "open" while on the path, "done" after

    def visit(node, path):
        state[node] = "open"
        path.append(node)
        for dep in graph.get(node, []):
            if state.get(dep) == "open":
                return path[path.index(dep):] + [dep]
            if dep not in state:
                found = visit(dep, path)
                if found:
                    return found
        path.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def check(root):
    src = os.path.join(root, "src")
    faults = []
    layers = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
    graph = {}
    for layer in layers:
        deps_file = os.path.join(src, layer, "DEPS")
        if not os.path.isfile(deps_file):
            faults.append(f"src/{layer}: no DEPS file")
            graph[layer] = []
            continue
        graph[layer] = read_deps(deps_file)
        for dep in graph[layer]:
            if dep not in layers:
                faults.append(f"src/{layer}/DEPS: '{dep}' is not a folder of src/")
            elif dep == layer:
                faults.append(f"src/{layer}/DEPS: names its own folder")
    circle = find_circle({k: [d for d in v if d in layers and d != k] for k, v in graph.items()})
    if circle:
        faults.append("DEPS files form a circle: " + " -> ".join(circle))

    for layer in layers:
        allowed = set(graph[layer]) | {layer}
        for folder, _, files in os.walk(os.path.join(src, layer)):
            rel_folder = os.path.relpath(folder, src).replace(os.sep, "/")
            in_platform = any(part in PLATFORM_FOLDERS for part in rel_folder.split("/")[1:])
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                rel = f"src/{rel_folder}/{name}"
                with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        kind, target = m.groups()
                        where = f"{rel}:{number}"
                        if kind == "<":
                            if not in_platform and PLATFORM_HEADERS.match(target):
                                faults.append(f"{where}: portable file includes the platform header "
                                              f"<{target}>")
                            continue
                        parts = target.split("/")
                        if len(parts) < 2 or parts[0] not in layers:
                            continue  # a generated or local file, not a layer's header
                        if parts[0] not in allowed:
                            faults.append(f"{where}: includes \"{target}\", but src/{layer}/DEPS "
                                          f"does not name '{parts[0]}'")
                        if not in_platform and any(p in PLATFORM_FOLDERS for p in parts[1:-1]):
                            faults.append(f"{where}: portable file includes the platform header "
                                          f"\"{target}\"")
    return faults


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    faults = check(root)
    for fault in faults:
        print(fault)
    if faults:
        print(f"layering check: {len(faults)} fault(s)")
        return 1
    print("layering check: every include follows the DEPS files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
