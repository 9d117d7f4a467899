# Sourced by the set-up scripts: makes (or reuses) the virtual environment
# .venv-<version> for a CPython of that version and brings it up to date.
# Sets $venv_python.
#
#   r7u_prepare_venv        the module only
#   r7u_prepare_venv test   the module and the test tools
#
# Each install leaves a stamp of its inputs in the environment; the next call
# compares and installs again only what is out of date:
# - the module: a hash of every file under src/ and stubs/, of the build files
#   and of this script, plus the interpreter's exact version;
# - the test tools: the test extra of pyproject.toml and the version.
r7u_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
r7u_version="${R7U_PYTHON_VERSION:-3.12}"
r7u_venv="$r7u_root/.venv-$r7u_version"
venv_python="$r7u_venv/bin/python"
r7u_pip=("$venv_python" -m pip install -q --disable-pip-version-check)

# Prints the stamp of the module's inputs: one "hash  path" line per file,
# then the interpreter's version.
r7u_module_inputs() {
    (cd "$r7u_root" &&
        find src stubs CMakeLists.txt pyproject.toml scripts/venv.sh -type f ! -name '*.pyc' -print0 |
        LC_ALL=C sort -z | xargs -0 sha256sum)
    echo "python $("$venv_python" -c 'import sys; print(sys.version.split()[0], sys.implementation.cache_tag)')"
}

# Prints the test extra's requirements, one a line.
r7u_test_requirements() {
    "$venv_python" - "$r7u_root/pyproject.toml" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
EOF
}

# The names of the inputs that differ between two stamps (at most five).
r7u_changed() {
    diff <(echo "$1") <(echo "$2") | sed -n 's/^[<>] //p' | awk '{print ($1 == "python") ? "the Python version" : $2}' |
        sort -u | head -n 5 | awk '{printf "%s%s", (NR > 1 ? ", " : ""), $0}'
}

r7u_prepare_venv() {
    local want_tests="${1:-}"
    if ! "$venv_python" -c "import sys; sys.exit(0 if '%d.%d' % sys.version_info[:2] == '$r7u_version' else 1)" 2>/dev/null; then
        local py
        py=$("$r7u_root/scripts/find-python.sh" "$r7u_version")
        echo "== making the virtual environment .venv-$r7u_version with $py"
        rm -rf "$r7u_venv"
        "$py" -m venv "$r7u_venv"
    fi

    local stamp="$r7u_venv/r7u-module.stamp" now before=""
    now=$(r7u_module_inputs)
    [ -f "$stamp" ] && before=$(cat "$stamp")
    if [ "$now" != "$before" ] ||
        ! "$venv_python" -c "import importlib.util, sys; sys.exit(importlib.util.find_spec('r7u_razarozu') is None)"; then
        if [ -z "$before" ]; then
            echo "== building r7u_razarozu into .venv-$r7u_version (first build in this environment)"
        else
            echo "== building r7u_razarozu into .venv-$r7u_version (changed: $(r7u_changed "$before" "$now"))"
        fi
        rm -f "$stamp"
        "${r7u_pip[@]}" --no-deps "$r7u_root"
        echo "$now" >"$stamp"
    fi

    if [ "$want_tests" = test ]; then
        stamp="$r7u_venv/r7u-test-tools.stamp"
        now="$(r7u_test_requirements)
python $("$venv_python" -c 'import sys; print(sys.version.split()[0])')"
        before=""
        [ -f "$stamp" ] && before=$(cat "$stamp")
        if [ "$now" != "$before" ]; then
            echo "== installing the test tools into .venv-$r7u_version: $(echo "$now" | head -n -1 | paste -sd ' ')"
            rm -f "$stamp"
            local reqs
            mapfile -t reqs < <(echo "$now" | head -n -1)
            "${r7u_pip[@]}" "${reqs[@]}"
            echo "$now" >"$stamp"
        fi
    fi
}
