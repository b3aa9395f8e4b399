#!/usr/bin/env bash
# Builds the abi3 wheel once and runs the test suite with it under every other
# CPython 3.12+ interpreter found on the machine (pyenv keeps several).
set -euo pipefail
cd "$(dirname "$0")/.."

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 -m pip wheel --no-deps -w "$work/wheel" . >/dev/null
wheel="$(ls "$work"/wheel/vak_orn_kernel-*.whl)"
echo "wheel: $(basename "$wheel")"

found=0
candidates="$(ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.*/bin/python3 \
    /usr/bin/python3.1[2-9] /usr/local/bin/python3.1[2-9] 2>/dev/null || true)"
for py in $candidates; do
    version="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" || continue
    case "$version" in 3.1[2-9]) ;; *) continue ;; esac
    if [[ " ${seen:-} " == *" $version "* ]]; then continue; fi
    seen="${seen:-} $version"
    found=1
    echo "=== CPython $version ($py) ==="
    "$py" -m venv "$work/venv-$version"
    venv_py="$work/venv-$version/bin/python"
    "$venv_py" -m pip install -q "$wheel" pytest hypothesis numpy "unicodedata2==17.0.0" scikit-image
    (cd "$work" && "$venv_py" -m pytest -q -p no:cacheprovider "$OLDPWD/tests")
done
if [[ $found == 0 ]]; then echo "no other CPython 3.12+ found"; fi
