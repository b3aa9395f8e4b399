import os
import platform
import threading

import pytest

import kernel_paths

# Under an interpreter that a test extra has no wheel for, the test files that need it
# skip themselves (pytest.importorskip); the others run.
try:
    from hypothesis import HealthCheck, settings
except ImportError:
    pass
else:
    settings.register_profile(
        "ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
    )
    settings.register_profile("dev", max_examples=50, deadline=None)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def _runtime_loaded(name: str) -> bool:
    try:
        with open("/proc/self/maps") as maps:
            return any(name in line for line in maps)
    except OSError:
        return False


# A run against one particular build (the sanitizer scripts) names it: this process, and every
# pytest a test starts in a child, refuses to test any other build of the module.
_EXPECTED_BUILD = os.environ.get("VAK_ORN_KERNEL_EXPECTED_BUILD")
if _EXPECTED_BUILD:
    import vak_orn_kernel as _module

    if not os.path.realpath(_module.__file__).startswith(os.path.realpath(_EXPECTED_BUILD) + os.sep):
        pytest.exit(f"imported {_module.__file__}, not the build in {_EXPECTED_BUILD}", returncode=3)

UNDER_SANITIZER = _runtime_loaded("libasan")
UNDER_THREAD_SANITIZER = _runtime_loaded("libtsan")
# Both sanitizer builds take native memory from another allocator than the release's (the
# checked heap): no pool in front of it, none of mimalloc's options.
CHECKED_HEAP = UNDER_SANITIZER or UNDER_THREAD_SANITIZER


def _user_mode_emulated() -> bool:
    """Whether a user-mode emulator (qemu-user) runs this process's instructions.

    The emulator rewrites /proc/self/exe to name the emulated program, but the kernel's link
    for this thread, reached by a path the emulator passes through, names the emulator itself.
    Should an emulator rewrite that path too, /proc/cpuinfo still describes the host's processor:
    an x86 kernel under an arm64 Python. Neither can hold on the hardware the kernel runs on.
    """
    try:
        kernel_exe = os.readlink(f"/proc/self/task/{threading.get_native_id()}/exe")
    except OSError:
        kernel_exe = ""
    if os.path.basename(kernel_exe).startswith("qemu-"):
        return True
    if platform.machine() not in ("aarch64", "arm64"):
        return False
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            return any(line.startswith("vendor_id") for line in cpuinfo)
    except OSError:
        return False


UNDER_EMULATION = _user_mode_emulated()
# Whether a process's resident memory shows what the module keeps. Under an emulator it
# also holds the emulator's own heap and translated code, which grow with every call;
# under AddressSanitizer freed blocks stay resident in its quarantine. Tests that bound
# resident memory check their objects and threads there, and leave the bytes out.
RESIDENT_MEMORY_IS_OURS = not (UNDER_EMULATION or UNDER_SANITIZER)
# The reason of every test that caps the address space to exhaust memory.


def on_processor(latency: float, wall: float, cpu: float) -> float:
    """A latency measured in wall time, less the share of the call the process spent waiting
    for a processor (`wall` and `cpu`: the call's wall time and the process's CPU time over
    it). On a loaded machine a call can sit runnable for longer than any bound; a call that
    never looks at signals runs on to its end and is late either way. A call on several
    threads (CPU time beyond wall time) is taken as it was measured."""
    return latency * min(1.0, cpu / wall) if wall > 0 else latency


AS_LIMIT_IGNORED = ("the emulator answers setrlimit(RLIMIT_AS) with success but neither keeps "
                    "nor enforces the limit")


# Tests of the sources and of programs compiled from them (native probes, the generated tables,
# the module's coding rules, the embedding program, which itself runs every interpreter on the
# machine): the build of the module under test does not change their outcome. CI runs them with
# the README's test command and leaves them out (-m "not source_checks") where it runs the suite
# again against another build or interpreter. Tests that take a native probe's fixture are
# marked here; the others carry the mark themselves.
NATIVE_PROBE_FIXTURES = {"probe", "probe_exe", "portable_probe", "probes", "kernel_probe"}


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "source_checks: checks the sources or programs compiled from them, not the installed "
        "module's build")
    config.addinivalue_line(
        "markers",
        "not_under_sanitizer(reason): skipped when the AddressSanitizer runtime is loaded "
        "(tools/run_sanitized_tests.sh)")
    config.addinivalue_line(
        "markers",
        "not_under_thread_sanitizer(reason): skipped when the ThreadSanitizer runtime is loaded "
        "(tools/run_thread_sanitizer.sh)")
    config.addinivalue_line(
        "markers",
        "needs_release_heap(reason): skipped under either sanitizer, whose builds take native "
        "memory from the checked heap instead of mimalloc and the block pool")
    config.addinivalue_line(
        "markers",
        "not_under_emulation(reason): skipped when a user-mode emulator runs the interpreter "
        "(tools/test_aarch64.sh), where the reason says what the emulator does differently")


def pytest_collection_modifyitems(config, items):
    skips = {"not_under_sanitizer": ("AddressSanitizer", UNDER_SANITIZER),
             "not_under_thread_sanitizer": ("ThreadSanitizer", UNDER_THREAD_SANITIZER),
             "needs_release_heap": ("a sanitizer's checked heap", CHECKED_HEAP),
             "not_under_emulation": ("user-mode emulation", UNDER_EMULATION)}
    for item in items:
        if NATIVE_PROBE_FIXTURES.intersection(item.fixturenames):
            item.add_marker(pytest.mark.source_checks)
        for marker, (runtime, loaded) in skips.items():
            mark = item.get_closest_marker(marker)
            if loaded and mark is not None:
                item.add_marker(pytest.mark.skip(reason=f"under {runtime}: {mark.args[0]}"))


@pytest.fixture(scope="session")
def kernel_choice_probe(tmp_path_factory):
    return kernel_paths.build_choice_probe(tmp_path_factory.mktemp("kernel_choice"))


@pytest.fixture(scope="session")
def runnable_paths(kernel_choice_probe):
    """The vector kernel paths this processor runs, narrowest first."""
    return kernel_paths.probe_report(kernel_choice_probe)[0]
