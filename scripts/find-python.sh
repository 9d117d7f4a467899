#!/usr/bin/env bash
# Prints the path of a working CPython interpreter of the version given
# (default 3.12; the module supports 3.12 to 3.15). A bare `python3.12` may be
# a pyenv shim that refuses until a version is selected, so every candidate is
# run before it is trusted.
#
# When no 3.14 or 3.15 is found, Debian's build of it is installed into
# R7U_CPYTHON_PREFIX (default ${XDG_CACHE_HOME:-~/.cache}/r7u_razarozu/cpython-3.X)
# by scripts/get-cpython.sh; that needs apt-get and root the first time, and
# returns at once when the folder already holds it. R7U_NO_INSTALL=1 forbids it.
set -u
want="${1:-3.12}"
here=$(cd "$(dirname "$0")" && pwd)
works() {
    "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$want' else 1)" >/dev/null 2>&1
}
prefix="${R7U_CPYTHON_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/r7u_razarozu/cpython-$want}"
candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
candidates+=("python$want" "$prefix/bin/python$want")
if command -v pyenv >/dev/null 2>&1; then
    root=$(pyenv root 2>/dev/null)
    for d in "$root"/versions/"$want"*/bin; do
        [ -x "$d/python$want" ] && candidates+=("$d/python$want")
    done
    # Ask pyenv for the newest installed patch release of that version.
    v=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?$" | sort -V | tail -n 1)
    [ -n "$v" ] && candidates+=("$root/versions/$v/bin/python$want")
fi
for d in /usr/local/bin /usr/bin /opt/python*/bin; do
    candidates+=("$d/python$want")
done
find_one() {
    local c p
    for c in "${candidates[@]}"; do
        p=$(command -v "$c" 2>/dev/null) || continue
        if works "$p"; then
            # Resolve to the real interpreter path so a shim is not kept.
            "$p" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    return 1
}
find_one && exit 0
case "$want" in
3.14 | 3.15)
    if [ "${R7U_NO_INSTALL:-0}" != 1 ]; then
        echo "no CPython $want found: installing Debian's build into $prefix" >&2
        bash "$here/get-cpython.sh" "$want" "$prefix" >&2 && find_one && exit 0
    fi
    ;;
esac
echo "no working CPython $want interpreter found" >&2
exit 1
