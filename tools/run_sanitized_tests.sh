#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer
# (VAK_SANITIZE=ON) into build/sanitize and runs the whole test suite against it
# with the sanitizer runtimes preloaded into the interpreter.
#
# Every report, in the test process or in any child process it starts, ends
# that process and is written to a log file; the run fails when a log exists,
# whatever the tests made of the dead process. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

# Absolute: tests start children in other directories, and a relative entry of
# PYTHONPATH would let them import the installed module instead of this build.
build="$(realpath -m "${VAK_SANITIZE_BUILD_DIR:-build/sanitize}")"
python="$(command -v python3)"

cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$python" -DVAK_SANITIZE=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-2}"

# The module is a shared object loaded by an uninstrumented interpreter, so the
# runtimes must be in the process before anything else.
runtimes=""
for name in libasan.so libubsan.so; do
    path="$(g++ -print-file-name="$name")"
    if [[ "$path" != /* || ! -e "$path" ]]; then
        echo "run_sanitized_tests: g++ has no $name" >&2
        exit 2
    fi
    runtimes+="${runtimes:+ }$path"
done

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

# detect_leaks=0: the interpreter itself does not free everything at exit.
# allocator_may_return_null=1: an allocation that cannot be satisfied (the tests
# that cap the address space) returns null, which the module turns into
# MemoryError, instead of ending the process with a report.
export LD_PRELOAD="$runtimes${LD_PRELOAD:+ $LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
# Every test process (children included) checks that it imports this build.
export VAK_ORN_KERNEL_EXPECTED_BUILD="$build"

# A deliberate overflow first: proves that reports end the process and reach the logs.
if "$python" -c '
import ctypes
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
ctypes.memset(libc.malloc(16), 0, 17)
' 2>/dev/null || [[ -z "$(ls -A "$logs")" ]]; then
    echo "run_sanitized_tests: the sanitizer runtime does not report errors" >&2
    exit 2
fi
rm -f "$logs"/*

"$python" -c '
import os, sys, vak_orn_kernel
if not os.path.abspath(vak_orn_kernel.__file__).startswith(os.path.abspath(sys.argv[1])):
    sys.exit("run_sanitized_tests: imported " + vak_orn_kernel.__file__)
' "$build"

status=0
"$python" -m pytest -q -p no:cacheprovider "$@" || status=$?

if [[ -n "$(ls -A "$logs")" ]]; then
    for report in "$logs"/*; do
        echo "==== $(basename "$report")"
        cat "$report"
    done >&2
    echo "run_sanitized_tests: sanitizer reports above" >&2
    exit 1
fi
exit "$status"
