#!/usr/bin/env bash
# Formatting and lint checks over the tree: the module's own rules
# (tools/check_module_rules.py), clang-format (C++ layout), clang-tidy (bug-finding
# checks over src/) and ruff (Python). Installs its pinned tools with
# pip. Exits non-zero on any finding. `tools/lint.sh --fix` rewrites what the
# formatters can fix instead of reporting it.
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0
[ "${1:-}" = "--fix" ] && fix=1

python3 -m pip install -q "clang-format==20.1.8" "clang-tidy==20.1.0" "ruff==0.17.6" \
    cmake ninja "cmeel-mimalloc==3.4.3"
# The tools' commands live beside the interpreter's scripts (not always on PATH).
bin="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))')"

mapfile -t cpp < <(git ls-files '*.cpp' '*.hpp' | grep -Ev '(unicode|nfd_reference)_tables\.cpp$')
mapfile -t src_cpp < <(git ls-files 'src/*.cpp' | grep -v 'unicode_tables\.cpp$')

echo "--- module rules"
python3 tools/check_module_rules.py

echo "--- ruff"
if [ $fix = 1 ]; then python3 -m ruff check --fix .; else python3 -m ruff check .; fi

echo "--- clang-format (${#cpp[@]} files)"
if [ $fix = 1 ]; then
    "$bin/clang-format" -i "${cpp[@]}"
else
    "$bin/clang-format" --dry-run --Werror "${cpp[@]}"
fi

echo "--- clang-tidy (${#src_cpp[@]} files)"
build=build/lint
"$bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
printf '%s\n' "${src_cpp[@]}" |
    xargs -P "$(nproc)" -n 4 "$bin/clang-tidy" -p "$build" --quiet \
        --extra-arg=-Wno-unknown-warning-option 2>/dev/null
echo "lint: clean"
