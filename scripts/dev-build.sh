#!/usr/bin/env bash
# Fast build for development: compiles the extension into BUILD_DIR (default
# build/dev) without installing it. Use with PYTHONPATH=BUILD_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build="${1:-$here/build/dev}"
shift || true
mkdir -p "$build"
build=$(cd "$build" && pwd)
py=$("$here/scripts/find-python.sh" "${R7U_PYTHON_VERSION:-3.12}")
cmake -S "$here" -B "$build" -DPython_EXECUTABLE="$py" -DCMAKE_LIBRARY_OUTPUT_DIRECTORY="$build" "$@" >/dev/null
cmake --build "$build" -j 2
