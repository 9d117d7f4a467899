#!/usr/bin/env bash
# Builds the module into .venv-3.12 (when its sources changed since the last
# build) and runs every program in examples/. Installs no test tools.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
r7u_prepare_venv
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for example in "$r7u_root"/examples/*.py; do
    echo "== $(basename "$example")"
    (cd "$work" && "$venv_python" "$example")
done
