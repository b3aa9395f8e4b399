"""The vector kernel paths (portable, avx2, avx512) as the tests see them: the probe
that reports which ones this processor runs, and test files rerun in a child process
forced onto one path by the environment switch."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent
SRC = TESTS.parent / "src"
NATIVE = TESTS / "native"

PATH_SWITCH = "VAK_ORN_KERNEL_SCAN_PATH"
ALL_PATHS = ["portable", "avx2", "avx512"]


def compile_or_fail(command):
    """Runs g++; a probe that does not build is a failure, not a skip: it must
    compile from the source tree and what the project installs."""
    if shutil.which("g++") is None:
        pytest.fail("g++ (which the README requires) is not on PATH")
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, f"the probe does not build:\n{' '.join(command)}\n{built.stderr}"


def run_probe(exe, *args, env=None):
    out = subprocess.run([str(exe), *args], capture_output=True, text=True, timeout=300, env=env)
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


def build_choice_probe(directory):
    exe = Path(directory) / "kernel_choice_probe"
    compile_or_fail(["g++", "-std=c++20", "-O1", "-I", str(SRC),
                     str(NATIVE / "kernel_choice_probe.cpp"),
                     str(SRC / "common" / "kernel_choice.cpp"), "-o", str(exe)])
    return exe


def probe_report(probe, request=None):
    """The paths this processor runs (narrowest first), and the one a process takes
    with the switch set to `request` (None: unset)."""
    env = {k: v for k, v in os.environ.items() if k != PATH_SWITCH}
    if request is not None:
        env[PATH_SWITCH] = request
    supported, chosen = run_probe(probe, env=env).split("\n")[:2]
    return supported.split(), chosen


def assert_tests_pass_on_path(path, runnable, files,
                              deselect="not test_native_ and not on_every_path"):
    """Reruns the test `files` in a child process forced onto `path`. Skipped where
    this processor lacks the path, and for the path the suite itself runs on (the
    widest): its own run covers that one."""
    if PATH_SWITCH in os.environ:
        pytest.skip("already running on a forced path")
    if path not in runnable:
        pytest.skip(f"this processor does not run the {path} path")
    if path == runnable[-1]:
        pytest.skip(f"the suite itself runs on the {path} path")
    env = dict(os.environ, **{PATH_SWITCH: path})
    child = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-x", "-k", deselect,
         *(str(TESTS / f) for f in files)],
        capture_output=True, text=True, env=env, cwd=TESTS, timeout=900)
    assert child.returncode == 0, child.stdout[-4000:] + child.stderr[-2000:]
