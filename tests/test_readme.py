"""The README's Python examples run and show what the README says they show.

Every ```python (or ```pycon) block is a test of its own: a block with ">>>" prompts
runs as a doctest, a block without them runs as a script. The blocks share one
namespace in README order, so each test first replays the blocks above it.
"""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
if not README.is_file():
    pytest.skip(f"no README at {README} (the tests run from an installed copy)",
                allow_module_level=True)
# The examples use numpy, a test extra that an interpreter may have no wheel for.
pytest.importorskip("numpy")

FENCE = re.compile(r"^```([\w-]*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)
PYTHON = {"python", "py", "pycon"}
FLAGS = doctest.ELLIPSIS


def python_blocks(text: str) -> list[tuple[int, str]]:
    """(line of the block's first code line, code) of every Python block, in order."""
    return [(text.count("\n", 0, match.start(2)) + 1, match.group(2))
            for match in FENCE.finditer(text) if match.group(1) in PYTHON]


BLOCKS = python_blocks(README.read_text(encoding="utf-8"))


def run_block(line: int, code: str, namespace: dict) -> list[str]:
    """Runs one block; returns doctest's report of every failing example."""
    name = f"README.md:{line}"
    if ">>>" not in code:
        exec(compile(code, name, "exec"), namespace)
        return []
    test = doctest.DocTestParser().get_doctest(code, namespace, name, str(README), line - 1)
    test.globs = namespace  # shared with the other blocks, not copied
    failures: list[str] = []
    runner = doctest.DocTestRunner(verbose=False, optionflags=FLAGS)
    runner.run(test, out=failures.append, clear_globs=False)
    return failures


@pytest.mark.parametrize("index", range(len(BLOCKS)),
                         ids=[f"line-{line}" for line, _ in BLOCKS])
def test_readme_example(index):
    namespace: dict = {"__name__": "readme"}
    for line, code in BLOCKS[:index]:
        run_block(line, code, namespace)  # failures there belong to their own tests
    line, code = BLOCKS[index]
    failures = run_block(line, code, namespace)
    assert not failures, "".join(failures)


def test_blocks_are_found():
    text = "x\n```python\n>>> 1 + 1\n2\n```\n```\nshell\n```\n```pycon\n>>> 3\n3\n```\n"
    assert python_blocks(text) == [(3, ">>> 1 + 1\n2\n"), (10, ">>> 3\n3\n")]
    namespace: dict = {}
    assert run_block(3, ">>> a = 2\n>>> a * 3\n6\n", namespace) == []
    assert len(run_block(3, ">>> a * 3\n7\n", namespace)) == 1  # a wrong output is caught
