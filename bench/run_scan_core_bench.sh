#!/usr/bin/env bash
# Builds and runs bench/scan_core_bench.cpp: the core scan (no Python) over
# generated 10 M-word streams on every kernel path this processor runs.
#
#   bench/run_scan_core_bench.sh [--words N] [--repeat R] [stream...]
#
# Streams: uniform, segments, text80, runsN (runs of N words on average), taste
# (taste sequences back to back), taste+1 (each followed by a text word); by
# default uniform segments text80 runs4 runs16 runs200 taste taste+1. Installs the pinned
# cmeel-mimalloc into the current python3 when it is missing (the core takes its
# memory from mimalloc, as in the module); compiled with the release build's
# flags. Each stream and path runs in a process of its own, so that "first" is
# the first call of a fresh process. Times are CPU ms of the calling thread.
set -euo pipefail
cd "$(dirname "$0")/.."

options=()
streams=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --words|--repeat) options+=("$1" "$2"); shift 2 ;;
        *) streams+=("$1"); shift ;;
    esac
done
if [[ ${#streams[@]} -eq 0 ]]; then
    streams=(uniform segments text80 runs4 runs16 runs200 taste taste+1)
fi

# shellcheck source=bench/private_mimalloc.sh
source bench/private_mimalloc.sh
g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Werror -Isrc -isystem "$include" \
    bench/scan_core_bench.cpp src/scan/core_scan.cpp src/scan/chunk_classes*.cpp \
    src/common/*.cpp "$out/libmimalloc_private.a" -lpthread -latomic -o "$out/scan_core_bench"

paths=()
for path in portable avx2 avx512; do
    chosen="$(VAK_ORN_KERNEL_SCAN_PATH=$path "$out/scan_core_bench" runs200 --words 4096 \
              --repeat 1 | awk '{print $2}')"
    [[ "$chosen" == "$path" ]] && paths+=("$path")
done

echo "core scan, CPU ms of the calling thread (first call of the process, then best and median),"
echo "against a memcpy of the stream into memory written before (best, median)"
printf '%-9s %-8s %8s %8s %8s | %6s %6s | %s\n' stream path first best median memcpy median \
       "scan/memcpy (medians)"
for stream in "${streams[@]}"; do
    for path in "${paths[@]}"; do
        VAK_ORN_KERNEL_SCAN_PATH=$path "$out/scan_core_bench" "$stream" "${options[@]}"
    done
done
