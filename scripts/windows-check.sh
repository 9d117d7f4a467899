#!/usr/bin/env bash
# The Windows checks that run on Linux (README: "Windows checks"):
#  1. the platform-layer driver (tests/native/platform_driver.cpp), natively
#     against platform_posix.cpp, with AddressSanitizer and UBSan;
#  2. the same driver cross-compiled with MinGW-w64 against
#     platform_windows.cpp and run under Wine, kill test included;
#  3. every source of src/ cross-compiled for win_amd64 against CPython
#     3.12's headers with scripts/windows/pyconfig.h, warnings as errors,
#     and the .pyd linked against an import library of python312.dll made
#     from the headers' exported declarations.
# Installs the cross compiler and Wine with apt-get when they are missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cxx_win=x86_64-w64-mingw32-g++-posix
dlltool=x86_64-w64-mingw32-dlltool
objdump=x86_64-w64-mingw32-objdump

# --- tools ------------------------------------------------------------------
if ! command -v "$cxx_win" >/dev/null || ! command -v "$dlltool" >/dev/null || ! command -v wine >/dev/null ||
    [ ! -x /usr/lib/wine/wine64 ]; then
    echo "== installing MinGW-w64 and Wine"
    if [ "$(id -u)" != 0 ]; then
        echo "MinGW-w64 and Wine are missing and this is not root: install g++-mingw-w64-x86-64-posix wine wine64" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 >/dev/null
fi

work=$(mktemp -d)
full=""
cleanup() {
    [ -n "$full" ] && umount "$full" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A file system with a few KiB free, for the disk-full case (root only).
if [ "$(id -u)" = 0 ]; then
    mkdir "$work/full"
    if mount -t tmpfs -o size=16k r7u-full "$work/full" 2>/dev/null; then full="$work/full"; fi
fi

flags=(-std=c++20 -O2 -Wall -Wextra -Werror)

# --- 1. the driver, natively --------------------------------------------------
echo "== platform driver, native (POSIX writer)"
# Under the sanitizers: the writer's buffers and paths are checked too.
g++ "${flags[@]}" -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -o "$work/driver" \
    "$here/tests/native/platform_driver.cpp" "$here/src/platform_posix.cpp"
mkdir "$work/native"
"$work/driver" "$work/native" ${full:+--full "$full"}

# --- 2. the driver under Wine -------------------------------------------------
echo "== platform driver, win_amd64 under Wine (Windows writer)"
"$cxx_win" "${flags[@]}" -static -o "$work/driver.exe" "$here/tests/native/platform_driver.cpp" \
    "$here/src/platform_windows.cpp"
export WINEPREFIX="${R7U_WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/r7u-wine}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    start=$(date +%s)
    wine wineboot -i >/dev/null 2>&1
    echo "(first start of the Wine prefix: $(($(date +%s) - start)) s)"
fi
mkdir "$work/wine"
status=0
wine "$work/driver.exe" "Z:$work/wine" ${full:+--full "Z:$full"} || status=$?
wineserver -w 2>/dev/null || true
[ "$status" = 0 ] || exit "$status"

# --- 3. the module, cross-compiled ---------------------------------------------
echo "== module, cross-compiled for win_amd64"
py=$("$here/scripts/find-python.sh" 3.12)
include=$("$py" -c 'import sysconfig; print(sysconfig.get_path("include"))')
# The headers with our Windows configuration in place of this host's: Python.h
# includes "pyconfig.h" from its own folder first.
mkdir "$work/include"
cp -r "$include/." "$work/include/"
cp "$here/scripts/windows/pyconfig.h" "$work/include/pyconfig.h"
objects=()
for src in "$here"/src/*.cpp; do
    obj="$work/$(basename "${src%.cpp}").o"
    "$cxx_win" "${flags[@]}" -DNDEBUG -fvisibility=hidden -I"$work/include" -c "$src" -o "$obj"
    objects+=("$obj")
done
"$py" "$here/scripts/windows/python-def.py" "$work/include" python312.dll >"$work/python312.def"
"$dlltool" -d "$work/python312.def" -l "$work/libpython312.a" -D python312.dll
pyd="$work/r7u_razarozu.cp312-win_amd64.pyd"
# The C++ runtime goes inside: the .pyd needs nothing but the interpreter's
# DLL and the system's.
"$cxx_win" -shared -static -o "$pyd" "${objects[@]}" -L"$work" -lpython312 -Wl,--no-undefined
exports=$("$objdump" -p "$pyd" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
for name in PyInit_r7u_razarozu PyInit___init__; do
    if [[ "$exports" != *"] $name"* ]]; then
        echo "$pyd does not export $name" >&2
        exit 1
    fi
done
dlls=$("$objdump" -p "$pyd" | sed -n 's/^\s*DLL Name: //p' | sort -u | tr '\n' ' ')
echo "linked $(basename "$pyd"): imports $dlls"
for dll in $dlls; do
    case "${dll,,}" in
        python312.dll | kernel32.dll | advapi32.dll | msvcrt.dll | api-ms-win-crt-*.dll | ucrtbase.dll) ;;
        *)
            echo "$pyd needs $dll, which a Windows CPython does not bring" >&2
            exit 1
            ;;
    esac
done
echo "windows checks passed"
