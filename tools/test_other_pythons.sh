#!/usr/bin/env bash
# Runs the test suite against one abi3 wheel under several CPython interpreters
# found on the machine (pyenv keeps several), each in a fresh venv with the
# wheel's test extras.
#
#   tools/test_other_pythons.sh [--wheel FILE] [--from 3.N] [--stubtest]
#
#   --wheel FILE  test this wheel (default: build one from the checkout)
#   --from 3.N    the oldest interpreter to test (default 3.12: the development
#                 build already runs the suite under 3.11)
#   --stubtest    also check the installed stub against the module with mypy's stubtest
#
# The interpreters run side by side, VAK_TEST_JOBS at a time (default: the number of
# processors).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

wheel=""
oldest=12
stubtest=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        --wheel) wheel="$(realpath "$2")"; shift 2 ;;
        --from) oldest="${2#3.}"; shift 2 ;;
        --stubtest) stubtest=1; shift ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
done
# The suite must import the module from each venv, never from a development build.
unset PYTHONPATH

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if [[ -z "$wheel" ]]; then
    python3 -m pip wheel --no-deps -w "$work/wheel" "$root" >/dev/null
    wheel="$(ls "$work"/wheel/vak_orn_kernel-*.whl)"
fi
echo "wheel: $(basename "$wheel")"

# Stubtest on 3.11: CPython 3.11 exposes the buffer protocol without the
# __buffer__ / __release_buffer__ wrappers that the stub declares for type checkers.
allowlist_311="$root/tools/stubtest_allowlist_py311.txt"

# One interpreter's check: the wheel in a fresh venv, the suite, the stub. Prints to
# its own log; the status says what failed.
check_one() {
    local py="$1" version="$2" start=$SECONDS
    echo "=== CPython $version ($py) ==="
    local venv="$work/venv-$version"
    "$py" -m venv "$venv"
    local extra_tools=()
    if [[ $stubtest == 1 ]]; then extra_tools+=(mypy); fi
    if ! "$venv/bin/python" -m pip install -q "$wheel[test]" "${extra_tools[@]}" \
            >"$work/pip-$version.log" 2>&1; then
        cat "$work/pip-$version.log"
        echo "could not install the wheel and its test extras under $version"
        return 2
    fi
    "$venv/bin/python" -c 'import sys, vak_orn_kernel as m; assert m.__file__.startswith(sys.prefix), m.__file__' || return 2
    local status=0
    # Each suite in a directory of its own: the tests write scratch files beside them.
    mkdir -p "$work/run-$version"
    if ! (cd "$work/run-$version" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests"); then
        status=1
    fi
    if [[ $stubtest == 1 ]]; then
        local allow=()
        if [[ $version == 3.11 ]]; then allow=(--allowlist "$allowlist_311"); fi
        if (cd "$work/run-$version" && "$venv/bin/python" -m mypy.stubtest vak_orn_kernel "${allow[@]}"); then
            echo "stubtest: the stub agrees with the module"
        else
            status=$((status | 4))
        fi
    fi
    echo "CPython $version: $((SECONDS - start)) s"
    return $status
}

# The interpreters run side by side, as many at a time as the machine has processors
# (each suite is mostly one thread); their logs are printed in order afterwards.
jobs="${VAK_TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}"
seen=""
failed=""
versions=()
pids=()
waited=0
wait_for() {  # the index of a job to wait for
    local k="$1" status=0
    wait "${pids[$k]}" || status=$?
    cat "$work/log-${versions[$k]}"
    if (( status & 1 )); then failed="$failed ${versions[$k]}"; fi
    if (( status & 4 )); then failed="$failed ${versions[$k]}(stubtest)"; fi
    if (( status == 2 )); then echo "could not install the wheel under ${versions[$k]}" >&2; exit 1; fi
}
# Real interpreters only: a pyenv shim of a version that is not selected fails.
candidates="$(ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.*/bin/python3 \
    /usr/bin/python3.1[1-9] /usr/local/bin/python3.1[1-9] 2>/dev/null || true)"
for py in $candidates; do
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" || continue
    minor="${version#3.}"
    if (( minor < oldest )) || [[ " $seen " == *" $version "* ]]; then continue; fi
    seen="$seen $version"
    versions+=("$version")
    check_one "$py" "$version" >"$work/log-$version" 2>&1 &
    pids+=($!)
    # Keep at most $jobs running: wait for the oldest still running.
    running=$(( ${#pids[@]} - $waited ))
    if (( running >= jobs )); then
        wait_for "$waited"
        waited=$(( $waited + 1 ))
    fi
done
for (( k = $waited; k < ${#pids[@]}; k++ )); do wait_for "$k"; done
if [[ -z "$seen" ]]; then echo "no CPython 3.$oldest+ found"; fi
if [[ -n "$failed" ]]; then
    echo "FAILED under:$failed"
    exit 1
fi
