#!/usr/bin/env bash
# Runs bench/bench.py in the benchmark's own virtual environment,
# .venv-bench-<version>: the module built from this checkout, and the JSON
# libraries of bench/requirements.txt to compare with, installed only there.
# Arguments go to bench.py; R7U_PYTHON_VERSION picks the interpreter.
#
#   bash scripts/bench.sh --instructions
#   PYTHONPATH=build/dev bash scripts/bench.sh --instructions   # a dev build instead
set -euo pipefail
source "$(dirname "$0")/venv.sh"
r7u_venv="$r7u_root/.venv-bench-$r7u_version"
venv_python="$r7u_venv/bin/python"
r7u_pip=("$venv_python" -m pip install -q --disable-pip-version-check)
# With PYTHONPATH naming a build (scripts/dev-build.sh), that build is what
# is measured: the environment's own module is left as it is.
if [ -z "${PYTHONPATH:-}" ] || [ ! -x "$venv_python" ]; then r7u_prepare_venv; fi
stamp="$r7u_venv/r7u-bench-tools.stamp"
now="$(cat "$r7u_root/bench/requirements.txt")"
if [ "$now" != "$(cat "$stamp" 2>/dev/null)" ]; then
    echo "== installing the benchmark's comparison libraries into .venv-bench-$r7u_version" >&2
    rm -f "$stamp"
    "${r7u_pip[@]}" --only-binary=:all: -r "$r7u_root/bench/requirements.txt"
    echo "$now" >"$stamp"
fi
exec "$venv_python" "$r7u_root/bench/bench.py" "$@"
