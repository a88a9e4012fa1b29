#!/usr/bin/env python3
"""Checks that the code stands in floors: every include points down.

- The library's folders stand in the order of FLOORS, lowest first. A file may include a header
  of its own folder or of a folder below it; an include that reaches up names both files.
- The programs (src/bin/) stand on the library. They reach the flash through the update module
  alone: nothing of the programming sequence, the controllers or the flash drivers (their tests,
  in src/bin/*/tests/, may look deeper).
- Nothing outside src/bin/ includes a header from src/bin/ (the library, the simulator, the
  tests of the library, the benchmarks and the fuzz targets build on the library alone), and
  neither program includes a header from the other program's folder.
- The library's own headers and sources include each other without a cycle.

An include is followed as the compiler finds it, in every form: `"folder/x.hpp"`, a path
relative to the including file (`"../folder/x.hpp"`, `"x.hpp"`) and `<folder/x.hpp>`. Each is
checked by the library file it lands on; headers from outside the project are left alone.

Usage: include_layering.py PROJECT_DIR
"""
import os
import pathlib
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)', re.M)
SOURCES = ("*.hpp", "*.cpp", "*.h", "*.c")

# The library's floors, lowest first, each with what lives there.
FLOORS = [
    ("base", "the error value, texts, output, answer lines, stop signals"),
    ("flash", "the flash interfaces: controller, flash device, geometry, waits"),
    ("spi", "the serial NOR driver and its SFDP reading"),
    ("bpi", "the parallel NOR driver and its CFI reading"),
    ("device", "the board table, the register channel, the board record, discovery"),
    ("controller", "the controller classes, their SPI engines and parallel bus"),
    ("firmware", "firmware archives and the image in them"),
    ("programming", "the programming sequence: opening the flash, fit, write, read-back"),
    ("journal", "the journal of writes over SQLite, where it may be opened, the host's facts"),
    ("update", "the update of boards, their decisions, images, backups and rollback"),
]
# What the programs leave to the update module.
BELOW_THE_PROGRAMS = {"controller", "programming", "spi", "bpi"}


def files(root, *folders):
    for folder in folders:
        for pattern in SOURCES:
            yield from sorted((root / folder).rglob(pattern))


def includes(path, root):
    """The library headers `path` includes, each as its path under src/ ("update/u.hpp").

    A quoted include is looked for beside the including file first, then on the include path
    (src/ and the project's root); an angled one on the include path alone. An include that
    lands outside src/, or on no file of the project, is not returned."""
    src = root / "src"
    found = []
    for quoted, angled in INCLUDE.findall(path.read_text(errors="replace")):
        header = quoted or angled
        places = ([path.parent] if quoted else []) + [src, root]
        for place in places:
            target = pathlib.Path(os.path.normpath(place / header))
            if target.is_file():
                if target.is_relative_to(src):
                    found.append(target.relative_to(src).as_posix())
                break
    return found


def check(root):
    """The problems found under `root`, one line each; the count of library files checked."""
    src = root / "src"
    floor_of = {name: level for level, (name, _) in enumerate(FLOORS)}
    problems = []

    for path in files(root, "src", "sim", "tests", "bench", "fuzz"):
        relative = path.relative_to(root)
        inside_bin = relative.parts[:2] == ("src", "bin")
        for header in includes(path, root):
            if not header.startswith("bin/"):
                continue
            if not inside_bin:
                problems.append(f"{relative} includes {header}: only the programs use src/bin/")
            elif header.split("/")[1] != relative.parts[2]:
                problems.append(f"{relative} includes {header} from the other program")

    library = []
    for path in files(root, "src"):
        relative = path.relative_to(src)
        folder = relative.parts[0]
        for header in includes(path, root):
            target = header.split("/")[0]
            if target == "bin":
                continue
            if folder == "bin":
                if target in BELOW_THE_PROGRAMS and "tests" not in relative.parts:
                    problems.append(f"src/{relative} includes {header}: the programs reach "
                                    "the flash through src/update/")
                continue
            if folder not in floor_of:
                problems.append(f"src/{relative}: src/{folder}/ has no floor in FLOORS")
            elif target not in floor_of:
                problems.append(f"src/{relative} includes {header}: src/{target}/ has no floor")
            elif floor_of[target] > floor_of[folder]:
                problems.append(f"src/{relative} includes src/{header}: {folder} stands below "
                                f"{target}")
        if folder != "bin":
            library.append(path)

    # The library's include graph, by file, must have no cycle.
    graph = {}
    for path in library:
        name = str(path.relative_to(src))
        graph[name] = includes(path, root)
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

    return problems, len(library)


def main():
    problems, checked = check(pathlib.Path(sys.argv[1]).resolve())
    for problem in problems:
        print(problem)
    print(f"{checked} library files in {len(FLOORS)} floors checked; {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
