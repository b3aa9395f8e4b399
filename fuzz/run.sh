#!/usr/bin/env bash
# A bounded fuzz run: fuzz/run.sh <target>|all <seconds> [libFuzzer options...]
# Targets: decode_quadtree scan_words encode_text encode_quadtree. With 0
# seconds the corpus is only replayed once (a quick check that every seed
# still passes the harness).
#
# Builds the harnesses first when they are missing (fuzz/build.sh). The
# committed seeds in fuzz/corpus/<target> are read, never written: new inputs
# go to fuzz/build/corpus/<target>, which later runs continue from, and a
# failing input to fuzz/build/artifacts/<target>/. Exits non-zero when a target
# fails. `all` gives each target the full number of seconds, one after another.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(decode_quadtree scan_words encode_text encode_quadtree)
if [[ $# -lt 2 ]]; then
    echo "usage: fuzz/run.sh <${all_targets[*]// /|}|all> <seconds> [libFuzzer options...]" >&2
    exit 2
fi
target="$1"
seconds="$2"
shift 2
if [[ "$target" == all ]]; then
    targets=("${all_targets[@]}")
elif [[ " ${all_targets[*]} " == *" $target "* ]]; then
    targets=("$target")
else
    echo "run.sh: unknown target '$target'" >&2
    exit 2
fi

out="${FUZZ_BUILD_DIR:-fuzz/build}"
for t in "${targets[@]}"; do
    if [[ ! -x "$out/${t}_fuzzer" ]]; then
        fuzz/build.sh
        break
    fi
done

# Streams of up to four 2048-word chunks for the scan; text, images and image
# streams are small enough at libFuzzer's usual 4096 bytes.
max_len_of() {
    case "$1" in
        scan_words) echo 24576 ;;
        decode_quadtree) echo 8192 ;;
        *) echo 4096 ;;
    esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-halt_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"

status=0
for t in "${targets[@]}"; do
    work="$out/corpus/$t"
    artifacts="$out/artifacts/$t"
    mkdir -p "$work" "$artifacts"
    echo "=== $t: $seconds s"
    started=$(date +%s)
    if [[ "$seconds" == 0 ]]; then limit=(-runs=0); else limit=(-max_total_time="$seconds"); fi
    if "$out/${t}_fuzzer" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len_of "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$@" "$work" "fuzz/corpus/$t"; then
        echo "=== $t: passed in $(( $(date +%s) - started )) s"
    else
        echo "=== $t: FAILED (input saved under $artifacts/)"
        status=1
    fi
done
exit "$status"
