"""Every error leaving a load says which file, which entry and which check: types and arguments unchanged."""
import json
import os

import pytest

from childrun import run_json
from r7u_razarozu import ParameterBook, ParameterDirectory

GOOD = {"name": "ok", "description": {"default": ""}, "attributes": {"value": 1}}


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf8") as f:
        f.write(text)
    return path


def entries(*items):
    return json.dumps(list(items))


def form(what):
    return (f'the dictionary form {what}: a form holds "name" (a str), "description" (a dict with a "default" '
            'str) and "attributes" (a dict), as to_dict makes it and a book file holds it')


CASES = [
    # (file text, exception type, args or None for "any", notes after the file's own)
    ('[{"name": "a", "description": {"default": ""}, "attributes": {}},]', json.JSONDecodeError, None, []),
    (entries(GOOD, {"name": "b", "description": {"en": "x"}, "attributes": {}}), AssertionError, (),
     [form('has no "default" str in its "description"'), "at entry 2 (name 'b')"]),
    (entries({"name": 5, "description": {"default": ""}, "attributes": {}}), AssertionError, (),
     [form('has a "name" that is not a str'), "at entry 1"]),
    (entries(GOOD, GOOD, {"description": {"default": ""}, "attributes": {}}), AssertionError, (),
     [form('has no "name"'), "at entry 3"]),
    (entries({"name": "c", "description": {"default": ""}, "attributes": []}), AssertionError, (),
     [form('has "attributes" that are not a dict'), "at entry 1 (name 'c')"]),
    (entries(GOOD, [1]), AssertionError, (), ["at entry 2: it is not a JSON object"]),
    ('{"a": 1}', AssertionError, (), ["the book text is not a JSON array"]),
    (entries({"name": "d", "description": {"default": ""}, "attributes": {"v": None}}), TypeError,
     ("Error: Unsupported attribute type: <class 'NoneType'>",),
     ["in the attribute 'v': attribute values are int, float, str, complex, and lists and dicts of these; store it "
      "as one of them, or leave it out", "at entry 1 (name 'd')"]),
    (entries({"name": "e", "description": {"default": ""}, "attributes": {"v": 1}, "x": 0},
             {"name": "self", "description": {"default": ""}, "attributes": {"self": 1}}), TypeError, None,
     ["at entry 2 (name 'self')"]),
]


@pytest.mark.parametrize("text, exc, args, notes", CASES,
                         ids=["trailing-comma", "no-default", "number-name", "no-name", "list-attributes",
                              "not-object", "not-array", "null", "self-attribute"])
def test_book_load_errors_carry_notes(tmp_path, text, exc, args, notes):
    path = write(str(tmp_path / "shelf" / "bad.d7ori"), text)
    with pytest.raises(exc) as e:
        ParameterBook.load(path)
    assert type(e.value) is exc
    if args is not None:
        assert e.value.args == args
    assert e.value.__notes__ == notes + [f"in the book file {path!r}"]


def test_missing_or_unreadable_files(tmp_path):
    path = str(tmp_path / "none.d7ori")
    with pytest.raises(AssertionError) as e:
        ParameterBook.load(path)
    assert e.value.args == () and e.value.__notes__ == [
        "no such file: load takes the path as given, extension included", f"in the book file {path!r}"]
    write(path, "")
    with open(path, "wb") as f:
        f.write(b"[\xff]")
    with pytest.raises(UnicodeDecodeError) as e:
        ParameterBook.load(path)
    assert e.value.__notes__ == [f"in the book file {path!r}"]


def test_directory_load_names_the_file_deep_in_the_tree(tmp_path):
    root = tmp_path / "conf"
    for i in range(5):
        write(str(root / f"d{i}" / "fine.d7ori"), entries(GOOD))
    bad = write(str(root / "d3" / "sub" / "broken.d7ori"), entries(GOOD, {"name": "x", "description": {}}))
    with pytest.raises(AssertionError) as e:
        ParameterDirectory.load(str(root))
    # The innermost load says where; the folders above add nothing more.
    assert e.value.__notes__ == [form('has no "attributes"'), "at entry 2 (name 'x')", f"in the book file {bad!r}"]


def test_directory_load_errors_of_its_own(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as e:
        ParameterDirectory.load(missing)
    assert e.value.filename == missing
    assert e.value.__notes__ == [f"in the folder {missing!r}"]


def test_notes_with_assertions_off(tmp_path):
    path = write(str(tmp_path / "x.d7ori"), entries({"description": {"default": ""}, "attributes": {}}))
    out = run_json(f"""
try:
    B.load({path!r})
except BaseException as e:
    print(json.dumps([type(e).__name__, list(e.args), getattr(e, "__notes__", [])]))
""", optimize=True)
    assert out == ["KeyError", ["name"], ["at entry 1", f"in the book file {path!r}"]]


def test_note_of_an_element_that_its_own_lookups_change(tmp_path):
    # A key whose == runs at the lookup of "attributes" takes "description" away meanwhile.
    out = run_json("""
class Key:
    armed = False
    def __hash__(self):
        return hash("attributes")
    def __eq__(self, other):
        if Key.armed:
            element.pop("description", None)
        return False
element = {"name": "n", Key(): 0, "description": {"d": "x"}, "attributes": {}}
def from_dict(data):
    Key.armed = True
    assert False
P.from_dict = staticmethod(from_dict)
m._json = type("Json", (), {"loads": staticmethod(lambda text: [element])})
with open("b.d7ori", "w") as f:
    f.write("[]")
try:
    B.load("b.d7ori")
except AssertionError as e:
    print(json.dumps(e.__notes__))
""", cwd=tmp_path)
    assert out == ["at entry 1 (name 'n'): its \"description\" is not a JSON object", "in the book file 'b.d7ori'"]
