"""The type stubs in stubs/ against the module as built: stubtest, completeness, strict mypy.

The stubs of the source tree are put on MYPYPATH (as a single-file stub), so these tests
check the tree as it is now, whatever copy an earlier install left in site-packages.
tests/test_wheel.py checks that an installed wheel carries them where mypy finds them.
"""
import ast
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import r7u_razarozu as m
from stubdocs import documented, undocumented

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "r7u_razarozu-stubs" / "__init__.pyi"
CLASSES = (m.Parameter, m.ParameterBook, m.ParameterDirectory)
# Set by the interpreter's import machinery, not by the module body.
HOST_MODULE_NAMES = {"__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
# Set by type() on every class; __slotnames__ is the cache copyreg leaves on a class once
# an instance has been copied or pickled.
HOST_CLASS_NAMES = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__", "__slotnames__"}
# Left out of the stubs so that a misspelt method name is reported by name (see the stub's header).
UNSTUBBED = {"ParameterBook.__getattr__", "ParameterDirectory.__getattr__"}


def stub_dir(tmp_path, text=None):
    """A MYPYPATH folder holding the stubs (or `text`) as r7u_razarozu.pyi."""
    folder = tmp_path / "stubpath"
    folder.mkdir()
    (folder / "r7u_razarozu.pyi").write_text(STUB.read_text(encoding="utf8") if text is None else text, encoding="utf8")
    return folder


def tool_env(mypypath):
    env = dict(os.environ)
    env["MYPYPATH"] = str(mypypath)
    # The module under test, wherever this interpreter found it (a dev build or the venv).
    runtime_dir = os.path.dirname(m.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (runtime_dir, env.get("PYTHONPATH")) if p)
    return env


def stubtest(tmp_path, text=None):
    mypypath = stub_dir(tmp_path, text)
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "r7u_razarozu"],
        cwd=tmp_path, env=tool_env(mypypath), capture_output=True, text=True, timeout=300,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def mypy(tmp_path, cache, *args, text=None):
    mypypath = stub_dir(tmp_path, text)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--hide-error-context", "--no-color-output", "--cache-dir", str(cache), *args],
        cwd=tmp_path, env=tool_env(mypypath), capture_output=True, text=True, timeout=300,
    )


# ---------------------------------------------------------------------------
# stubtest
# ---------------------------------------------------------------------------
def test_stubtest_passes_without_allowlist(tmp_path):
    run = stubtest(tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "Success: no issues found in 1 module" in run.stdout


def mutate(old, new, count=1):
    text = STUB.read_text(encoding="utf8")
    assert text.count(old) == count, old
    return text.replace(old, new)


@pytest.mark.parametrize("text, expected", [
    # A parameter renamed, a default changed, a static method made plain, a method forgotten,
    # a constant with the wrong value, a class attribute of the wrong type, a public name forgotten.
    (lambda: mutate("raise_if_none: bool = False", "raise_if_missing: bool = False"),
     "r7u_razarozu.Parameter.get is inconsistent"),
    (lambda: mutate("auto_append_extend_name: bool = True", "auto_append_extend_name: bool = False"),
     "r7u_razarozu.ParameterBook.save is inconsistent"),
    (lambda: mutate("    @staticmethod\n    def load(filename: str)", "    def load(self, filename: str)"),
     "r7u_razarozu.ParameterBook.load is inconsistent"),
    (lambda: mutate("    def rename(self, old: str, new: str) -> None:\n        \"\"\"Move the parameter",
                    "    def _rename_gone(self, old: str, new: str) -> None:\n        \"\"\"Move the parameter"),
     "r7u_razarozu.ParameterBook.rename is not present in stub"),
    (lambda: mutate("LIMIT_MODE_RELATIVE: Final = 1", "LIMIT_MODE_RELATIVE: Final = 3"),
     "r7u_razarozu.LIMIT_MODE_RELATIVE is inconsistent"),
    (lambda: mutate("    ExtName: ClassVar[str]", "    ExtName: ClassVar[int]"),
     "r7u_razarozu.ParameterBook.ExtName variable differs from runtime type"),
    (lambda: mutate("InvalidNameCharacters: Final = '.\\\\/:*?\"<>|'\n", ""),
     "r7u_razarozu.InvalidNameCharacters is not present in stub"),
], ids=["parameter-name", "default", "static", "missing-method", "constant", "attribute-type", "missing-name"])
def test_stubtest_sees_a_wrong_stub(tmp_path, text, expected):
    # Proves the run above compares against the real module, not against nothing.
    run = stubtest(tmp_path, text())
    assert run.returncode == 1, run.stdout + run.stderr
    assert expected in run.stdout, run.stdout


# ---------------------------------------------------------------------------
# Completeness and order (stubtest skips private runtime names that a stub lacks)
# ---------------------------------------------------------------------------
def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf8"))


def bound_names(body):
    """Names a stub body binds, in order, with the decorators of each function."""
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            deco = [d.id for d in getattr(node, "decorator_list", []) if isinstance(d, ast.Name)]
            names.setdefault(node.name, deco)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.setdefault(node.target.id, [])
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names.setdefault(target.id, [])
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname == alias.name:  # an explicit re-export
                    names.setdefault(alias.name, [])
        elif isinstance(node, ast.If):  # a version check: both branches
            for name, deco in bound_names(node.body + node.orelse).items():
                names.setdefault(name, deco)
    return names


def test_every_module_name_is_in_the_stub():
    runtime = set(vars(m)) - HOST_MODULE_NAMES
    stubbed = set(bound_names(stub_tree().body))
    assert runtime - stubbed == set()
    # Names private to the stub (helper types) start with an underscore and are not runtime names.
    extra = {n for n in stubbed - runtime if not n.startswith("_") or n.startswith("__")}
    assert extra == set()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_class_member_is_in_the_stub_in_namespace_order(cls):
    node = next(n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == cls.__name__)
    stubbed = bound_names(node.body)
    runtime = [k for k in vars(cls) if k not in HOST_CLASS_NAMES and f"{cls.__name__}.{k}" not in UNSTUBBED]
    private_maps = [n for n in stubbed if n.startswith(f"_{cls.__name__}__")]
    assert private_maps, "the instance's private map is declared"
    assert [n for n in stubbed if n not in private_maps] == runtime
    for name in runtime:
        member = inspect.getattr_static(cls, name)
        kind = ("staticmethod" if isinstance(member, staticmethod)
                else "property" if isinstance(member, property) else None)
        decorators = [d for d in stubbed[name] if d in ("staticmethod", "property")]
        assert decorators == ([kind] if kind else []), name


def test_instance_maps_are_typed_as_the_constructor_makes_them():
    # The stub declares the private maps; check their names against real instances.
    book = m.ParameterBook(values={"a": 1})
    assert list(vars(m.Parameter())) == ["_Parameter__description", "_Parameter__attributes"]
    assert list(vars(book)) == ["_ParameterBook__parameters"]
    assert list(vars(m.ParameterDirectory())) == ["_ParameterDirectory__parameters"]


# ---------------------------------------------------------------------------
# English help for editors: every stub member carries a docstring
# ---------------------------------------------------------------------------
def test_every_stub_member_has_an_english_docstring():
    text = STUB.read_text(encoding="utf8")
    assert undocumented(text) == []
    names = documented(text)
    for cls in CLASSES:
        for member in vars(cls):
            if member not in HOST_CLASS_NAMES and f"{cls.__name__}.{member}" not in UNSTUBBED:
                assert names.get(f"{cls.__name__}.{member}"), member
    for public in ("<module>", "LIMIT_MODE_ABSOLUTE", "InvalidNameCharacters", "ParameterBook.ExtName"):
        assert names[public]


@pytest.mark.parametrize("old, new, missing", [
    ('    def clone(self) -> ParameterBook:\n        """Return a deep copy: every parameter cloned, in the same order."""\n',
     "    def clone(self) -> ParameterBook: ...\n", "ParameterBook.clone"),
    ('    """Deep-copy an attribute value: a complex number is copied."""\n', "    ...\n",
     "_clone_attribute'"),  # the second overload
    ('    """The extension of book files, "d7ori" (without the dot)."""\n', "", "ParameterBook.ExtName"),
    ('"""Return a live view of the item names, in insertion order."""', '"""返回名称"""', "ParameterDirectory.names"),
], ids=["method", "overload", "attribute", "not-english"])
def test_a_missing_docstring_is_found(old, new, missing):
    assert undocumented(mutate(old, new)) == [missing]


def test_runtime_docstrings_are_not_the_stub_ones():
    # The stubs document for editors; the module keeps its own texts.
    assert m.__doc__ is None and m.Parameter.__doc__ is None
    assert m.Parameter.clone.__doc__.strip().startswith("对本参数执行一次深拷贝")
    assert m.Parameter.set_description.__doc__ is None


# ---------------------------------------------------------------------------
# mypy --strict on the stub and on code a user writes
# ---------------------------------------------------------------------------
def test_stub_is_clean_under_strict_mypy(tmp_path, mypy_cache):
    run = mypy(tmp_path, mypy_cache, str(tmp_path / "stubpath" / "r7u_razarozu.pyi"))
    assert run.returncode == 0, run.stdout + run.stderr


# Each line of user code, then what mypy must say about it: a revealed type, an error code,
# or nothing (None).
USER_CODE = [
    ("import r7u_razarozu as m", None),
    ("from typing import Any", None),
    ("from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory", None),
    ('p = Parameter({"default": "Speed", "de_DE": "Drehzahl"}, value=3, hi=10.5, modes=["a"], z=1j)', None),
    ('counts: list[int] = [1, 2]', None),
    ('q = Parameter("text", value=counts, table={"k": [1]})', None),
    ("reveal_type(p.value)", 'Revealed type is "Any"'),
    ('reveal_type(p.get("value", 0))', 'Revealed type is "Any"'),
    ("reveal_type(p.description)", 'Revealed type is "str"'),
    ("reveal_type(p.items())", 'Revealed type is "_collections_abc.dict_items[str, Any]"'),
    ("reveal_type(p.all_descriptions())", 'Revealed type is "dict[str, str]"'),
    ('form = p.to_dict("speed")', None),
    ('reveal_type(form["attributes"])', 'Revealed type is "dict[str, Any]"'),
    ("reveal_type(Parameter.from_dict(form))", 'Revealed type is "tuple[str, r7u_razarozu.Parameter]"'),
    ('reveal_type(p.from_dict({"name": "n", "description": {}, "attributes": {}}))',
     'Revealed type is "tuple[str, r7u_razarozu.Parameter]"'),
    ("reveal_type(p.clone())", 'Revealed type is "r7u_razarozu.Parameter"'),
    ("p.anything = object()", None),
    ('p["x"] = None', None),
    ('p.description = "x"', "[misc]"),
    ("Parameter(value=None)", "[arg-type]"),
    ("Parameter(value=(1, 2))", "[arg-type]"),
    ("Parameter(3)", "[arg-type]"),
    ("p.get(1)", "[arg-type]"),
    ('p.set_description("Text", locale=None)', "[arg-type]"),
    ('book = ParameterBook({"speed": p}, values={"mode": "eco"})', None),
    ('book.set_paramter_value("speed", 4)', '"ParameterBook" has no attribute "set_paramter_value"'),
    ("book.speed", '"ParameterBook" has no attribute "speed"'),  # typed code subscribes
    ('book.set_parameter_value("speed", None)', "[arg-type]"),
    ('book.get_or_set_parameter_value("speed", (1, 2))', "[arg-type]"),
    ("counts_by_name: dict[str, int] = {}", None),
    ("ParameterBook(values=counts_by_name)", None),
    ('ParameterBook(values={"a": 1, "b": "x", "c": [counts]})', None),
    ('ParameterBook(values={"a": None})', "[dict-item]"),
    ('reveal_type(book["speed"])', 'Revealed type is "r7u_razarozu.Parameter"'),
    ('reveal_type(book.get_parameter_value("speed"))', 'Revealed type is "Any"'),
    ("reveal_type(book.items())",
     'Revealed type is "_collections_abc.dict_items[str, r7u_razarozu.Parameter]"'),
    ("reveal_type(str(book))", 'Revealed type is "str"'),
    ('reveal_type(ParameterBook.load("motor.d7ori"))', 'Revealed type is "r7u_razarozu.ParameterBook"'),
    ("reveal_type(ParameterBook.ExtName)", 'Revealed type is "str"'),
    ("book.other = p", None),
    ("book.other = 5", "[assignment]"),
    ('book["other"] = 5', "[assignment]"),
    ('book.ExtName = "x"', "[misc]"),
    ('ParameterBook(values={1: 2})', "[dict-item]"),
    ('book.save("conf/motor", auto_append_extend_name=False)', None),
    ('books: dict[str, ParameterBook] = {"motor": book}', None),
    ("tree = ParameterDirectory(books)", None),
    ('tree = ParameterDirectory({"motor": book, "sub": ParameterDirectory()})', None),
    ('ParameterDirectory({"motor": p})', "[dict-item]"),
    ('reveal_type(tree["motor"])',
     'Revealed type is "r7u_razarozu.ParameterBook | r7u_razarozu.ParameterDirectory"'),
    ('item = tree["motor"]', None),
    ("item.get_parameter_value('speed')",
     'Item "ParameterDirectory" of "ParameterBook | ParameterDirectory" has no attribute "get_parameter_value"'),
    ("if isinstance(item, ParameterBook): reveal_type(item.get_parameter_value('speed'))", 'Revealed type is "Any"'),
    ("tree.extra = book", None),
    ("tree.extra = p", "[assignment]"),
    ('reveal_type(ParameterDirectory.load("settings"))', 'Revealed type is "r7u_razarozu.ParameterDirectory"'),
    ('reveal_type(ParameterDirectory._backup_books_in_this_directory("settings"))',
     'Revealed type is "list[str]"'),
    ("reveal_type(m._clone_attribute(True))", 'Revealed type is "bool"'),
    ("reveal_type(m._clone_attribute(2.5))", 'Revealed type is "float"'),
    ("reveal_type(m._clone_attribute(1j))", 'Revealed type is "complex"'),
    ("reveal_type(m._clone_attribute([1, [2]]))", 'Revealed type is "list[Any]"'),
    ("m._clone_attribute(None)", "[call-overload]"),
    ("m._clone_attribute((1, 2))", "[call-overload]"),
    ("reveal_type(m.LIMIT_MODE_RELATIVE_PERCENTAGE)", 'Revealed type is "Literal[2]?"'),
    ("reveal_type(m.InvalidNameCharacters)", "Revealed type is \"Literal['.\\\\/:*?\"<>|']?\""),
    ("reveal_type(m._json.dumps('x'))", 'Revealed type is "str"'),
    ("reveal_type(m._path.sep)", 'Revealed type is "str"'),
    ("m.LIMIT_MODE_ABSOLUTE = 5", "[misc]"),
]


def test_types_a_user_sees(tmp_path, mypy_cache):
    source = "\n".join(line for line, _ in USER_CODE) + "\n"
    (tmp_path / "user.py").write_text(source, encoding="utf8")
    run = mypy(tmp_path, mypy_cache, "user.py")
    said = {}
    for out in run.stdout.splitlines():
        match = re.match(r"user\.py:(\d+): (?:error|note): (.*)", out)
        assert match, out
        # Older mypy releases spell builtins with their module.
        said.setdefault(int(match[1]), []).append(match[2].replace("builtins.", ""))
    for number, (line, expected) in enumerate(USER_CODE, start=1):
        messages = " | ".join(said.get(number, []))
        if expected is None:
            assert messages == "", f"{line}: {messages}"
        else:
            assert expected in messages, f"{line}: {messages}"
    assert run.returncode == 1  # the lines above that must be refused


def test_examples_pass_strict_mypy(tmp_path, mypy_cache):
    run = mypy(tmp_path, mypy_cache, str(ROOT / "examples"))
    assert run.returncode == 0, run.stdout + run.stderr


def test_stub_parses_on_the_oldest_supported_python(tmp_path, mypy_cache):
    # requires-python is 3.12; the stub must not use newer syntax.
    (tmp_path / "empty.py").write_text("import r7u_razarozu\n", encoding="utf8")
    run = mypy(tmp_path, mypy_cache, "--python-version", "3.12", "empty.py")
    assert run.returncode == 0, run.stdout + run.stderr
