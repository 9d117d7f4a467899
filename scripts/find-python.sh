#!/usr/bin/env bash
# Prints the path of a working CPython interpreter of the version given
# (default 3.12). A bare `python3.12` may be a pyenv shim that refuses until
# a version is selected, so every candidate is run before it is trusted.
set -u
want="${1:-3.12}"
works() {
    "$1" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$want' else 1)" >/dev/null 2>&1
}
candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
candidates+=("python$want")
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
for c in "${candidates[@]}"; do
    p=$(command -v "$c" 2>/dev/null) || continue
    if works "$p"; then
        # Resolve to the real interpreter path so a shim is not kept.
        "$p" -c 'import sys; print(sys.executable)'
        exit 0
    fi
done
echo "no working CPython $want interpreter found" >&2
exit 1
