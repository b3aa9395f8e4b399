"""The module in a program that embeds CPython and finalises and restarts the interpreter
in one process: every cycle must get a working module, with the same results as the first
cycle and without memory growing with the work done.

tests/native/embed_cycles.cpp is built against every CPython 3.11+ on the machine that
has headers and a shared libpython (found the way tools/test_other_pythons.sh finds
interpreters) and imports the module installed for the interpreter running these tests."""
import glob
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vak_orn_kernel as vk

pytestmark = pytest.mark.source_checks

NATIVE = Path(__file__).parent / "native"
CYCLES = 3
# CPython leaves memory behind each cycle (up to 6 MiB on 3.12, with a sub-interpreter),
# and the resident size after a cycle varies by up to 20 MiB with what the allocators
# keep; each cycle makes and drops at least four times this bound in payloads.
MAX_GROWTH_PER_CYCLE_KIB = 64 * 1024


def interpreters():
    """One interpreter per version from 3.11 on: (version, executable, include dir, lib dir,
    library version), for those that can be embedded."""
    root = os.environ.get("PYENV_ROOT", "/root/.pyenv")
    candidates = sorted(glob.glob(f"{root}/versions/3.*/bin/python3"))
    candidates += sorted(glob.glob("/usr/bin/python3.1[1-9]") + glob.glob("/usr/local/bin/python3.1[1-9]"))
    query = ("import sys, sysconfig as s; print('%d.%d' % sys.version_info[:2]); "
             "[print(s.get_config_var(k)) for k in ('INCLUDEPY', 'LIBDIR', 'LDVERSION', "
             "'Py_ENABLE_SHARED')]")
    found = {}
    for python in candidates:
        try:
            out = subprocess.run([python, "-I", "-c", query], capture_output=True, text=True,
                                 timeout=60, check=True).stdout.split("\n")
        except (OSError, subprocess.SubprocessError):
            continue
        version, include, libdir, ldversion, shared = out[:5]
        if tuple(map(int, version.split("."))) < (3, 11) or version in found:
            continue
        if shared != "1" or not os.path.isfile(os.path.join(include, "Python.h")) or not \
                os.path.exists(os.path.join(libdir, f"libpython{ldversion}.so")):
            continue
        found[version] = (python, include, libdir, ldversion)
    return found


INTERPRETERS = interpreters()


@pytest.fixture(scope="module")
def module_dir(tmp_path_factory):
    """A directory holding only the module that this interpreter imports."""
    path = Path(vk.__file__)
    if not path.name.endswith(".abi3.so"):
        pytest.skip(f"not an abi3 shared object: {path.name}")
    directory = tmp_path_factory.mktemp("module")
    (directory / path.name).symlink_to(path)
    return directory


def run_cycles(version, module_dir, tmp_path, cycles):
    python, include, libdir, ldversion = INTERPRETERS[version]
    exe = tmp_path / f"embed_cycles_{version}"
    subprocess.run(["g++", "-std=c++20", "-O1", "-I", include, str(NATIVE / "embed_cycles.cpp"),
                    "-L", libdir, f"-lpython{ldversion}", f"-Wl,-rpath,{libdir}", "-pthread",
                    "-o", str(exe)], check=True, capture_output=True)
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    env["VAK_EMBED_MODULE_DIR"] = str(module_dir)
    env["VAK_EMBED_SUB_RESULT"] = str(tmp_path / "sub_interpreter_result")
    proc = subprocess.run([str(exe), python, str(NATIVE / "embedded_cycle.py"), str(cycles)],
                          capture_output=True, text=True, timeout=600, env=env)
    results = [json.loads(line[len("RESULT "):]) for line in proc.stdout.splitlines()
               if line.startswith("RESULT ")]
    at_exit = re.findall(r"^AT EXIT (.*)$", proc.stdout, re.M)
    objects = re.findall(r"^OBJECTS module=(\d+) type=(\d+)$", proc.stdout, re.M)
    rss = [int(m) for m in re.findall(r"^cycle \d+ rss_kib=(\d+)$", proc.stdout, re.M)]
    return proc, results, at_exit, objects, rss


@pytest.mark.not_under_sanitizer("the embedding program does not load the sanitizer runtime")
@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is needed to build the program")
@pytest.mark.parametrize("version", sorted(INTERPRETERS) or [
    pytest.param("none", marks=pytest.mark.skip(
        reason="no CPython 3.11+ with headers and a shared libpython found"))])
def test_every_interpreter_cycle_gets_a_working_module(version, module_dir, tmp_path):
    proc, results, at_exit, objects, rss = run_cycles(version, module_dir, tmp_path, CYCLES)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert len(results) == len(at_exit) == len(objects) == len(rss) == CYCLES, proc.stdout[-3000:]
    first = dict(results[0])
    # The first cycle is a fresh process: it sets the standard for the others.
    assert first["registry_at_start"] == 0
    assert first["reimport_gives_the_same_module"] is True
    assert first["sub_interpreter_import"] == "ImportError"
    assert first["interrupted_inside_a_released_call"] is True
    assert first["attributes"][2] == vk.__all__
    for cycle, result in enumerate(results[1:], start=2):
        differing = [key for (key, value), (_, expected) in zip(result, results[0])
                     if value != expected]
        assert not differing, f"cycle {cycle} differs from the first in {differing}"
        assert result == results[0]
    # Python's exit handlers, inside each finalisation, still find the module working.
    assert len(set(at_exit)) == 1, at_exit
    assert dict(json.loads(at_exit[0]))["taste_words_u32le"][4] == [0x80400, 0x90400, 0xA0400]
    # Each cycle's module and NativeBuffer type belong to its own interpreter.
    modules, types = zip(*objects)
    assert len(set(modules)) == len(set(types)) == CYCLES, objects
    # Cycle 1 takes one-time costs (the module's pages, the allocator, the worker pool).
    assert first["payload_bytes_made_and_dropped"] >= 4 * MAX_GROWTH_PER_CYCLE_KIB * 1024
    growth = [after - before for before, after in zip(rss[1:], rss[2:])]
    assert max(growth) < MAX_GROWTH_PER_CYCLE_KIB, rss


def test_import_refused_when_no_exit_function_can_be_registered():
    # Without its exit function a later interpreter would be handed objects of this one:
    # the import is refused instead. The slots are filled with a C function that does
    # nothing harmful when the process exits.
    proc = subprocess.run([sys.executable, "-c", """if True:
        import ctypes
        at_exit = ctypes.pythonapi.Py_AtExit
        at_exit.argtypes = [ctypes.c_void_p]
        harmless = ctypes.cast(ctypes.CDLL(None).getpid, ctypes.c_void_p)
        filled = 0
        while at_exit(harmless) == 0:
            filled += 1
        try:
            import vak_orn_kernel
            print("imported")
        except ImportError as error:
            print(filled, error)
        """], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    filled, _, message = proc.stdout.strip().partition(" ")
    assert 0 < int(filled) <= 32, proc.stdout
    assert "Py_AtExit is full" in message
