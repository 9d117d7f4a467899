#!/usr/bin/env bash
# Builds the module into .venv-3.12 and runs the whole test suite.
# Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
r7u_prepare_venv
cd "$r7u_root/tests"
"$venv_python" -m pytest -q -p no:cacheprovider "$@"
