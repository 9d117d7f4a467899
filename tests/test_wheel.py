"""The README's install commands, run as written in a copy of the project, give a wheel that
installs into a fresh virtual environment, stubs included.

They run once per test run (a module fixture). The build fetches the build backend from the
package registry; when the registry cannot be reached, these tests are skipped, and any other
build failure fails them.
"""
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

import pytest

from stubdocs import documented, undocumented

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
STUB = ROOT / "stubs" / "r7u_razarozu-stubs" / "__init__.pyi"
EXAMPLES = ROOT / "examples"
# What pip says when it cannot reach the registry (or the registry has nothing for it).
UNREACHABLE = re.compile(
    r"NewConnectionError|Failed to establish a new connection|Temporary failure in name resolution"
    r"|Name or service not known|Network is unreachable|Connection refused|ConnectTimeout|ReadTimeout"
    r"|No matching distribution found for scikit-build-core|from versions: none")


# Settings that would reach the module or stubs of the tree, or (in the sanitizer run) preload
# the sanitizer runtime into pip, the compiler and the fresh interpreter: the wheel is built
# and used as a user builds and uses it.
NOT_PASSED_ON = {"PYTHONPATH", "MYPYPATH", "PYTHONHOME", "VIRTUAL_ENV", "PYTHONSTARTUP", "PYTHONMALLOC",
                 "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"}


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in NOT_PASSED_ON}
    env.update(extra)
    return env


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=900, **kw)


def install_commands():
    """The README's install block, with this interpreter's version in its first line."""
    section = README.read_text(encoding="utf8").split("\n## Install\n")[1]
    block = re.search(r"^```sh\n(.*?)^```$", section, re.M | re.S).group(1)
    version = "%d.%d" % sys.version_info[:2]
    assert block.startswith("py=$(scripts/find-python.sh 3.12)")
    return block.replace("find-python.sh 3.12", "find-python.sh " + version, 1)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """A copy of the project in which the README's install commands ran, and the wheel they made."""
    tree = tmp_path_factory.mktemp("clone") / "r7u_razarozu"
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(
        ".git", ".venv*", "build", "dist", "wheelhouse", "__pycache__", ".hypothesis"))
    # find-python.sh takes the interpreter of this run (not its virtual environment, which has pip).
    done = run("bash", "-e", "-c", install_commands(), cwd=tree,
               env=clean_env(PYTHON=sys._base_executable, R7U_NO_INSTALL="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
                             PIP_RETRIES="2", PIP_TIMEOUT="30"))
    if done.returncode != 0:
        if UNREACHABLE.search(done.stdout + done.stderr):
            pytest.skip("the package registry is unreachable: " + done.stderr.strip().splitlines()[-1])
        pytest.fail("the README's install commands failed:\n" + done.stdout + done.stderr)
    wheels = list((tree / "dist").glob("*.whl"))
    assert len(wheels) == 1, wheels
    return tree, wheels[0]


@pytest.fixture(scope="module")
def wheel(installed):
    return installed[1]


@pytest.fixture(scope="module")
def venv(installed):
    """The README's virtual environment, with the wheel installed."""
    python = installed[0] / ".venv" / "bin" / "python"
    purelib = run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])").stdout.strip()
    return python, Path(purelib)


def test_wheel_is_for_this_interpreter_and_holds_the_stubs(wheel):
    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert wheel.name.startswith(f"r7u_razarozu-0.1.0-{tag}-{tag}-"), wheel.name
    # The name the README shows, for this version and platform.
    shown = re.search(r"# builds dist/(\S+)", install_commands()).group(1)
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    assert wheel.name == shown.replace("cp312", tag).replace("linux_x86_64", platform)
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        stub = archive.read("r7u_razarozu-stubs/__init__.pyi")
    assert stub == STUB.read_bytes()
    extension = "r7u_razarozu" + sysconfig.get_config_var("EXT_SUFFIX")
    payload = sorted(n for n in names if ".dist-info/" not in n)
    assert payload == ["r7u_razarozu-stubs/__init__.pyi", extension]
    # A stub-only package for a whole module: no py.typed marker (that would mean "partial").
    assert not any(n.endswith("py.typed") for n in names)


def test_installed_wheel_imports_from_the_fresh_environment(venv, tmp_path):
    python, site = venv
    code = ("import sys, r7u_razarozu as m; print(m.__file__); "
            "b = m.ParameterBook(values={'speed': 3}); b.save('motor'); "
            "print(m.ParameterBook.load('motor.d7ori').get_parameter_value('speed'))")
    # -I: neither the working folder nor PYTHONPATH nor the user's site-packages count.
    result = run(python, "-I", "-W", "error", "-c", code, cwd=tmp_path, env=clean_env())
    assert result.returncode == 0, result.stderr
    where, value = result.stdout.splitlines()
    assert Path(where).parent == site
    assert value == "3"
    assert (site / "r7u_razarozu-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()


def test_installed_stubs_document_every_member(venv):
    # Editors read the installed stubs, not the module: each member has English help there.
    _, site = venv
    text = (site / "r7u_razarozu-stubs" / "__init__.pyi").read_text(encoding="utf8")
    assert undocumented(text) == []
    names = documented(text)
    assert names["<module>"] and names["Parameter"] and names["ParameterBook.save"]
    assert len(names) > 60


def test_examples_run_from_the_installed_wheel(venv, tmp_path):
    python, _ = venv
    for example in sorted(EXAMPLES.glob("*.py")):
        result = run(python, "-I", example, cwd=tmp_path, env=clean_env())
        assert result.returncode == 0, (example.name, result.stderr)


def test_mypy_finds_the_installed_stubs(venv, tmp_path):
    # mypy runs here but looks for packages in the fresh environment only (--python-executable);
    # with --strict, a module without type information would be an error, so a clean run proves
    # that the stubs were found there.
    python, site = venv
    result = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
                 "--cache-dir", tmp_path / "cache", "--no-color-output", EXAMPLES,
                 cwd=tmp_path, env=clean_env())
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r"Success: no issues found in \d+ source files", result.stdout)

    probe = tmp_path / "probe.py"
    probe.write_text("import r7u_razarozu\nreveal_type(r7u_razarozu.ParameterBook.load)\n", encoding="utf8")
    result = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
                 "--cache-dir", tmp_path / "cache", "--no-color-output", probe, cwd=tmp_path, env=clean_env())
    assert result.returncode == 0, result.stdout
    assert 'def (filename: str) -> r7u_razarozu.ParameterBook' in result.stdout.replace("builtins.", "")


def test_without_the_stubs_mypy_would_complain(venv, tmp_path):
    # The counter-check: an environment without the stub package fails the same strict run.
    python, _ = venv
    bare = tmp_path / "bare"
    made = run(sys.executable, "-m", "venv", "--without-pip", bare, env=clean_env())
    assert made.returncode == 0, made.stderr
    result = run(sys.executable, "-m", "mypy", "--strict", "--python-executable", bare / "bin" / "python",
                 "--cache-dir", tmp_path / "cache", "--no-color-output", EXAMPLES / "quickstart.py",
                 cwd=tmp_path, env=clean_env())
    assert result.returncode == 1
    assert 'Cannot find implementation or library stub for module named "r7u_razarozu"' in result.stdout
