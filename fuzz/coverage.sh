#!/usr/bin/env bash
# Line and branch coverage of the native cores reached by a target's corpus:
# fuzz/coverage.sh <target>|all
# Replays the committed seeds plus what fuzz/run.sh has found (fuzz/build/corpus)
# through a coverage-instrumented build (no sanitizers) and prints the report
# for the core sources.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(decode_quadtree scan_words encode_text encode_quadtree)
case "${1:-}" in
    all) targets=("${all_targets[@]}") ;;
    decode_quadtree|scan_words|encode_text|encode_quadtree) targets=("$1") ;;
    *) echo "usage: fuzz/coverage.sh <${all_targets[*]// /|}|all>" >&2; exit 2 ;;
esac

out="${FUZZ_BUILD_DIR:-fuzz/build}/coverage"
mkdir -p "$out"
sources=(src/common/invariant.cpp src/common/memory_ceiling.cpp src/common/cgroup_files.cpp
         src/common/heap_purger.cpp src/common/kernel_choice.cpp
         src/scan/core_scan.cpp src/scan/chunk_classes.cpp
         src/scan/chunk_classes_avx2.cpp src/scan/chunk_classes_avx512.cpp
         src/text/encoder.cpp src/text/byte_pairs.cpp src/text/decomposition.cpp
         src/text/unicode_tables.cpp src/image/*.cpp fuzz/nfd_reference_tables.cpp)

for t in "${targets[@]}"; do
    clang++ -std=c++20 -O1 -g -DVAK_CHECKED_HEAP -Isrc -fsanitize=fuzzer \
        -fprofile-instr-generate -fcoverage-mapping \
        "fuzz/${t}_fuzzer.cpp" "${sources[@]}" -o "$out/${t}_fuzzer"
    corpora=("fuzz/corpus/$t")
    [[ -d "fuzz/build/corpus/$t" ]] && corpora+=("fuzz/build/corpus/$t")
    rm -f "$out/$t".profraw
    LLVM_PROFILE_FILE="$out/$t.profraw" "$out/${t}_fuzzer" -runs=0 "${corpora[@]}" >/dev/null 2>&1
    llvm-profdata merge -sparse "$out/$t.profraw" -o "$out/$t.profdata"
    echo "=== $t: $(find "${corpora[@]}" -type f | wc -l) inputs"
    case "$t" in
        scan_words) subsystem=scan ;;
        encode_text) subsystem=text ;;
        *) subsystem=image ;;
    esac
    llvm-cov report "$out/${t}_fuzzer" -instr-profile="$out/$t.profdata" \
        -ignore-filename-regex='unicode_tables' "$PWD/src/$subsystem"
done
