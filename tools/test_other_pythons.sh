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

seen=""
failed=""
# Real interpreters only: a pyenv shim of a version that is not selected fails.
candidates="$(ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.*/bin/python3 \
    /usr/bin/python3.1[1-9] /usr/local/bin/python3.1[1-9] 2>/dev/null || true)"
for py in $candidates; do
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" || continue
    minor="${version#3.}"
    if (( minor < oldest )) || [[ " $seen " == *" $version "* ]]; then continue; fi
    seen="$seen $version"
    echo "=== CPython $version ($py) ==="
    start=$SECONDS
    venv="$work/venv-$version"
    "$py" -m venv "$venv"
    extra_tools=()
    if [[ $stubtest == 1 ]]; then extra_tools+=(mypy); fi
    if ! "$venv/bin/python" -m pip install -q "$wheel[test]" "${extra_tools[@]}" \
            >"$work/pip-$version.log" 2>&1; then
        cat "$work/pip-$version.log"
        echo "could not install the wheel and its test extras under $version" >&2
        exit 1
    fi
    "$venv/bin/python" -c 'import sys, vak_orn_kernel as m; assert m.__file__.startswith(sys.prefix), m.__file__'
    if ! (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests"); then
        failed="$failed $version"
    fi
    if [[ $stubtest == 1 ]]; then
        allow=()
        if [[ $version == 3.11 ]]; then allow=(--allowlist "$allowlist_311"); fi
        if (cd "$work" && "$venv/bin/python" -m mypy.stubtest vak_orn_kernel "${allow[@]}"); then
            echo "stubtest: the stub agrees with the module"
        else
            failed="$failed $version(stubtest)"
        fi
    fi
    echo "CPython $version: $((SECONDS - start)) s"
done
if [[ -z "$seen" ]]; then echo "no CPython 3.$oldest+ found"; fi
if [[ -n "$failed" ]]; then
    echo "FAILED under:$failed"
    exit 1
fi
