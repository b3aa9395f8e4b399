#!/usr/bin/env bash
# Builds and runs bench/memory_ceiling_bench.cpp: the cost of one fresh reading
# of the memory ceiling and of the ceiling check on small allocations.
#
#   bench/run_memory_ceiling_bench.sh [--rounds R]
#
# Installs the pinned cmeel-mimalloc into the current python3 when it is missing;
# compiled with the release build's flags.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=bench/private_mimalloc.sh
source bench/private_mimalloc.sh
g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Werror -Isrc -isystem "$include" \
    bench/memory_ceiling_bench.cpp src/common/*.cpp "$out/libmimalloc_private.a" -lpthread \
    -latomic -o "$out/memory_ceiling_bench"
"$out/memory_ceiling_bench" "$@"
