#!/usr/bin/env bash
# ThreadSanitizer over the threaded parts: the batch-scan worker pool, the heap's
# purger thread, the normal-word registry and the process-wide objects.
#
#  1. The native probes (tests/native/*_threads_probe.cpp), built with
#     -fsanitize=thread from the cores' own sources, without Python.
#  2. Unless --probes-only: the module built with ThreadSanitizer
#     (VAK_SANITIZE_THREAD=ON, into build/tsan-module) and the threaded Python
#     tests against it, with the runtime preloaded into the interpreter. Extra
#     arguments go to pytest.
#
# Native memory comes from the C allocator (VAK_CHECKED_HEAP). mimalloc's
# archive is not instrumented: the sanitizer cannot see how it hands blocks
# from one thread to another, and reports every reuse of such a block as a race.
#
# Every report ends the process that made it and is written to a log file; the
# run fails when a log exists, whatever the probe or test made of it.
set -euo pipefail
cd "$(dirname "$0")/.."

probes_only=0
if [[ "${1:-}" == "--probes-only" ]]; then
    probes_only=1
    shift
fi
out="${VAK_TSAN_BUILD_DIR:-build/tsan}"
jobs="${JOBS:-2}"
unset RAYON_NUM_THREADS RAYON_RS_NUM_CPUS VAK_ORN_KERNEL_DEBUG_POOL

runtime="$(g++ -print-file-name=libtsan.so)"
if [[ "$runtime" != /* || ! -e "$runtime" ]]; then
    # Debian's g++ brings it; a trimmed image may lack the runtime package.
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        "libgcc-$(g++ -dumpversion | cut -d. -f1)-dev" >/dev/null
    runtime="$(g++ -print-file-name=libtsan.so)"
    if [[ "$runtime" != /* || ! -e "$runtime" ]]; then
        echo "run_thread_sanitizer: g++ has no libtsan.so" >&2
        exit 2
    fi
fi

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
# die_after_fork=0: the probes and tests fork while threads run. The sanitizer
# does not check such a child (tests/native/thread_probe_support.hpp says what
# the probes' children do under it).
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1:die_after_fork=0:log_path=$logs/tsan"

fail_on_reports() {
    if [[ -n "$(ls -A "$logs")" ]]; then
        for report in "$logs"/*; do
            echo "==== $(basename "$report")"
            cat "$report"
        done >&2
        echo "run_thread_sanitizer: reports above ($1)" >&2
        exit 1
    fi
}

# Runs "$@" in the background, at most $jobs at a time; a failure ends the script.
running=0
spawn() {
    "$@" &
    if (( ++running >= jobs )); then wait -n; running=$((running - 1)); fi
}
wait_all() {
    while (( running > 0 )); do wait -n; running=$((running - 1)); done
}

# ------------------------------------------------------------------ probes
flags=(-std=c++20 -O1 -g -fsanitize=thread -fno-omit-frame-pointer -DVAK_CHECKED_HEAP
       -Wall -Wextra -Werror -Isrc -pthread)
mkdir -p "$out/obj"
rm -f "$out"/obj/*.o "$out/libvak_cores.a"
# The cores the probes use; none of these folders touches Python.
for source in src/common/*.cpp src/scan/*.cpp src/registry/*.cpp src/text/*.cpp; do
    spawn g++ "${flags[@]}" -c "$source" -o "$out/obj/$(basename "${source%.cpp}").o"
done
wait_all
ar rcs "$out/libvak_cores.a" "$out"/obj/*.o
for probe in pool_threads_probe purger_threads_probe registry_threads_probe text_thread_probe \
             block_pool_threads_probe; do
    spawn g++ "${flags[@]}" "tests/native/$probe.cpp" "$out/libvak_cores.a" -o "$out/$probe"
done
wait_all

# A deliberate race first: proves that reports end the process and reach the logs.
printf '%s\n' '#include <thread>' 'int shared;' \
    'int main() { std::thread a([] { ++shared; }); ++shared; a.join(); return shared; }' |
    g++ -x c++ -std=c++20 -O1 -fsanitize=thread -pthread - -o "$out/deliberate_race"
if "$out/deliberate_race" 2>/dev/null || [[ -z "$(ls -A "$logs")" ]]; then
    echo "run_thread_sanitizer: the sanitizer runtime does not report races" >&2
    exit 2
fi
rm -f "$logs"/*

run() {  # [VAR=value...] probe mode
    local started=$SECONDS
    if ! env "$@"; then
        fail_on_reports "$*"
        echo "run_thread_sanitizer: $* failed" >&2
        exit 1
    fi
    fail_on_reports "$*"
    echo "  ($*: $((SECONDS - started)) s)"
}
# The pool's size as on this machine, and more workers than processors.
for size in 2 5; do
    for mode in batches cancel fork; do
        run RAYON_NUM_THREADS=$size "$out/pool_threads_probe" $mode
    done
done
run RAYON_NUM_THREADS=3 "$out/purger_threads_probe" purges
run "$out/purger_threads_probe" fork
# A first making that throws cannot be retried under the sanitizer, whose
# once-call does not unwind: that case runs in the plain build only.
run "$out/registry_threads_probe" registry
run "$out/registry_threads_probe" once
run "$out/block_pool_threads_probe" churn
run "$out/block_pool_threads_probe" fork
# The text encoder's own thread beside the caller: pieces shared, stopped, no thread.
for mode in shared stop no-thread; do
    run "$out/text_thread_probe" $mode
done
echo "run_thread_sanitizer: probes clean"
[[ $probes_only == 1 ]] && exit 0

# ------------------------------------------------------------------ module
# Absolute: tests start children in other directories, and a relative entry of
# PYTHONPATH would let them import the installed module instead of this build.
build="$(realpath -m "${VAK_TSAN_MODULE_DIR:-build/tsan-module}")"
# The interpreter itself, not a launcher script in front of it (pyenv's shims
# are shell scripts, and a shell with the runtime preloaded crashes at start).
python="$(python3 -c 'import sys; print(sys.executable)')"
cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$python" -DVAK_SANITIZE_THREAD=ON \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"

# The interpreter is not instrumented, so the runtime must be in the process
# before anything else. Its suppressions name one report that is not about this
# code (see the file).
export LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
export TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$PWD/tools/thread_sanitizer.supp"
export PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}"
# Every test process (children included) checks that it imports this build.
export VAK_ORN_KERNEL_EXPECTED_BUILD="$build"
"$python" -c '
import os, sys, vak_orn_kernel
if not os.path.abspath(vak_orn_kernel.__file__).startswith(os.path.abspath(sys.argv[1])):
    sys.exit("run_thread_sanitizer: imported " + vak_orn_kernel.__file__)
if "libtsan" not in open("/proc/self/maps").read():
    sys.exit("run_thread_sanitizer: the runtime is not loaded")
' "$build"

# Not the worker-count rules (child interpreters and probes that only read the
# environment and fake cgroup trees) nor the conversion under a memory cap: they
# run nothing threaded of the module and would take most of the time.
status=0
"$python" -m pytest -q -p no:cacheprovider tests/test_threads.py tests/test_batch.py \
    -k "not worker_count and not affinity and not cgroup and not quota and not failed_conversion" \
    "$@" || status=$?
fail_on_reports "the Python tests"
exit "$status"
