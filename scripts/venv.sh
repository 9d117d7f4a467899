# Sourced by the set-up scripts: makes (or reuses) the virtual environment
# .venv-<version> for a CPython of that version and installs the module and
# the test tools into it. Sets $venv_python.
r7u_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
r7u_version="${R7U_PYTHON_VERSION:-3.12}"
r7u_venv="$r7u_root/.venv-$r7u_version"
venv_python="$r7u_venv/bin/python"

r7u_prepare_venv() {
    local py
    py=$("$r7u_root/scripts/find-python.sh" "$r7u_version")
    if ! "$venv_python" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$r7u_version' else 1)" 2>/dev/null; then
        rm -rf "$r7u_venv"
        "$py" -m venv "$r7u_venv"
    fi
    "$venv_python" -m pip install -q --disable-pip-version-check "$r7u_root[test]"
}
