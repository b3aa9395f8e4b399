#!/usr/bin/env bash
# Builds and runs bench/text_core_bench.cpp: the text core against ICU's NFD on
# generated corpora, MB/s of UTF-8 input for each.
#
#   bench/run_text_core_bench.sh [--mb 10] [--repeat 9] [corpus...]
#
# Installs Debian's libicu-dev when its headers are missing, and the pinned
# cmeel-mimalloc into the current python3 when it is missing (the core takes its
# memory from mimalloc, as in the module). The core is compiled with the flags
# of the module's release build. Each corpus runs in a process of its own, so
# that "first" is the first call in a fresh process and the others the steady
# state (best and median of the repeats). Times are the calling thread's CPU
# time: on a shared machine wall time mostly measures the other users.
set -euo pipefail
cd "$(dirname "$0")/.."

options=()
corpora=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --mb|--repeat) options+=("$1" "$2"); shift 2 ;;
        *) corpora+=("$1"); shift ;;
    esac
done
if [[ ${#corpora[@]} -eq 0 ]]; then
    corpora=(english european korean chinese combining vietnamese)
fi

if [[ ! -e /usr/include/unicode/normalizer2.h ]]; then
    sudo_cmd=()
    [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq libicu-dev >/dev/null
fi

# shellcheck source=bench/private_mimalloc.sh
source bench/private_mimalloc.sh
g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Werror -Isrc -isystem "$include" \
    bench/text_core_bench.cpp src/text/*.cpp src/common/*.cpp \
    "$out/libmimalloc_private.a" $(pkg-config --libs icu-uc) -lpthread -latomic \
    -o "$out/text_core_bench"

icu_version="$(pkg-config --modversion icu-uc)"
echo "text core vs ICU $icu_version NFD: MB of UTF-8 input per CPU second of the calling thread"
echo "(core: first call in the process, then best and median of the repeats; ICU: best and median;"
echo " core/ICU: against the faster ICU way, best vs best and median vs median)"
printf '%-10s %6s %9s | %-20s | %-13s | %-13s | %s\n' corpus MB words "core first best  med" \
       "ICU-8 best med" "ICU-16 b  med" "core/ICU best, median"
status=0
for corpus in "${corpora[@]}"; do
    "$out/text_core_bench" "${options[@]}" "$corpus" || status=1
done
exit $status
