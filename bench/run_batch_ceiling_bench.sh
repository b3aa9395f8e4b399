#!/usr/bin/env bash
# Builds and runs bench/batch_ceiling_bench.cpp: the native part of a batch of
# cache-resident streams four ways (one by one; copied by the caller and scanned
# by the module's workers; copied and scanned on the same worker; and freed
# there too), with the release build's flags and mimalloc as in the module; then
# what two cores give the one-by-one work itself: two processes running it at
# once against one alone. Arguments go to the bench; by default the two goal
# shapes of bench_batch_scaling.py.
#
#   bench/run_batch_ceiling_bench.sh [--streams N --words W] [--rounds R]
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=bench/private_mimalloc.sh
source bench/private_mimalloc.sh
bench="$out/batch_ceiling_bench"
g++ -std=c++20 -O3 -DNDEBUG -Wall -Wextra -Werror -Isrc -isystem "$include" \
    bench/batch_ceiling_bench.cpp src/scan/*.cpp src/common/*.cpp \
    "$out/libmimalloc_private.a" -lpthread -latomic -o "$bench"

shapes=("$*")  # the arguments given make one shape
if [[ $# -eq 0 ]]; then
    shapes=("--streams 256 --words 16384" "--streams 64 --words 65536")
fi
for shape in "${shapes[@]}"; do
    # shellcheck disable=SC2086  # a shape is several arguments
    "$bench" $shape
    # shellcheck disable=SC2086
    alone="$("$bench" $shape --only-one-by-one 1 --rounds 401)"
    # shellcheck disable=SC2086
    pair="$( ("$bench" $shape --only-one-by-one 1 --rounds 401 &
              "$bench" $shape --only-one-by-one 1 --rounds 401; wait) | tr '\n' ' ')"
    echo "$alone $pair" | awk '{printf "two processes of one by one: %.2f and %.2f ms a round", $2, $3;
        printf " against %.2f alone: two cores give this work %.2fx\n", $1, $1 * (1 / $2 + 1 / $3)}'
done
