"""Documentation tools see our functions as methods: the one-page Sphinx autodoc of the module in
docs/ renders every method as a method with its signature, static ones marked static, and the
docstrings' :param: and :return: lines as field lists."""
import html
import os
import re
import subprocess
import sys

from pathlib import Path

import pytest

import r7u_razarozu as m

DOCS = Path(__file__).resolve().parent.parent / "docs"

CLASSES = (m.Parameter, m.ParameterBook, m.ParameterDirectory)
SPECIAL = ("__init__", "__getattr__", "__setattr__", "__delattr__", "__getitem__", "__setitem__", "__delitem__",
           "__str__")
HOST_CLASS_NAMES = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__", "__slotnames__"}


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    assert f":special-members: {', '.join(SPECIAL)}\n" in (DOCS / "index.rst").read_text(encoding="utf8")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (os.path.dirname(m.__file__), env.get("PYTHONPATH")) if p)
    out = tmp_path_factory.mktemp("docs")
    run = subprocess.run([sys.executable, "-m", "sphinx", "-b", "html", "-q", "-W", "--keep-going", "-E",
                          "-d", str(out / "doctrees"), str(DOCS), str(out)],
                         env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    return (out / "index.html").read_text(encoding="utf8")


def entries(page):
    """{object id: (kind, signature text)} for every object on the page."""
    found = {}
    for kind, ident, dt in re.findall(r'<dl class="py (\w+)">\s*<dt class="sig sig-object py" id="([^"]+)">(.*?)</dt>',
                                      page, re.S):
        text = html.unescape(re.sub(r"<[^>]+>", "", dt)).replace("¶", "").strip()
        found[ident] = (kind, " ".join(text.split()))
    return found


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_methods_render_as_methods_with_signatures(page, cls):
    found = entries(page)
    for name, member in vars(cls).items():
        if name in HOST_CLASS_NAMES or (name.startswith("_") and name not in SPECIAL and not name.startswith("__")):
            continue
        if name.startswith("__") and name not in SPECIAL:
            continue
        kind, text = found[f"r7u_razarozu.{cls.__name__}.{name}"]
        if isinstance(member, property):
            assert (kind, text) == ("property", f"property {name}: str")
        elif isinstance(member, str):
            assert kind == "attribute" and text == f"{name} = '{member}'"
        else:
            assert kind == "method", (name, kind, text)
            function = member.__func__ if isinstance(member, staticmethod) else member
            params = [p for p in function.__code__.co_varnames[:function.__code__.co_argcount] if p != "self"]
            prefix = "static " if isinstance(member, staticmethod) else ""
            assert re.fullmatch(re.escape(f"{prefix}{name}(") + r"(.*)\)( → \w+)?", text), text
            # Every parameter, in order; self is left out as for Python methods.
            places = [re.search(rf"[(\s]{param}\b", text) for param in params]
            assert all(places), (name, text)
            assert [p.start() for p in places] == sorted(p.start() for p in places), (name, text)
            assert "self" not in text, text


def test_signature_details(page):
    found = entries(page)
    assert found["r7u_razarozu.Parameter.get"] == (
        "method", "get(name: str, default=None, raise_if_none: bool = False)")
    assert found["r7u_razarozu.Parameter.to_dict"] == ("method", "to_dict(name: str) → dict")
    assert found["r7u_razarozu.ParameterBook.load"] == ("method", "static load(filename: str)")
    assert found["r7u_razarozu.Parameter.__init__"] == (
        "method", "__init__(description: str | dict = '', **kwargs)")
    assert found["r7u_razarozu.Parameter"] == (
        "class", "class r7u_razarozu.Parameter(description: _Union[str, dict] = '', **kwargs)")
    # Nothing else of the classes is taken for an attribute.
    assert [k for k, (kind, _) in found.items() if kind == "attribute"] == ["r7u_razarozu.ParameterBook.ExtName"]


def test_field_lists_render_as_fields(page):
    # Parameters and the return value each under their heading, the text before them a paragraph.
    entry = page.split('id="r7u_razarozu.Parameter.get_description"')[1].split('id="r7u_razarozu.')[0]
    text = " ".join(html.unescape(re.sub(r"<[^>]+>", " ", entry)).split())
    assert "<p>根据指定的语言设定，返回此参数的描述说明</p>" in entry
    assert 'class="field-list' in entry
    assert "Parameters : locale – 语言设定参数 Returns : 一个 str 对象，参数的描述说明" in text
    assert ":param" not in page and ":return" not in page
