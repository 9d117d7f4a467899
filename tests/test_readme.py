"""The README's examples and the programs in examples/ run, so they never go stale.

Each "## " section of README.md is one doctest: its ```python blocks run in order with shared
names, in an empty temporary folder, with the environment restored afterwards.
"""
import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from platforms import needs_locale_variables

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
EXAMPLES = ROOT / "examples"
LOCALE_WARNING = "ignore:'locale.getdefaultlocale' is deprecated:DeprecationWarning"


def sections():
    """(title, line number, python source) for each README section with python blocks.

    The source keeps the README's line positions (prose lines blanked), so a failing example
    is reported at its line in README.md.
    """
    found = []
    title, start, source, in_block, has_block = None, 0, [], False, False
    lines = README.read_text(encoding="utf8").split("\n")
    for number, line in enumerate(lines + ["## end"]):
        if line.startswith("## ") and not in_block:
            if has_block:
                found.append((title, start, "\n".join(source) + "\n"))
            title, start, source, has_block = line[3:], number, [], False
            line = ""
        if line == "```python":
            in_block = has_block = True
            source.append("")
        elif in_block and line == "```":
            in_block = False
            source.append("")
        else:
            source.append(line if in_block else "")
    return found


SECTIONS = sections()


def test_every_python_block_is_a_doctest():
    # A block without prompts would run nothing and check nothing.
    text = README.read_text(encoding="utf8")
    blocks = re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)
    assert len(blocks) >= 15
    for block in blocks:
        assert block.startswith(">>> "), block


def test_sections_with_examples():
    titles = [title for title, _, _ in SECTIONS]
    for needed in ("A short tour", "Parameters", "Books", "Directories", "The book file", "Errors you will meet",
                   "Recipes"):
        assert needed in titles


def test_the_user_comes_first():
    # The two set-up commands open the file, then the tour; building, checking and measuring the
    # module come at its end.
    text = README.read_text(encoding="utf8")
    titles = [line[3:] for line in text.splitlines() if line.startswith("## ")]
    assert titles[:2] == ["Try it", "A short tour"]
    for needed in ("Install", "Threads and processes", "Pickling and copying", "Known limits",
                   "help(), pydoc and IPython", "Type checking and editor help"):
        assert titles.index(needed) < titles.index("Performance") < titles.index("Development")
    first_screen, rest = text.split("\n## A short tour\n")
    assert len(first_screen.splitlines()) <= 45
    before_the_end = rest.split("\n## Development\n")[0]
    for developer_matter in ("sanitizer", "fuzz", "scripts/test.sh", ".ci/run", "How the reads get there"):
        assert developer_matter not in before_the_end
    assert "sanitizer" not in first_screen and "fuzz" not in first_screen
    assert "scripts/test-sanitizers.sh" in (ROOT / "CONTRIBUTING.md").read_text(encoding="utf8")
    assert "How the reads get there" in (ROOT / "docs" / "performance.md").read_text(encoding="utf8")
    assert "](docs/performance.md)" in before_the_end


def test_first_screen_commands_are_what_ci_runs():
    first_screen = README.read_text(encoding="utf8").split("\n## A short tour\n")[0]
    block = re.search(r"^```sh\n(.*?)^```$", first_screen, re.M | re.S).group(1)
    example, whole = [line.split("#")[0].strip() for line in block.splitlines()]
    assert example == "bash scripts/example.sh"
    for command in (example, whole, "bash scripts/test.sh"):
        assert (ROOT / command.split()[1]).is_file(), command
    # CI runs exactly the README's test command, and nothing else.
    steps = [line for line in (ROOT / ".ci" / "run").read_text().splitlines()
             if line.strip() and not line.startswith(("#", "set ", "cd "))]
    assert steps == ["exec " + whole]
    for version in ("3.13", "3.14", "3.15"):
        assert version in first_screen
    assert "R7U_PYTHON_VERSION=3.15 bash scripts/example.sh" in first_screen
    assert "R7U_PYTHON_VERSION=3.15 bash scripts/test.sh" in first_screen


def test_license_file_matches_the_package_metadata():
    import tomllib
    with open(ROOT / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["license"]["text"]
    assert declared == "Proprietary"
    assert (ROOT / "LICENSE").read_text(encoding="utf8").startswith("Proprietary License\n")


@pytest.fixture
def clean_folder(tmp_path, monkeypatch):
    """An empty working folder and a settled environment, restored afterwards."""
    saved = dict(os.environ)
    for name in ("LC_ALL", "LC_CTYPE", "LANGUAGE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("LANG", "C.UTF-8")
    monkeypatch.chdir(tmp_path)
    yield tmp_path
    os.environ.clear()
    os.environ.update(saved)


@pytest.mark.filterwarnings(LOCALE_WARNING)
@pytest.mark.parametrize("title, line, source", SECTIONS, ids=[s[0] for s in SECTIONS])
def test_readme_section(title, line, source, clean_folder):
    test = doctest.DocTestParser().get_doctest(source, {"__name__": "readme"}, title, str(README), line)
    assert test.examples
    out = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=out.append)
    assert runner.failures == 0, "".join(out)
    # Everything the section wrote stays in its temporary folder.
    assert not (ROOT / "conf").exists() and not (ROOT / "settings").exists()


# ---------------------------------------------------------------------------
# The programs in examples/
# ---------------------------------------------------------------------------
def run_example(name, *args, cwd, env=None):
    import r7u_razarozu
    env = dict(os.environ if env is None else env)
    # The module under test, wherever this interpreter found it (a dev build or the venv).
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.path.dirname(r7u_razarozu.__file__), env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.py")))
def test_example_runs_without_arguments(name, tmp_path):
    # As scripts/example.sh runs them: no arguments, an empty working folder.
    run = run_example(name, cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout
    assert run.stderr == ""  # a good run says nothing on stderr


def test_quickstart_output(tmp_path):
    run = run_example("quickstart.py", cwd=tmp_path)
    lines = run.stdout.splitlines()
    assert lines[0] == ("{'name': 'speed', 'description': {'default': 'Motor speed', 'de_DE': 'Motordrehzahl'}, "
                        "'attributes': {'value': 3, 'lo': 0, 'hi': 10.5}}")
    assert lines[1] == "4 3 0"
    assert lines[2] == "['motor.d7ori', 'ui']"
    assert lines[-1] == "dark"
    assert list(tmp_path.iterdir()) == []  # it worked in a temporary folder of its own


@needs_locale_variables
def test_app_settings(tmp_path):
    env = dict(os.environ, LC_ALL="de_DE.UTF-8")
    first = run_example("app_settings.py", "conf", "--set", "ui/window/theme=dark", "--set", "network/timeout=5",
                        cwd=tmp_path, env=env)
    assert first.returncode == 0, first.stderr
    assert re.search(r'^ui/window/theme +"dark"  Farbschema$', first.stdout, re.M)
    assert sorted(p.name for p in (tmp_path / "conf").iterdir()) == ["network.d7ori", "ui"]
    # The next start finds the saved values; French descriptions on request.
    second = run_example("app_settings.py", "conf", "--locale", "fr_FR", cwd=tmp_path, env=env)
    assert re.search(r'^ui/window/theme +"dark"  Thème de couleurs$', second.stdout, re.M)
    assert re.search(r"^network/timeout +5  Délai d'attente d'une requête en secondes$", second.stdout, re.M)
    # Limits are checked: on the command line, and in what it loads.
    refused = run_example("app_settings.py", "conf", "--set", "ui/window/width=99", cwd=tmp_path, env=env)
    assert refused.returncode == 2 and "99 is outside 320..7680" in refused.stderr
    wide = run_example("app_settings.py", "conf", "--set", "ui/window/width=wide", cwd=tmp_path, env=env)
    assert wide.returncode == 2 and 'ui/window/width: expected an int, got "wide"' in wide.stderr
    book = (tmp_path / "conf" / "network.d7ori")
    book.write_text(book.read_text(encoding="utf8").replace('"value": 5', '"value": 500'), encoding="utf8")
    third = run_example("app_settings.py", "conf", cwd=tmp_path, env=env)
    assert "warning: network/timeout: 500 is outside 0.1..60.0; the default stays" in third.stdout
    assert re.search(r"^network/timeout +2.5  Zeitlimit", third.stdout, re.M)


def test_settings_tool(tmp_path):
    from r7u_razarozu import ParameterBook, ParameterDirectory
    ParameterDirectory({"ui": ParameterDirectory({"window": ParameterBook(values={"width": 1024})})}).save(
        str(tmp_path / "conf"))

    def tool(*args):
        return run_example("settings_tool.py", str(tmp_path / "conf"), *args, cwd=tmp_path)

    assert tool("list").stdout == 'ui/window/width.value = 1024\nui/window/width[default] = ""\n'
    changed = tool("set", "ui/window/width", "1280")
    assert changed.stdout.splitlines() == [
        "--- before", "+++ after", "@@ -1 +1 @@", "-ui/window/width.value = 1024", "+ui/window/width.value = 1280"]
    assert ParameterDirectory.load(str(tmp_path / "conf")).ui.window.get_parameter_value("width") == 1280
    # A new book in a new folder, a JSON value and a description.
    added = tool("set", "net/proxy/hosts", '["a", "b"]')
    assert '+net/proxy/hosts.value = ["a", "b"]' in added.stdout
    described = tool("describe", "net/proxy/hosts", "Rechner", "--locale", "de_DE")
    assert '+net/proxy/hosts[de_DE] = "Rechner"' in described.stdout
    dry = tool("--dry-run", "delete", "ui/window/width")
    assert "-ui/window/width.value = 1280" in dry.stdout
    assert "ui/window/width.value = 1280" in tool("list", "ui").stdout
    # Errors are reported, not raised.
    for args, message in [(("rename", "ui/window", "nothing", "x"), "error: Old name `nothing` does not exist."),
                          (("delete", "ui/window/nothing"), "error: no parameter nothing in ui/window"),
                          (("show", "ui"), "error: ui is a directory, not a book"),
                          (("set", "ui/window/width", "null"), "error: Error: Unsupported attribute type")]:
        run = tool(*args)
        assert run.returncode == 1 and run.stderr.startswith(message), (args, run.stderr)
    assert (tmp_path / "conf" / "ui" / "window.d7ori").exists()
    assert "no change" in tool("set", "ui/window/width", "1280").stdout
