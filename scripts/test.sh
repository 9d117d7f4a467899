#!/usr/bin/env bash
# Builds the module into .venv-3.12 (when its sources changed) and runs the
# whole test suite.
# Extra arguments go to pytest; test paths are taken as typed from where the
# script is started (bash scripts/test.sh tests/test_book.py -k rename).
set -euo pipefail
source "$(dirname "$0")/test-args.sh"
source "$(dirname "$0")/venv.sh"
r7u_prepare_venv test
cd "$r7u_root/tests"
echo "== running the test suite with $("$venv_python" -V)"
"$venv_python" -m pytest -q -p no:cacheprovider ${r7u_test_args[@]+"${r7u_test_args[@]}"}
