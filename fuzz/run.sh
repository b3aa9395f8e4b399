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
#
# The targets whose code has vector kernels (scan_words, encode_text,
# encode_quadtree) run once per kernel path that this processor runs (portable,
# avx2, avx512; SCAN_PATHS="..." narrows the list), each for the full number of
# seconds, with VAK_ORN_KERNEL_SCAN_PATH set.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(decode_quadtree scan_words encode_text encode_quadtree)
per_path_targets=(scan_words encode_text encode_quadtree)
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

# runnable_paths <target>: the kernel paths of SCAN_PATHS that this processor
# runs. The fuzzer reports the path it took, which falls back to another when the
# processor lacks one.
runnable_paths() {
    local t="$1" path taken
    for path in ${SCAN_PATHS:-portable avx2 avx512}; do
        taken="$(VAK_ORN_KERNEL_SCAN_PATH="$path" "$out/${t}_fuzzer" -runs=0 2>&1 \
                 | sed -n 's/^kernel path: //p' | head -n 1)"
        if [[ "$taken" == "$path" ]]; then
            echo "$path"
        else
            echo "=== $t: this processor does not run the $path path" >&2
        fi
    done
}

status=0
# run_one <target> <label> [VAR=value...]: one bounded run of a target.
run_one() {
    local t="$1" label="$2"
    shift 2
    local work="$out/corpus/$t" artifacts="$out/artifacts/$label"
    mkdir -p "$work" "$artifacts"
    echo "=== $label: $seconds s"
    local started limit
    started=$(date +%s)
    if [[ "$seconds" == 0 ]]; then limit=(-runs=0); else limit=(-max_total_time="$seconds"); fi
    if env "$@" "$out/${t}_fuzzer" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len_of "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "${fuzzer_options[@]}" "$work" "fuzz/corpus/$t"; then
        echo "=== $label: passed in $(( $(date +%s) - started )) s"
    else
        echo "=== $label: FAILED (input saved under $artifacts/)"
        status=1
    fi
}

fuzzer_options=("$@")
for t in "${targets[@]}"; do
    if [[ " ${per_path_targets[*]} " == *" $t "* ]]; then
        for path in $(runnable_paths "$t"); do
            run_one "$t" "$t-$path" VAK_ORN_KERNEL_SCAN_PATH="$path"
        done
    else
        run_one "$t" "$t"
    fi
done
exit "$status"
