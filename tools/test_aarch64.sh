#!/usr/bin/env bash
# Builds the module for aarch64 and tests it under emulation (qemu user mode).
#
#   tools/test_aarch64.sh [--quick] [--probes-only] [--root DIR] [--mirror URL] [-- PYTEST ARGS]
#
# 1. Probes: the native cores, the kernel-choice and chunk-classification probes, the worker-count
#    probe and the fuzz harnesses (with a replay driver instead of libFuzzer) are
#    cross-built with aarch64-linux-gnu-g++ (static; undefined behaviour traps) and run under
#    qemu-aarch64-static directly. Needs no binfmt registration.
# 2. Suite: an arm64 Debian root is made with debootstrap --foreign and finished
#    under emulation (about 20 minutes the first time; it is kept in DIR and
#    reused), the sources are copied in, the module is built there by the root's
#    own g++ and pip, and the whole test suite runs. This needs binfmt_misc (the
#    script mounts it and registers qemu-aarch64 if it can); when it cannot, the
#    script says so and stops after the probes.
#
# --quick replays 50 instead of 500 mutation rounds per fuzz input, uses the
# smaller Hypothesis profile and leaves out tests/test_leaks.py (100,000 calls
# per case: hours under emulation). Must run as root (apt-get,
# debootstrap, chroot, mounts). Installs what it needs with apt-get.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$PWD"

root="${VAK_AARCH64_ROOT:-/var/tmp/vak_orn_kernel-aarch64}"
mirror="http://deb.debian.org/debian"
suite="bookworm"
quick=0
probes_only=0
pytest_args=()
while (( $# > 0 )); do
    case "$1" in
        --quick) quick=1 ;;
        --probes-only) probes_only=1 ;;
        --root) root="$2"; shift ;;
        --mirror) mirror="$2"; shift ;;
        --) shift; pytest_args=("$@"); break ;;
        *) echo "test_aarch64.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

say() { echo "=== aarch64: $*"; }

if [[ $(id -u) != 0 ]]; then
    echo "test_aarch64.sh: must run as root (apt-get, debootstrap, chroot, mounts)" >&2
    exit 2
fi

needed=()
command -v qemu-aarch64-static >/dev/null || needed+=(qemu-user-static)
command -v debootstrap >/dev/null || needed+=(debootstrap)
command -v update-binfmts >/dev/null || needed+=(binfmt-support)
command -v aarch64-linux-gnu-g++ >/dev/null || needed+=(g++-aarch64-linux-gnu)
if (( ${#needed[@]} > 0 )); then
    say "installing ${needed[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${needed[@]}" >/dev/null
fi

# ------------------------------------------------------------------ probes
probe_dir="$(mktemp -d /tmp/vak-aarch64-probes.XXXXXX)"
trap 'rm -rf "$probe_dir"' EXIT
say "cross-building the probes and fuzz harnesses"
cross=(aarch64-linux-gnu-g++ -std=c++20 -O1 -Wall -Wextra -Werror -static -pthread
       -fsanitize=undefined -fsanitize-undefined-trap-on-error -DVAK_CHECKED_HEAP -Isrc)
kernels=(src/scan/chunk_classes*.cpp)
cores=(src/common/*.cpp src/scan/core_scan.cpp "${kernels[@]}" src/text/*.cpp src/image/*.cpp)
fuzz_support=(fuzz/nfd_reference_tables.cpp)  # the text model's Unicode tables
build_pids=()
"${cross[@]}" tests/native/kernel_choice_probe.cpp src/common/kernel_choice.cpp \
    -o "$probe_dir/kernel_choice_probe" & build_pids+=($!)
"${cross[@]}" tests/native/chunk_classes_probe.cpp "${kernels[@]}" src/common/kernel_choice.cpp \
    -o "$probe_dir/chunk_classes_probe" & build_pids+=($!)
"${cross[@]}" tests/native/worker_count_probe.cpp src/scan/worker_count*.cpp src/common/cgroup_files.cpp \
    -o "$probe_dir/worker_count_probe" & build_pids+=($!)
for pid in "${build_pids[@]}"; do wait "$pid"; done
fuzz_targets=(scan_words encode_text decode_quadtree encode_quadtree)
for target in "${fuzz_targets[@]}"; do
    "${cross[@]}" "fuzz/${target}_fuzzer.cpp" tools/fuzz_replay_main.cpp "${cores[@]}" \
        "${fuzz_support[@]}" -o "$probe_dir/${target}_replay"
done

probe_failures=0
run_probe() {  # name, expected output (a pattern), command...
    local name="$1" expected="$2"; shift 2
    local out
    if out="$(qemu-aarch64-static "$@" 2>&1)" && [[ $out == $expected ]]; then
        echo "  $name: ${out//$'\n'/ }"
    else
        echo "  $name: FAILED (expected $expected): ${out//$'\n'/ }"
        probe_failures=$((probe_failures + 1))
    fi
}
say "running the probes under qemu-aarch64-static"
run_probe "kernel paths on this processor" $'portable \nportable' "$probe_dir/kernel_choice_probe"
run_probe "chunk kernels, every word" "ok" "$probe_dir/chunk_classes_probe" check
fake="$probe_dir/fake_tree"
mkdir -p "$fake/proc/self" "$fake/sys/fs/cgroup/job"
echo "0::/job" > "$fake/proc/self/cgroup"
echo "30 1 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw" > "$fake/proc/self/mountinfo"
echo "150000 100000" > "$fake/sys/fs/cgroup/job/cpu.max"
run_probe "cgroup quota of a fake tree" "2" "$probe_dir/worker_count_probe" cgroup "$fake"
run_probe "processors in the affinity mask" "$(nproc)" \
    "$probe_dir/worker_count_probe" available /nonexistent
rounds=$(( quick ? 50 : 500 ))
for target in "${fuzz_targets[@]}"; do
    run_probe "fuzz $target, corpus + $rounds mutation rounds" "replayed * inputs" \
        "$probe_dir/${target}_replay" "-rounds=$rounds" fuzz/corpus/"$target"/*
done
if (( probe_failures > 0 )); then
    say "$probe_failures probe(s) failed"
    exit 1
fi
if (( probes_only )); then
    say "probes passed (--probes-only: the suite was not run)"
    exit 0
fi

# ------------------------------------------------------------------ binfmt
if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
fi
update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || true
entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
if [[ ! -r $entry ]] || ! grep -q '^enabled' "$entry" || ! grep -q '^flags:.*F' "$entry"; then
    say "binfmt_misc cannot run arm64 programs here (no qemu-aarch64 entry with the F flag):"
    say "the probes above passed; the test suite could not be run under emulation"
    exit 3
fi

# ------------------------------------------------------------------ arm64 root
stamp="$root/.vak-root-complete"
if [[ ! -e $stamp ]]; then
    rm -rf "$root"
    mkdir -p "$root"
    say "debootstrap stage 1 ($suite arm64 from $mirror)"
    debootstrap --arch=arm64 --foreign --variant=minbase \
        --include=python3,python3-venv,python3-dev,g++,ca-certificates \
        "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
        { tail -20 "$root.debootstrap.log"; exit 1; }
    cp /usr/bin/qemu-aarch64-static "$root/usr/bin/"
    say "debootstrap stage 2 under emulation (slow: about 20 minutes)"
    chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.debootstrap.log" 2>&1 ||
        { tail -20 "$root.debootstrap.log"; exit 1; }
    touch "$stamp"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
# The host's trusted certificates (a proxy in front of the package index may use
# its own authority), handed to pip inside the root.
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/host-ca-certificates.crt"

mounted=()
unmount_all() {
    local i
    for (( i = ${#mounted[@]} - 1; i >= 0; i-- )); do
        umount -R "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
    done
    rm -rf "$probe_dir"
}
trap unmount_all EXIT
mount_into() {  # kind, target below the root
    local target="$root$2"
    mkdir -p "$target"
    case "$1" in
        proc) mount -t proc proc "$target" ;;
        sys) mount -t sysfs sysfs "$target" ;;
        dev) mount --rbind /dev "$target" && mount --make-rslave "$target" ;;
    esac
    mounted+=("$target")
}
mount_into proc /proc
mount_into sys /sys
mount_into dev /dev

say "copying the sources into $root/work/src"
rm -rf "$root/work/src"
mkdir -p "$root/work/src" "$root/work/build"
if git -C "$repo" rev-parse --git-dir >/dev/null 2>&1; then
    git -C "$repo" ls-files -z --cached --others --exclude-standard |
        tar -C "$repo" --null -T - -cf - | tar -C "$root/work/src" -xf -
else
    tar -C "$repo" --exclude=./build --exclude=./dist -cf - . | tar -C "$root/work/src" -xf -
fi

profile=ci
test_selection=()
if (( quick )); then
    profile=dev
    test_selection=(--ignore=tests/test_leaks.py)
fi
say "building with the root's own pip and running the suite (emulated; expect a long wait)"
start=$SECONDS
chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt \
    HYPOTHESIS_PROFILE="$profile" /bin/bash -euo pipefail -c '
    cd /work/src
    [[ -x /work/venv/bin/python3 ]] || python3 -m venv /work/venv
    . /work/venv/bin/activate
    echo "python: $(python3 -c "import platform, sys; print(sys.version.split()[0], platform.machine())")"
    python3 -m pip install -q --disable-pip-version-check ".[test]" --config-settings=build-dir=/work/build
    python3 -c "import vak_orn_kernel as vk; print(\"module:\", vk.__file__, vk.backend_info()[\"module_version\"])"
    python3 -m pytest -q -p no:cacheprovider "$@"
' vak-aarch64 "${test_selection[@]}" "${pytest_args[@]}"
say "suite finished in $((SECONDS - start)) s"
