#!/usr/bin/env bash
# Runs the test suite against one abi3 wheel under CPython versions newer than the
# machine's own interpreters, taken from Debian unstable: a minimal sid root made with
# debootstrap carries python3.14 and python3.15.
#
#   tools/test_newer_pythons.sh [--wheel FILE] [--versions "3.14 3.15"] [--root DIR]
#                               [--mirror URL] [--rebuild-root] [--stubtest] [-- PYTEST ARGS]
#
#   --wheel FILE    test this wheel (default: build one from the checkout on the host)
#   --versions      the interpreters to test (default "3.14 3.15")
#   --root DIR      the sid root (default /var/tmp/vak_orn_kernel-sid, or $VAK_SID_ROOT);
#                   made on first use, kept and reused while complete, made again if broken
#   --mirror URL    the Debian mirror (default http://deb.debian.org/debian)
#   --rebuild-root  make the root afresh (sid moves: this picks up newer interpreters)
#   --stubtest      also check the installed stub against the module with mypy's stubtest
#
# Each interpreter gets a fresh venv inside the root with the wheel and those of its test
# extras that have binary wheels for that version (pip never compiles anything in the root);
# what cannot be installed is named, and the tests that need it skip. Nothing is built in the
# root: the module is the host's wheel. The suite runs on a copy of tests/ (with the README
# and the examples it reads), minus the source checks and the reruns on other kernel paths
# (both compile sources or probes). PYTEST_ADDOPTS (added after those selections) and
# HYPOTHESIS_PROFILE pass through to the suites; the interpreters run side by side,
# VAK_TEST_JOBS at a time (default: the number of processors).
#
# Must run as root (apt-get, debootstrap, chroot, mounts). A mirror or package index that
# cannot be reached is a failure, never a skip.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

wheel=""
versions="3.14 3.15"
root="${VAK_SID_ROOT:-/var/tmp/vak_orn_kernel-sid}"
mirror="http://deb.debian.org/debian"
rebuild=0
stubtest=0
pytest_args=()
while (( $# > 0 )); do
    case "$1" in
        --wheel) wheel="$(realpath "$2")"; shift ;;
        --versions) versions="$2"; shift ;;
        --root) root="$(realpath -m "$2")"; shift ;;
        --mirror) mirror="$2"; shift ;;
        --rebuild-root) rebuild=1 ;;
        --stubtest) stubtest=1 ;;
        --) shift; pytest_args=("$@"); break ;;
        *) echo "test_newer_pythons.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done
say() { echo "=== sid: $*"; }
fail() { echo "test_newer_pythons.sh: FAILED: $*" >&2; exit 1; }

if [[ $(id -u) != 0 ]]; then
    echo "test_newer_pythons.sh: must run as root (apt-get, debootstrap, chroot, mounts)" >&2
    exit 2
fi
[[ -n $root && $root != / ]] || fail "refusing the root \"$root\""
# The suite must import the module from each venv, never from a development build.
unset PYTHONPATH

# One run at a time per root: the mounts and the work directory inside it are shared.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
if ! flock -n 9; then
    say "waiting for another run that uses $root"
    flock 9
fi

# Everything started in the background and everything mounted, undone on every exit path.
work="$(mktemp -d)"
pids=()
mounted=()
cleanup() {
    local pid i
    for pid in "${pids[@]}"; do
        if kill -0 "$pid" 2>/dev/null; then kill -- "-$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true; fi
    done
    wait 2>/dev/null || true
    for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" 2>/dev/null \
            || echo "test_newer_pythons.sh: could not unmount ${mounted[i]}" >&2
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Mounts below the root (left by an interrupted debootstrap or run), deepest first.
mounts_below_root() {
    awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | sort -r
}
unmount_below_root() {
    local target
    for target in $(mounts_below_root); do umount -R "$target" 2>/dev/null || umount -l "$target"; done
    [[ -z "$(mounts_below_root)" ]] || fail "something is still mounted below $root"
}

if ! command -v debootstrap >/dev/null; then
    say "installing debootstrap"
    apt-get update -qq || fail "apt-get update failed (is the network reachable?)"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null \
        || fail "could not install debootstrap"
fi

if [[ -z "$wheel" ]]; then
    say "building the wheel from the checkout"
    python3 -m pip wheel --no-deps -w "$work/wheel" "$repo" >"$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log"; fail "the wheel did not build"; }
    wheel="$(ls "$work"/wheel/vak_orn_kernel-*.whl)"
fi
[[ -f $wheel ]] || fail "no wheel at $wheel"
say "wheel: $(basename "$wheel")"

# ------------------------------------------------------------------ the sid root
packages=""
for v in $versions; do packages="$packages,python$v,python$v-venv"; done
packages="${packages#,}"
stamp="$root/.vak-root-complete"  # written once debootstrap has finished
root_works() {
    [[ -f $stamp ]] || return 1
    local v
    for v in $versions; do
        chroot "$root" "/usr/bin/python$v" -c 'import ensurepip, ssl, venv' 2>/dev/null || return 1
    done
}
if (( rebuild )) || ! root_works; then
    if [[ -e $root ]]; then
        # Only what this script made (or an empty directory) is ever removed.
        [[ -f $stamp || -d $root/debootstrap || -f $root/etc/debian_version || -z "$(ls -A "$root")" ]] \
            || fail "$root is not a root this script made; not removing it"
        say "the root in $root is incomplete, broken, lacks one of $versions or is to be made afresh: removing it"
        unmount_below_root
        rm -rf --one-file-system "$root"
    fi
    say "debootstrap sid ($packages) from $mirror into $root"
    start=$SECONDS
    if ! debootstrap --variant=minbase --include="$packages" sid "$root" "$mirror" \
            >"$root.debootstrap.log" 2>&1; then
        tail -20 "$root.debootstrap.log"
        unmount_below_root
        fail "debootstrap failed (log: $root.debootstrap.log); is $mirror reachable?"
    fi
    touch "$stamp"
    root_works || fail "the new root cannot run every interpreter of: $versions"
    say "root made in $((SECONDS - start)) s"
fi
for v in $versions; do
    say "$(chroot "$root" "/usr/bin/python$v" -c 'import sys; print(sys.version.split()[0])' \
        ) from $(chroot "$root" dpkg-query -W -f='${Package} ${Version}' "python$v-minimal")"
done

cp /etc/resolv.conf "$root/etc/resolv.conf"
# The host's trusted certificates (a proxy in front of the package index may use its own
# authority), handed to pip inside the root; without them pip trusts its own.
host_certs=/etc/ssl/certs/ca-certificates.crt
inner_certs=""
if [[ -f $host_certs ]]; then
    mkdir -p "$root/etc/ssl/certs"
    cp "$host_certs" "$root/etc/ssl/certs/host-ca-certificates.crt"
    inner_certs=/etc/ssl/certs/host-ca-certificates.crt
fi

mount_into() {  # kind, target below the root
    local target="$root$2"
    mkdir -p "$target"
    case "$1" in
        proc) mount -t proc proc "$target" ;;
        # /dev with /dev/shm (the pool's and multiprocessing's semaphores) and /dev/pts.
        dev) mount --rbind /dev "$target" && mount --make-rslave "$target" ;;
        # /sys for the processor and transparent-huge-page facts and the cgroup tests.
        sys) mount --rbind /sys "$target" && mount --make-rslave "$target" ;;
    esac
    mounted+=("$target")
}
unmount_below_root
mount_into proc /proc
mount_into dev /dev
mount_into sys /sys

# The work directory inside the root: the wheel, the tests and a venv per interpreter.
rm -rf "$root/work"
mkdir -p "$root/work/tree" "$root/work/wheel"
cp "$wheel" "$root/work/wheel/"
inner_wheel="/work/wheel/$(basename "$wheel")"
if git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$repo" ls-files -z --cached --others --exclude-standard -- tests examples README.md pyproject.toml |
        tar -C "$repo" --null -T - -cf - | tar -C "$root/work/tree" -xf -
else
    tar -C "$repo" --exclude=__pycache__ -cf - tests examples README.md pyproject.toml | tar -C "$root/work/tree" -xf -
fi

# One interpreter's run inside the root: a fresh venv, the wheel and what of its test extras
# installs from binary wheels, the suite, the stub.
# Exit status: 1 the suite failed, 4 stubtest failed (or'ed), 2 nothing could be tested.
inner_script='
set -uo pipefail
v="$1" wheel="$2" stubtest="$3"; shift 3
venv="/work/venv-$v"
py="$venv/bin/python"
"python$v" -m venv "$venv" || { echo "could not make a venv under $v"; exit 2; }
pip_install() {  # pip install from binary wheels only; its log goes to $log
    "$py" -m pip install -q --disable-pip-version-check --only-binary :all: "$@" >"$log" 2>&1
}
unreachable() {
    grep -qE "NewConnectionError|ConnectTimeout|ReadTimeout|ProxyError|SSLError|Max retries|Temporary failure in name resolution|Network is unreachable" "$log"
}
log="/work/pip-$v.log"
extras=(); if [[ $stubtest == 1 ]]; then extras+=(mypy); fi
if ! pip_install "$wheel[test]" "${extras[@]}"; then
    if unreachable; then cat "$log"; echo "the package index cannot be reached"; exit 2; fi
    echo "not every test extra has a binary wheel for CPython $v; installing one at a time:"
    pip_install "$wheel" || { cat "$log"; echo "the wheel itself does not install under $v"; exit 2; }
    mapfile -t requirements < <("$py" -c "
import importlib.metadata as md
for r in md.requires(\"vak_orn_kernel\") or []:
    if \"extra ==\" in r and \"test\" in r.split(\";\", 1)[1]:
        print(r.split(\";\", 1)[0].strip())
")
    for requirement in "${requirements[@]}" "${extras[@]}"; do
        if pip_install "$requirement"; then continue; fi
        if unreachable; then cat "$log"; echo "the package index cannot be reached"; exit 2; fi
        why="$(grep -m1 -E "^ERROR: (Could not find|No matching)" "$log" || tail -1 "$log")"
        echo "  SKIPPED $requirement: $why"
        case "$requirement" in
            pytest*) echo "pytest itself cannot be installed under $v"; exit 2 ;;
        esac
    done
fi
echo "installed: $("$py" -m pip list --format=freeze 2>/dev/null | tr "\n" " ")"
"$py" -c "import sys, vak_orn_kernel as m; assert m.__file__.startswith(sys.prefix), m.__file__" || exit 2
status=0
mkdir -p "/work/run-$v"
cd "/work/run-$v" && "$py" -m pytest -q -p no:cacheprovider /work/tree/tests "$@" || status=1
if [[ $stubtest == 1 ]]; then
    if "$py" -c "import mypy" 2>/dev/null; then
        if "$py" -m mypy.stubtest vak_orn_kernel; then
            echo "stubtest: the stub agrees with the module"
        else
            status=$((status | 4))
        fi
    else
        echo "stubtest: SKIPPED (mypy does not install under $v)"
    fi
fi
exit $status
'
# Left out always: the source checks and the reruns on the other kernel paths, which compile
# the sources or probes (nothing is built in the root, which has no compiler). -rs names every
# skipped test and why (a test extra without a wheel for the interpreter, for one).
addopts="-rs -m 'not source_checks' -k 'not on_every_path' ${PYTEST_ADDOPTS:-}"
check_one() {
    local v="$1" start=$SECONDS status=0
    echo "=== CPython $v (Debian sid) ==="
    chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        TMPDIR=/tmp ${inner_certs:+PIP_CERT="$inner_certs"} PYTEST_ADDOPTS="$addopts" HYPOTHESIS_PROFILE="${HYPOTHESIS_PROFILE:-ci}" \
        /bin/bash -c "$inner_script" "vak-$v" "$v" "$inner_wheel" "$stubtest" "${pytest_args[@]}" \
        || status=$?
    echo "CPython $v: $((SECONDS - start)) s"
    return $status
}

jobs="${VAK_TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}"
started=()
failed=""
unusable=""
waited=0
wait_for() {  # the index of a job to wait for
    local k="$1" v="${started[$1]}" status=0
    wait "${pids[$k]}" || status=$?
    cat "$work/log-$v"
    if (( status == 2 )); then unusable="$unusable $v"; return; fi
    if (( status & 1 )); then failed="$failed $v"; fi
    if (( status & 4 )); then failed="$failed $v(stubtest)"; fi
    if (( status > 7 )); then failed="$failed $v(status $status)"; fi
}
for v in $versions; do
    started+=("$v")
    set -m  # each run in a process group of its own, so that an interrupt ends all of it
    check_one "$v" >"$work/log-$v" 2>&1 &
    pids+=($!)
    set +m
    if (( ${#pids[@]} - waited >= jobs )); then
        wait_for "$waited"
        waited=$((waited + 1))
    fi
done
for (( k = waited; k < ${#pids[@]}; k++ )); do wait_for "$k"; done
if [[ -n "$unusable" ]]; then fail "nothing could be tested under:$unusable"; fi
if [[ -n "$failed" ]]; then fail "the suite failed under:$failed"; fi
say "the suite passed under $versions"
