#!/usr/bin/env bash
# Builds the libFuzzer harnesses into fuzz/build: clang++ with the fuzzer,
# address and undefined-behaviour sanitizers, over the native cores' sources.
#
# VAK_FUZZ_HEAP=checked (the default) takes native memory from the sanitizer's
# malloc, which is the only heap whose overruns and uses after free it sees.
# VAK_FUZZ_HEAP=mimalloc links mimalloc from the cmeel-mimalloc wheel instead,
# its malloc/new overrides hidden as in the module's own build; it runs under
# the sanitizers, but errors inside mimalloc's blocks go unnoticed.
set -euo pipefail
cd "$(dirname "$0")/.."

out="${FUZZ_BUILD_DIR:-fuzz/build}"
cxx="${FUZZ_CXX:-clang++}"
heap="${VAK_FUZZ_HEAP:-checked}"
jobs="${JOBS:-2}"
if ! command -v "$cxx" >/dev/null; then
    echo "build.sh: $cxx not found (Debian: apt-get install -y clang)" >&2
    exit 2
fi
targets=(decode_quadtree scan_words encode_text encode_quadtree)
core_sources=(
    src/common/invariant.cpp src/common/memory_ceiling.cpp src/common/cgroup_files.cpp
    src/common/heap_purger.cpp src/common/kernel_choice.cpp
    src/scan/core_scan.cpp src/scan/chunk_classes.cpp src/scan/chunk_classes_avx2.cpp
    src/scan/chunk_classes_avx512.cpp
    src/text/encoder.cpp src/text/byte_pairs.cpp src/text/decomposition.cpp
    src/text/unicode_tables.cpp
    src/image/*.cpp
)
# The harnesses' own data (the text model's Unicode tables).
support_sources=(fuzz/nfd_reference_tables.cpp)

common=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fno-sanitize-recover=undefined
        -Wall -Wextra -Werror -Isrc -D_GLIBCXX_SANITIZE_VECTOR)
link_libs=()
case "$heap" in
    checked)
        common+=(-DVAK_CHECKED_HEAP)
        ;;
    mimalloc)
        prefix="$(python3 -c "import os,sys; print(next(os.path.join(p,'cmeel.prefix') for p in sys.path if os.path.isdir(os.path.join(p,'cmeel.prefix'))))")"
        archive="$(ls "$prefix"/lib/mimalloc-*/libmimalloc.a | head -n 1)"
        include="$(ls -d "$prefix"/include/mimalloc-* | head -n 1)"
        mkdir -p "$out"
        # Only mimalloc's own API stays global: malloc and new remain the sanitizer's.
        objcopy --wildcard --keep-global-symbol='mi_*' --keep-global-symbol='_mi_*' \
                --keep-global-symbol='__mi_*' "$archive" "$out/libmimalloc_private.a"
        common+=(-isystem "$include")
        link_libs+=("$out/libmimalloc_private.a" -lpthread -latomic)
        ;;
    *)
        echo "build.sh: VAK_FUZZ_HEAP must be checked or mimalloc" >&2
        exit 2
        ;;
esac

# Runs "$@" in the background, at most $jobs at a time; a failure ends the script.
running=0
spawn() {
    "$@" &
    running=$((running + 1))
    if (( running >= jobs )); then wait -n; running=$((running - 1)); fi
}
wait_all() {
    while (( running > 0 )); do wait -n; running=$((running - 1)); done
}

mkdir -p "$out/obj"
rm -f "$out"/obj/*.o "$out/libvak_cores.a"
for source in "${core_sources[@]}" "${support_sources[@]}"; do
    spawn "$cxx" -fsanitize=fuzzer-no-link,address,undefined "${common[@]}" -c "$source" \
          -o "$out/obj/$(basename "${source%.cpp}").o"
done
wait_all
ar rcs "$out/libvak_cores.a" "$out"/obj/*.o

for target in "${targets[@]}"; do
    spawn "$cxx" -fsanitize=fuzzer,address,undefined "${common[@]}" "fuzz/${target}_fuzzer.cpp" \
          "$out/libvak_cores.a" "${link_libs[@]}" -o "$out/${target}_fuzzer"
done
wait_all
echo "built in $out: ${targets[*]/%/_fuzzer}"
