"""The source checks that keep fault classes out of code written later really find them."""
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHECKER = ROOT / "tools" / "check_module_rules.py"
pytestmark = [pytest.mark.source_checks,
              pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="needs the source tree")]


def check(tree):
    return subprocess.run([sys.executable, str(CHECKER), str(tree)], capture_output=True, text=True)


def test_the_tree_keeps_the_rules():
    proc = check(ROOT)
    assert proc.returncode == 0, proc.stdout


@pytest.mark.parametrize("file,line,reason", [
    ("src/module/scan_binding.cpp", "PyErr_Clear();", "clears a Python exception"),
    ("src/module/image_binding.cpp", "PyObject* l = PyList_New(n);", "list with empty slots"),
    ("src/module/scan_result.cpp", "PyObject* t = PyTuple_New(2);", "tuple with empty slots"),
    ("src/scan/core_scan.cpp", "#include <Python.h>", "includes Python.h"),
])
def test_a_planted_breach_is_found(tmp_path, file, line, reason):
    shutil.copytree(ROOT / "src", tmp_path / "src")
    with open(tmp_path / file, "a") as out:
        out.write("\n" + line + "\n")
    proc = check(tmp_path)
    assert proc.returncode == 1
    assert file in proc.stdout and reason in proc.stdout, proc.stdout
