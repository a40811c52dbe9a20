#!/usr/bin/env python3
"""Holds the source tree to the README's module table.

The table under "Layout:" in README.md names each module folder and the
modules it builds on. This check fails when
  - the table and the folders under src/ differ,
  - the table's "builds on" graph has a cycle,
  - a module's CMakeLists.txt links other modules than the table says
    (disk_helper_module(NAME DEPENDS ...)),
  - a file under src/ includes "<module>/..." of a module that is neither its
    own nor one below it (reachable along "builds on"), or names a header
    without its module folder,
  - a file that is not test code includes the test support ("support/...").
It also draws the module graph from the include lines themselves and fails on
a cycle there. With --graph it prints that graph.

Usage: scripts/check-includes.py [--root DIR] [--graph]
"""

import argparse
import pathlib
import re
import sys

TABLE_ROW = re.compile(r"^\|\s*`src/([a-z_]+)`\s*\|.*\|([^|]*)\|\s*$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
MODULE_CALL = re.compile(r"disk_helper_module\(\s*(\w+)([^)]*)\)", re.S)
SOURCE_SUFFIXES = {".h", ".cpp"}


def read_table(readme):
    """The module table: {module: [modules it builds on]}, in table order."""
    table = {}
    for line in readme.read_text(encoding="utf-8").splitlines():
        match = TABLE_ROW.match(line)
        if match:
            table[match.group(1)] = re.findall(r"`([a-z_]+)`", match.group(2))
    return table


def find_cycle(graph):
    """One cycle of the graph as a list of nodes, or None."""
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for succ in sorted(graph.get(node, ())):
            if state.get(succ) == "open":
                return stack[stack.index(succ):] + [succ]
            if succ not in state:
                found = visit(succ)
                if found:
                    return found
        stack.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def below(table, module):
    """The modules `module` may include: itself and all it builds on."""
    seen = {module}
    todo = [module]
    while todo:
        for dep in table.get(todo.pop(), []):
            if dep not in seen:
                seen.add(dep)
                todo.append(dep)
    return seen


def is_test_code(path):
    return "test" in path.name


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=str(pathlib.Path(__file__).resolve().parent.parent))
    parser.add_argument("--graph", action="store_true", help="print the module graph drawn from the includes")
    args = parser.parse_args()
    root = pathlib.Path(args.root)
    src = root / "src"
    errors = []

    table = read_table(root / "README.md")
    if not table:
        print("check-includes: no module table found in README.md", file=sys.stderr)
        return 1
    folders = {p.name for p in src.iterdir() if p.is_dir()}
    for name in sorted(folders - table.keys()):
        errors.append(f"src/{name}: folder missing from the README's module table")
    for name in sorted(table.keys() - folders):
        errors.append(f"README module table: src/{name} does not exist")
    for name, deps in table.items():
        for dep in deps:
            if dep not in table:
                errors.append(f"README module table: {name} builds on unknown module {dep}")
    cycle = find_cycle(table)
    if cycle:
        errors.append("README module table has a cycle: " + " -> ".join(cycle))

    for name in sorted(folders & table.keys()):
        cmake = src / name / "CMakeLists.txt"
        calls = MODULE_CALL.findall(cmake.read_text(encoding="utf-8")) if cmake.exists() else []
        calls = [c for c in calls if c[0] == name]
        if not calls:
            errors.append(f"{cmake.relative_to(root)}: no disk_helper_module({name} ...)")
            continue
        words = calls[0][1].split()
        linked = []
        if "DEPENDS" in words:
            for word in words[words.index("DEPENDS") + 1:]:
                if word == "SOURCES":
                    break
                linked.append(word)
        if sorted(linked) != sorted(table[name]):
            errors.append(f"{cmake.relative_to(root)}: links {sorted(linked)}, the README's table says "
                          f"{sorted(table[name])}")

    drawn = {name: set() for name in folders}
    for path in sorted(src.rglob("*")):
        if path.suffix not in SOURCE_SUFFIXES or not path.is_file():
            continue
        module = path.relative_to(src).parts[0]
        allowed = below(table, module)
        rel = path.relative_to(root)
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            target = match.group(1)
            if "/" not in target:
                errors.append(f"{rel}:{number}: #include \"{target}\" names no module folder")
                continue
            head = target.split("/", 1)[0]
            if head == "support":
                if not is_test_code(path):
                    errors.append(f"{rel}:{number}: test support included by code that is not a test")
                continue
            if head not in folders:
                errors.append(f"{rel}:{number}: #include \"{target}\": no module {head}")
                continue
            if head != module:
                drawn[module].add(head)
            if head not in allowed:
                errors.append(f"{rel}:{number}: {module} may not include {head} (\"{target}\"); "
                              f"it builds on {', '.join(sorted(allowed - {module})) or 'nothing'}")

    cycle = find_cycle(drawn)
    if cycle:
        errors.append("the includes form a cycle: " + " -> ".join(cycle))
    if args.graph:
        for name in table:
            if name in drawn:
                print(f"{name} -> {', '.join(sorted(drawn[name])) or '(nothing)'}")

    for error in errors:
        print(error, file=sys.stderr)
    if errors:
        print(f"check-includes: {len(errors)} problem(s)", file=sys.stderr)
        return 1
    print(f"check-includes: {len(folders)} modules, includes point down only, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
