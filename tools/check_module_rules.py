#!/usr/bin/env python3
"""Rules of the module that a compiler does not check, kept by looking at the sources.

- A Python exception is cleared in one place only, `clear_expected` / `cleared_if_expected`
  in src/module/call_frame.cpp, which name the exception types a caller may clear: any other
  exception (raised by a signal handler, sent from another thread, MemoryError) must reach
  the caller unchanged.
- Lists and tuples with items are made in src/module/result_builders.cpp only, where they are
  either assembled from finished items or filled with placeholders first: a list with empty
  slots that other Python code can reach (gc.get_objects()) crashes whoever reads it.
- The native cores never include Python.h.

Usage: check_module_rules.py [TREE] (default: this checkout). Exits non-zero, naming file and
line, on any breach."""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

RULES = [
    (re.compile(r"\bPyErr_Clear\s*\("), {"src/module/call_frame.cpp"},
     "clears a Python exception: use clear_expected({...}) naming the types"),
    (re.compile(r"\bPyList_New\s*\((?!\s*0\s*\))"), {"src/module/result_builders.cpp"},
     "makes a list with empty slots: use placeholder_list / list_of (result_builders.hpp)"),
    (re.compile(r"\bPyTuple_New\s*\("), {"src/module/result_builders.cpp"},
     "makes a tuple with empty slots: use tuple_of (result_builders.hpp)"),
]
CORE_DIRS = ["src/common", "src/scan", "src/text", "src/image", "src/registry"]
PYTHON_H = re.compile(r'#\s*include\s*[<"]Python\.h[>"]')


def main(root: pathlib.Path) -> int:
    breaches = []
    for path in sorted((root / "src").rglob("*")):
        if path.suffix not in (".cpp", ".hpp"):
            continue
        rel = path.relative_to(root).as_posix()
        text = path.read_text(encoding="utf-8")
        for number, line in enumerate(text.splitlines(), 1):
            code = line.split("//", 1)[0]
            for pattern, allowed, why in RULES:
                if pattern.search(code) and rel not in allowed:
                    breaches.append(f"{rel}:{number}: {why}")
            if any(rel.startswith(d + "/") for d in CORE_DIRS) and PYTHON_H.search(code):
                breaches.append(f"{rel}:{number}: a native core includes Python.h")
    for breach in breaches:
        print(breach)
    print(f"module rules: {'clean' if not breaches else f'{len(breaches)} breaches'}")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT))
