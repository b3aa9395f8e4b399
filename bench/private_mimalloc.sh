# Sourced by the native benchmark scripts: sets `include` (mimalloc's headers)
# and `out` (the build folder, BENCH_BUILD_DIR or build/bench), and writes
# "$out/libmimalloc_private.a", mimalloc's archive with only its own API global
# (malloc and new stay the C library's), as in the module. Installs the pinned
# cmeel-mimalloc into the current python3 when it is missing.
find_prefix() {
    python3 -c "import os, sys; print(next(os.path.join(p, 'cmeel.prefix') for p in sys.path if os.path.isdir(os.path.join(p, 'cmeel.prefix'))))" 2>/dev/null
}
if ! prefix="$(find_prefix)"; then
    python3 -m pip install -q "cmeel-mimalloc==3.4.3"
    prefix="$(find_prefix)"
fi
archive="$(ls "$prefix"/lib/mimalloc-*/libmimalloc.a | head -n 1)"
include="$(ls -d "$prefix"/include/mimalloc-* | head -n 1)"

out="${BENCH_BUILD_DIR:-build/bench}"
mkdir -p "$out"
objcopy --wildcard --keep-global-symbol='mi_*' --keep-global-symbol='_mi_*' \
        --keep-global-symbol='__mi_*' "$archive" "$out/libmimalloc_private.a"
