#!/usr/bin/env python3
"""Checks that the programs stand above the library in the graph of includes.

- Nothing outside src/bin/ includes a header from src/bin/ (the library, the simulator, the
  tests of the library, the benchmarks and the fuzz targets build on the library alone).
- Neither program includes a header from the other program's folder.
- The library's own headers and sources include each other without a cycle.

Usage: include_layering.py PROJECT_DIR
"""
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCES = ("*.hpp", "*.cpp", "*.h", "*.c")


def files(root, *folders):
    for folder in folders:
        for pattern in SOURCES:
            yield from sorted((root / folder).rglob(pattern))


def includes(path):
    return INCLUDE.findall(path.read_text(errors="replace"))


def main():
    root = pathlib.Path(sys.argv[1]).resolve()
    src = root / "src"
    problems = []

    for path in files(root, "src", "sim", "tests", "bench", "fuzz"):
        relative = path.relative_to(root)
        inside_bin = relative.parts[:2] == ("src", "bin")
        for header in includes(path):
            if not header.startswith("bin/"):
                continue
            if not inside_bin:
                problems.append(f"{relative} includes {header}: only the programs use src/bin/")
            elif header.split("/")[1] != relative.parts[2]:
                problems.append(f"{relative} includes {header} from the other program")

    # The library's include graph, by file, must have no cycle.
    library = [p for p in files(root, "src") if p.relative_to(src).parts[0] != "bin"]
    graph = {}
    for path in library:
        name = str(path.relative_to(src))
        graph[name] = [h for h in includes(path) if (src / h).is_file()]
    state = {}

    def visit(name, trail):
        if state.get(name) == "done":
            return
        if state.get(name) == "open":
            cycle = trail[trail.index(name):] + [name]
            problems.append("include cycle: " + " -> ".join(cycle))
            return
        state[name] = "open"
        for header in graph.get(name, []):
            visit(header, trail + [name])
        state[name] = "done"

    for name in sorted(graph):
        visit(name, [])

    for problem in problems:
        print(problem)
    print(f"{len(library)} library files checked; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
