#!/usr/bin/env bash
# Compiles tests/native/layout_check.cpp for each supported CPython found
# (3.12 to 3.15; R7U_LAYOUT_VERSIONS picks others) against that version's
# internal headers: static_asserts compare every layout the inline attribute
# reads mirror (src/inline_layout.hpp) with the interpreter's own. Fails
# when one differs, or when a version's headers are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
status=0
for v in ${R7U_LAYOUT_VERSIONS:-3.12 3.13 3.14 3.15}; do
    py=$("$here/scripts/find-python.sh" "$v")
    inc=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    if [ ! -f "$inc/internal/pycore_dict.h" ]; then
        echo "CPython $v: no internal headers in $inc" >&2
        status=1
        continue
    fi
    if "${CXX:-g++}" -std=c++20 -fsyntax-only -Wall -Wextra -isystem "$inc" -I"$here/src" "$here/tests/native/layout_check.cpp"; then
        echo "== CPython $v: every mirrored layout matches $inc/internal"
    else
        echo "CPython $v: the mirrored layouts differ from $inc/internal" >&2
        status=1
    fi
done
exit "$status"
