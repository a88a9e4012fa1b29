#!/usr/bin/env python3
"""The include check catches what it is there for: an upward include between floors, a cycle
within one, and an include into src/bin/ from below, in every form an include can take. Each
case is a small tree of its own."""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import include_layering  # noqa: E402


def tree(files):
    root = pathlib.Path(tempfile.mkdtemp(prefix="layering."))
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


class IncludeLayering(unittest.TestCase):
    CASES = [
        ("downward includes pass, and headers from outside the project are left alone",
         {"src/base/a.hpp": "",
          "src/update/u.cpp": '#include "base/a.hpp"\n#include <base/a.hpp>\n#include <vector>\n'
                              '#include "../base/a.hpp"\n#include <base/missing.hpp>\n'},
         []),
        ("an upward include names both files",
         {"src/base/a.hpp": '#include "update/u.hpp"\n', "src/update/u.hpp": ""},
         ["src/base/a.hpp includes src/update/u.hpp"]),
        ("an upward include relative to the including file",
         {"src/base/a.hpp": '#include "../update/u.hpp"\n', "src/update/u.hpp": ""},
         ["src/base/a.hpp includes src/update/u.hpp"]),
        ("an upward include in angle brackets",
         {"src/base/a.hpp": "#include <update/u.hpp>\n", "src/update/u.hpp": ""},
         ["src/base/a.hpp includes src/update/u.hpp"]),
        ("a folder without a floor",
         {"src/extra/x.hpp": '#include "base/a.hpp"\n', "src/base/a.hpp": ""},
         ["src/extra/ has no floor"]),
        ("a cycle within one floor, one side named beside the file",
         {"src/flash/a.hpp": '#include "b.hpp"\n',
          "src/flash/b.hpp": '#include "flash/a.hpp"\n'},
         ["include cycle"]),
        ("a program reaches past the update module",
         {"src/bin/tarnvel-fw/x.cpp": '#include "programming/p.hpp"\n',
          "src/bin/tarnvel-fw/tests/t.cpp": '#include "programming/p.hpp"\n',
          "src/programming/p.hpp": ""},
         ["src/bin/tarnvel-fw/x.cpp includes programming/p.hpp"]),
        ("the library and the tests include a program",
         {"src/update/u.cpp": '#include "bin/tarnvel-fw/x.hpp"\n',
          "tests/unit/t.cpp": '#include "../../src/bin/tarnvel-fw/x.hpp"\n',
          "src/bin/tarnvel-fw/x.hpp": ""},
         ["only the programs use src/bin/", "only the programs use src/bin/"]),
    ]

    def test_cases(self):
        for name, files, expected in self.CASES:
            with self.subTest(name):
                problems, _ = include_layering.check(tree(files))
                self.assertEqual(len(problems), len(expected), problems)
                for fragment, problem in zip(expected, problems):
                    self.assertIn(fragment, problem)


if __name__ == "__main__":
    unittest.main()
