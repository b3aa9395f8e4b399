"""The native thread probes (tests/native/*_threads_probe.cpp) as plain programs:
callers of every batch size on the worker pool at once, callers interrupted while
their job runs or waits, forks while the pool and the heap's purger are busy,
the purger starting and ending among the pool's workers, the process-wide
objects made and replaced from several threads, and the heap's pool of freed
blocks shared by threads that take, keep and drain it. Each probe checks its own
results and exits non-zero on a failed check; tools/run_thread_sanitizer.sh runs
the same probes under ThreadSanitizer."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.source_checks

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ROOT / "tests" / "native"
# The cores the probes link: everything of these folders, none of which touches Python.
CORE_DIRS = ("common", "scan", "registry")
PROBES = ("pool_threads_probe", "purger_threads_probe", "registry_threads_probe",
          "block_pool_threads_probe")
# The checked heap: native memory from the C allocator, so the probes need only the tree.
FLAGS = ["-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-DVAK_CHECKED_HEAP", "-pthread",
         "-I", str(ROOT / "src")]


def must_run(command, cwd):
    """A probe that does not build is a failure, not a skip."""
    built = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    assert built.returncode == 0, f"{' '.join(command)}\n{built.stderr}"


@pytest.fixture(scope="module")
def probes(tmp_path_factory):
    if shutil.which("g++") is None:
        pytest.fail("g++ (which the README requires) is not on PATH")
    out = tmp_path_factory.mktemp("thread_probes")
    sources = sorted(str(p) for d in CORE_DIRS for p in (ROOT / "src" / d).glob("*.cpp"))
    # Two compilers at once: the machine has two cores.
    halves = [subprocess.Popen(["g++", *FLAGS, "-c", *sources[k::2]], cwd=out,
                               stderr=subprocess.PIPE, text=True) for k in (0, 1)]
    for half in halves:
        _, errors = half.communicate()
        assert half.returncode == 0, errors
    must_run(["ar", "rcs", "libcores.a", *sorted(p.name for p in out.glob("*.o"))], out)
    for name in PROBES:
        must_run(["g++", *FLAGS, str(NATIVE / f"{name}.cpp"), "libcores.a", "-o", name], out)
    return out


def run_probe(probes, name, mode, pool_size=None):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if pool_size is not None:
        env["RAYON_NUM_THREADS"] = pool_size
    proc = subprocess.run([str(probes / name), mode], capture_output=True, text=True, timeout=300,
                          env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.splitlines()


# ---------------------------------------------------------------- worker pool

@pytest.mark.parametrize("pool_size", ["1", "3"])
def test_callers_of_every_batch_size_at_once(probes, pool_size):
    assert run_probe(probes, "pool_threads_probe", "batches", pool_size) == [
        f"batches: ok (4 callers, pool of {pool_size})"]


@pytest.mark.parametrize("pool_size", ["1", "3"])
def test_interrupted_callers_leave_no_task_running(probes, pool_size):
    running, queued, at_random = run_probe(probes, "pool_threads_probe", "cancel", pool_size)
    assert running == "cancel while running: ok"
    assert queued.startswith("cancel while queued: ok")
    counts = re.fullmatch(r"cancel at random: (\d+) calls interrupted, (\d+) completed", at_random)
    assert counts and int(counts[1]) + int(counts[2]) == 40, at_random


# AddressSanitizer's allocator, preloaded into the probes by the sanitized suite, is
# not locked around fork(): a child forked while another thread is inside malloc
# waits for the allocator's lock forever.
NOT_UNDER_ASAN_FORK = pytest.mark.not_under_sanitizer(
    "its allocator is not locked around fork(), so a child can wait on it forever")


@NOT_UNDER_ASAN_FORK
def test_children_forked_while_the_pool_is_busy_run_batches(probes):
    (line,) = run_probe(probes, "pool_threads_probe", "fork", "3")
    assert line.startswith("fork: ok (6 children")


# ---------------------------------------------------------------- purger, process-wide objects

def test_purger_starts_purges_and_ends_among_workers(probes):
    (line,) = run_probe(probes, "purger_threads_probe", "purges", "2")
    bursts, purges = map(int, re.match(r"purger: ok \((\d+) bursts, (\d+) purges", line).groups())
    assert purges >= bursts


@pytest.mark.parametrize("mode,expected", [
    ("registry", r"registry: ok \(4 writers, 2 readers, \d+ reads before creation\)"),
    ("once", r"once: ok \(1 makings, 0 callers got the exception\)"),
    ("once-retry", r"once: ok \(2 makings, 1 callers got the exception\)"),
])
def test_process_wide_objects_under_threads(probes, mode, expected):
    (line,) = run_probe(probes, "registry_threads_probe", mode)
    assert re.fullmatch(expected, line), line


@NOT_UNDER_ASAN_FORK
def test_children_forked_while_purges_are_asked_for_purge_on_their_own(probes):
    assert run_probe(probes, "purger_threads_probe", "fork") == ["purger fork: ok (100 children)"]


def test_the_pool_of_freed_blocks_hands_each_block_to_one_thread_at_a_time(probes):
    (line,) = run_probe(probes, "block_pool_threads_probe", "churn")
    assert re.fullmatch(r"churn: ok \(\d+ blocks reused\)", line), line


@NOT_UNDER_ASAN_FORK
def test_children_forked_while_the_pool_of_freed_blocks_is_busy_use_it(probes):
    assert run_probe(probes, "block_pool_threads_probe", "fork") == ["fork: ok (20 children)"]
