"""scripts/example.sh and scripts/test.sh install only what changed since the last install.

They run here on a copy of the tree whose virtual environment is a stand-in: its `python`
records every pip call instead of installing, and runs everything else with this interpreter
(which has the module), so the examples really run and no test waits for a compiler.
"""
import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
VERSION = "%d.%d" % sys.version_info[:2]
COPIED = ("scripts", "src", "stubs", "examples", "CMakeLists.txt", "pyproject.toml")


@pytest.fixture
def tree(tmp_path):
    root = tmp_path / "tree"
    root.mkdir()
    for name in COPIED:
        source = ROOT / name
        if source.is_dir():
            shutil.copytree(source, root / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(source, root / name)
    bin_dir = root / f".venv-{VERSION}" / "bin"
    bin_dir.mkdir(parents=True)
    log = tmp_path / "pip.log"
    python = bin_dir / "python"
    python.write_text(f"""#!/bin/sh
if [ "$1" = "-m" ] && [ "$2" = "pip" ]; then shift 2; echo "$*" >> '{log}'; exit 0; fi
exec '{sys.executable}' "$@"
""")
    python.chmod(python.stat().st_mode | stat.S_IEXEC)
    return root, log


def run(root, script, *args):
    env = dict(os.environ, R7U_PYTHON_VERSION=VERSION)
    return subprocess.run(["bash", str(root / "scripts" / script), *args], cwd=root, env=env,
                          capture_output=True, text=True, timeout=300)


def pip_calls(log):
    calls = log.read_text().splitlines() if log.exists() else []
    log.unlink(missing_ok=True)
    return calls


def test_example_script_builds_once_then_only_after_a_change(tree):
    root, log = tree
    first = run(root, "example.sh")
    assert first.returncode == 0, first.stdout + first.stderr
    assert first.stderr == ""
    assert f"== building r7u_razarozu into .venv-{VERSION} (first build" in first.stdout
    calls = pip_calls(log)
    assert len(calls) == 1 and calls[0].startswith("install ") and "--no-deps" in calls[0]
    # The example run installs no test tools.
    assert not any("pytest>=7" in c.split() for c in calls)
    assert "== quickstart.py" in first.stdout

    second = run(root, "example.sh")
    assert second.returncode == 0 and second.stderr == "", second.stderr
    assert pip_calls(log) == []
    assert "building" not in second.stdout
    assert second.stdout.startswith("== ")  # straight to the first example

    # Any source, stub or build file counts; the message says which.
    (root / "src" / "module.cpp").write_text((root / "src" / "module.cpp").read_text() + "\n")
    (root / "stubs" / "r7u_razarozu-stubs" / "__init__.pyi").touch()  # touched, not changed: no rebuild
    third = run(root, "example.sh")
    assert "(changed: src/module.cpp)" in third.stdout
    assert len(pip_calls(log)) == 1
    (root / "CMakeLists.txt").write_text((root / "CMakeLists.txt").read_text() + "# a comment\n")
    assert "(changed: CMakeLists.txt)" in run(root, "example.sh").stdout
    assert len(pip_calls(log)) == 1

    # Another interpreter release in the same environment.
    stamp = root / f".venv-{VERSION}" / "r7u-module.stamp"
    stamp.write_text(stamp.read_text().replace(f"python {sys.version.split()[0]}", "python 3.0.0"))
    assert "(changed: the Python version)" in run(root, "example.sh").stdout
    assert len(pip_calls(log)) == 1


def test_a_failed_install_leaves_no_stamp(tree):
    root, log = tree
    python = root / f".venv-{VERSION}" / "bin" / "python"
    python.write_text(python.read_text().replace("exit 0", "exit 1"))
    assert run(root, "example.sh").returncode != 0
    assert not (root / f".venv-{VERSION}" / "r7u-module.stamp").exists()
    assert len(pip_calls(log)) == 1


def test_test_tools_are_installed_once(tree):
    root, log = tree
    prepare = ["bash", "-c", 'source scripts/venv.sh && r7u_prepare_venv "$@"', "prepare"]
    env = dict(os.environ, R7U_PYTHON_VERSION=VERSION)

    def prepare_run(*args):
        done = subprocess.run(prepare + list(args), cwd=root, env=env, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout

    out = prepare_run("test")
    assert "== installing the test tools" in out
    calls = pip_calls(log)
    assert len(calls) == 2 and "--no-deps" in calls[0]
    assert "pytest>=7" in calls[1].split() and "sphinx" in calls[1]
    assert prepare_run("test") == ""
    assert pip_calls(log) == []
    # A new test tool in pyproject.toml: the tools again (and the module, whose build file changed).
    pyproject = root / "pyproject.toml"
    pyproject.write_text(pyproject.read_text().replace('"pytest>=7"', '"pytest>=7", "coverage"'))
    prepare_run("test")
    calls = pip_calls(log)
    assert len(calls) == 2 and "coverage" in calls[1].split()


def test_test_paths_as_typed_from_where_the_script_starts(tree):
    root, _ = tree
    (root / "tests").mkdir()
    (root / "tests" / "test_one.py").write_text("def test_a(): pass\ndef test_b(): pass\n")
    (root / "tests" / "test_two.py").write_text("def test_c(): assert False\n")
    (root / "b").touch()  # an expression of -k that is also a file here stays an expression
    for args, passed in [(["tests/test_one.py::test_a"], "1 passed"),           # from the root
                         (["test_one.py", "-k", "b"], "1 passed"),              # from tests/, as before
                         (["--ignore=tests/test_two.py", "tests"], "2 passed")]:
        done = run(root, "test.sh", *args)
        assert done.returncode == 0 and passed in done.stdout, (args, done.stdout + done.stderr)
