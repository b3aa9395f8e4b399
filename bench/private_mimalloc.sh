# Sourced by the native benchmark scripts: sets `include` (mimalloc's headers)
# and `out` (the build folder, BENCH_BUILD_DIR or build/bench), and writes
# "$out/libmimalloc_private.a", mimalloc's archive with only its own API global
# (malloc and new stay the C library's), as in the module. Installs the pinned
# cmeel-mimalloc into the current python3 when it is missing.

# The cmeel.prefix on python3's path that holds mimalloc's archive and headers. Other
# cmeel packages (the test extras' cmeel-simde) make the same folder without them.
find_prefix() {
    python3 - <<'PY'
import glob, os, sys
for path in sys.path:
    prefix = os.path.join(path, "cmeel.prefix")
    if glob.glob(os.path.join(prefix, "lib", "mimalloc-*", "libmimalloc.a")) and glob.glob(
            os.path.join(prefix, "include", "mimalloc-*", "mimalloc.h")):
        print(prefix)
        break
else:
    sys.exit(1)
PY
}
if ! prefix="$(find_prefix)"; then
    python3 -m pip install -q "cmeel-mimalloc==3.4.3"
    prefix="$(find_prefix)" || { echo "no mimalloc archive on python3's path after installing it" >&2; exit 1; }
fi
archive="$(ls "$prefix"/lib/mimalloc-*/libmimalloc.a | head -n 1)"
include="$(ls -d "$prefix"/include/mimalloc-* | head -n 1)"

out="${BENCH_BUILD_DIR:-build/bench}"
mkdir -p "$out"
objcopy --wildcard --keep-global-symbol='mi_*' --keep-global-symbol='_mi_*' \
        --keep-global-symbol='__mi_*' "$archive" "$out/libmimalloc_private.a"
