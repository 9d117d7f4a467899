"""The book text (str of a book) and the book file: save and load."""
import builtins
import json
import math
import os
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import r7u_razarozu as mod
from childrun import python_output as run_python
from helpers import not_a_str
from platforms import on_disk
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory


def expected_text(book):
    forms = [book[n].to_dict(n) for n in sorted(book.names())]
    return json.dumps(forms, indent=4, ensure_ascii=False)


def raised(call):
    """The error a call raises: type, text and notes (the host's encoder adds notes from 3.14)."""
    try:
        call()
    except Exception as e:
        return type(e), str(e), getattr(e, "__notes__", None)
    raise AssertionError("no error")


def assert_host_error(call, host_call):
    """The error of `call` is the host's own for the same step: its type and text, and its notes
    (from 3.14) unchanged and first; the module's own notes may follow."""
    got, want = raised(call), raised(host_call)
    assert got[:2] == want[:2]
    assert (got[2] or [])[:len(want[2] or [])] == (want[2] or []), (got, want)


def book_with(**values):
    """A book whose parameters hold the given objects unchanged (no copy, no type test)."""
    b = ParameterBook()
    for name, value in values.items():
        p = Parameter()
        p["value"] = value
        b[name] = p
    return b


SPEED_LINES = [
    (0, "["),
    (4, "{"),
    (8, '"name": "speed",'),
    (8, '"description": {'),
    (12, '"default": ""'),
    (8, "},"),
    (8, '"attributes": {'),
    (12, '"value": 3'),
    (8, "}"),
    (4, "}"),
    (0, "]"),
]
SPEED_TEXT = "\n".join(" " * n + t for n, t in SPEED_LINES)


# ---------------------------------------------------------------------------
# The book text
# ---------------------------------------------------------------------------
def test_the_eleven_line_example(tmp_path):
    b = ParameterBook(values={"speed": 3})
    assert str(b) == SPEED_TEXT
    assert str(b).split("\n") == [" " * n + t for n, t in SPEED_LINES]
    b.save(str(tmp_path / "speed"))
    assert (tmp_path / "speed.d7ori").read_bytes() == on_disk(SPEED_TEXT)


def test_empty_book_text():
    assert str(ParameterBook()) == "[]"


def test_text_follows_sorted_names_and_each_to_dict(monkeypatch):
    b = ParameterBook()
    for n in ("b", "a", "B", "é", ""):
        b[n] = Parameter(value=n)
    text = str(b)
    assert [f["name"] for f in json.loads(text)] == sorted(["b", "a", "B", "é", ""])
    assert text == expected_text(b)
    calls = []
    original = Parameter.to_dict
    monkeypatch.setattr(Parameter, "to_dict", lambda self, *a, **k: calls.append((a, k)) or original(self, *a))
    assert str(b) == text
    assert calls == [((n,), {}) for n in sorted(["b", "a", "B", "é", ""])]


VARIED = {
    "nonascii": "Grüße, 世界 😀 \u2028\u007f",
    "controls": "".join(chr(i) for i in range(32)),
    "quotes": 'say "hi" \\ back\\slash /',
    "floats": [float("nan"), float("inf"), -float("inf"), -0.0, 1e16, 5e-324, 1.0, 0.1, 1e-7, 123456789.125],
    "ints": [0, -1, 2**63, -(2**64), 10**100, True, False],
    "nested": {"a": [1, {"b": [[], {}]}, "x"], "empty": {}, "list": []},
    "keys": {1: "int", 2.5: "float", True: "bool", "s": "str", float("nan"): "nan", -0.0: "negzero"},
    "none": None,
    "none_key": {None: 1},
    "empty_str": "",
    "surrogate": "\ud800 lone",
}


def test_text_equals_json_dumps_over_varied_content():
    b = book_with(**VARIED)
    b["described"] = Parameter({"default": "d", "de_DE": "Beschreibung \"q\"\n"}, x=1)
    assert str(b) == expected_text(b)


def test_text_escapes_and_keys():
    text = str(book_with(v={1: "x", 2.5: 1, False: [], None: {}}))
    assert '"1": "x",' in text and '"2.5": 1,' in text and '"false": [],' in text and '"null": {}' in text
    text = str(book_with(v="\x00\x1f\n\t\"\\é"))
    assert r'"value": "\u0000\u001f\n\t\"\\é"' in text
    text = str(book_with(v=[math.nan, math.inf, -math.inf]))
    assert "NaN,\n" in text and "Infinity,\n" in text and "-Infinity\n" in text


json_scalars = (
    st.none() | st.booleans() | st.integers() | st.integers(min_value=-(2**200), max_value=2**200)
    | st.floats(allow_nan=True, allow_infinity=True) | st.text()
)
json_keys = st.text() | st.integers() | st.floats(allow_nan=False) | st.booleans() | st.none()
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(json_keys, inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.dictionaries(st.text(max_size=8), json_values, max_size=5),
       st.dictionaries(st.text(max_size=5), st.text(), max_size=3))
def test_text_property(values, descriptions):
    b = book_with(**{f"p{i}{k}": v for i, (k, v) in enumerate(values.items())})
    if descriptions:
        d = Parameter()
        for locale, text in descriptions.items():
            d.set_description(text, locale)
        b["described"] = d
    assert str(b) == expected_text(b)


def test_rebinding_json_changes_what_is_used(monkeypatch):
    b = ParameterBook(values={"b": 1, "a": 2})
    seen = []

    class FakeJson:
        @staticmethod
        def dumps(*args, **kwargs):
            seen.append((args, kwargs))
            return "TEXT"

    monkeypatch.setattr(mod, "_json", FakeJson)
    assert str(b) == "TEXT"
    (forms,), kwargs = seen[0]
    assert kwargs == {"indent": 4, "ensure_ascii": False}
    assert [f["name"] for f in forms] == ["a", "b"]
    assert forms[0]["attributes"] is b.a.to_dict("a")["attributes"]
    FakeJson.dumps = staticmethod(lambda *a, **k: "OTHER")
    assert str(b) == "OTHER"


def test_patched_json_dumps_is_used(monkeypatch):
    b = ParameterBook(values={"a": 1})
    monkeypatch.setattr(json, "dumps", lambda *a, **k: "PATCHED")
    assert str(b) == "PATCHED"


def test_json_missing(monkeypatch):
    monkeypatch.delattr(mod, "_json")
    with pytest.raises(NameError, match="^name '_json' is not defined$"):
        str(ParameterBook())


def test_a_text_that_is_not_a_str_fails_every_save_as_str_does(monkeypatch, tmp_path):
    monkeypatch.setattr(mod, "_json", types.SimpleNamespace(dumps=lambda *args, **kwargs: 5))
    b = ParameterBook(values={"a": 1})
    tree = ParameterDirectory()
    tree["b"] = b
    want = raised(lambda: str(b))  # the running interpreter's words
    assert want[0] is TypeError
    assert raised(lambda: b.save(str(tmp_path / "x"))) == want
    assert_host_error(lambda: tree.save(str(tmp_path / "t")), lambda: str(b))
    assert os.listdir(tmp_path) == []


def test_text_errors():
    b = ParameterBook(values={"c": 1j})
    assert_host_error(lambda: str(b), lambda: expected_text(b))
    assert raised(lambda: str(b))[:2] == (TypeError, "Object of type complex is not JSON serializable")
    circular = []
    circular.append(circular)
    b = book_with(c=circular)
    assert_host_error(lambda: str(b), lambda: expected_text(b))
    assert raised(lambda: str(b))[:2] == (ValueError, "Circular reference detected")

    class S(str):
        pass

    b = ParameterBook()
    b[S("x")] = Parameter()
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got S\)$"):
        str(b)
    b = ParameterBook()
    b._ParameterBook__parameters["n"] = 5
    with pytest.raises(AttributeError, match="'int' object has no attribute 'to_dict'"):
        str(b)
    b._ParameterBook__parameters = {"a": Parameter(), 1: Parameter()}
    with pytest.raises(TypeError, match="'<' not supported"):
        str(b)


# ---------------------------------------------------------------------------
# Save: names, folders and the extension rule
# ---------------------------------------------------------------------------
@pytest.fixture
def in_tmp(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


def files(root):
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        for f in filenames:
            out.append(os.path.relpath(os.path.join(dirpath, f), root))
    return sorted(out)


@pytest.mark.parametrize(
    "given_name, auto, written",
    [
        ("book", True, "book.d7ori"),
        ("shelf/book", True, "shelf/book.d7ori"),
        ("a/b/c/book", True, "a/b/c/book.d7ori"),
        ("book.d7ori", True, "book.d7ori"),
        ("bookd7ori", True, "bookd7ori"),
        ("bookq7mpt", True, "bookq7mpt.d7ori"),
        ("book.D7ORI", True, "book.D7ORI.d7ori"),
        ("book.txt", True, "book.txt.d7ori"),
        ("shelf/", True, "shelf/.d7ori"),
        ("", True, ".d7ori"),
        ("book", False, "book"),
        ("book", 0, "book"),
        ("book", "", "book"),
        ("book", None, "book"),
        ("book", "yes", "book.d7ori"),
        ("x.d7ori.bak", False, "x.d7ori.bak"),
    ],
)
def test_extension_rule_and_folders(in_tmp, given_name, auto, written):
    b = ParameterBook(values={"speed": 3})
    assert b.save(given_name, auto) is None
    assert files(in_tmp) == [os.path.join(*written.split("/"))]
    assert (in_tmp / written).read_bytes() == on_disk(SPEED_TEXT)


def test_absolute_path_and_default_argument(tmp_path):
    ParameterBook().save(str(tmp_path / "deep" / "er" / "x"))
    assert (tmp_path / "deep" / "er" / "x.d7ori").read_text() == "[]"


def test_save_reads_extname_from_the_module_level_class(in_tmp, monkeypatch):
    class Other:
        ExtName = "zz"

    b = ParameterBook()
    monkeypatch.setattr(mod, "ParameterBook", Other)
    b.save("a")
    b.save("bzz")
    b.save("c", False)
    assert files(in_tmp) == ["a.zz", "bzz", "c"]
    Other.ExtName = ("q", "r")  # endswith accepts a tuple, "%s" shows it as text
    b.save("xr")
    b.save("y")
    assert "y.('q', 'r')" in files(in_tmp) and "xr" in files(in_tmp)


def test_save_goes_through_the_path_and_os_names_in_order(in_tmp, monkeypatch):
    log = []

    class Path:
        @staticmethod
        def dirname(p):
            log.append(("dirname", p))
            return os.path.dirname(p)

        @staticmethod
        def exists(p):
            log.append(("exists", p))
            return os.path.exists(p)

        @staticmethod
        def isdir(p):
            log.append(("isdir", p))
            return os.path.isdir(p)

    class Os:
        @staticmethod
        def makedirs(*args, **kwargs):
            log.append(("makedirs", args, kwargs))
            os.makedirs(*args, **kwargs)

    monkeypatch.setattr(mod, "_path", Path)
    monkeypatch.setattr(mod, "_os", Os)
    monkeypatch.setattr(ParameterBook, "__str__", lambda self: log.append("text") or "T")
    b = ParameterBook()
    b.save("d/x")
    b.save("d/y")
    b.save("z")
    assert log == [
        ("dirname", "d/x"), ("exists", "d"), ("makedirs", ("d",), {}), "text",
        ("dirname", "d/y"), ("exists", "d"), ("isdir", "d"), "text",
        ("dirname", "z"), "text",
    ]
    assert files(in_tmp) == ["d/x.d7ori", "d/y.d7ori", "z.d7ori"]
    assert (in_tmp / "z.d7ori").read_text() == "T"


@pytest.mark.parametrize("text", [b"[]", None])
def test_a_text_that_is_not_a_str_fails_before_the_extension_step(in_tmp, monkeypatch, text):
    log = []

    class Truth:
        def __bool__(self):
            log.append("truth")
            return True

    class Other(ParameterBook):
        ExtName = property(lambda s: log.append("ext"))

    monkeypatch.setattr(mod, "_json", types.SimpleNamespace(dumps=lambda *a, **k: text))
    book = ParameterBook(values={"a": 1})
    tree = ParameterDirectory({"b": book})
    message = f"^{re.escape(not_a_str('r7u_razarozu.ParameterBook', type(text).__name__))}(\n|$)"
    with pytest.raises(TypeError, match=message):
        tree.save("t")
    monkeypatch.setattr(mod, "ParameterBook", Other)
    with pytest.raises(TypeError, match=message):
        book.save("x", Truth())
    assert log == [] and files(in_tmp) == []


def test_save_uses_the_open_captured_at_import(in_tmp, monkeypatch):
    def refuse(*a, **k):
        raise AssertionError("the current builtins.open must not be used")

    monkeypatch.setattr(builtins, "open", refuse)
    ParameterBook().save("x")
    assert ParameterBook.load("x.d7ori").names() == {}.keys()


def test_folder_part_that_is_a_file(in_tmp):
    (in_tmp / "f").write_text("keep")
    with pytest.raises(AssertionError) as e:
        ParameterBook().save("f/x")
    assert e.value.args == ()
    assert (in_tmp / "f").read_text() == "keep"


def test_makedirs_error_propagates(in_tmp, monkeypatch):
    class Os:
        @staticmethod
        def makedirs(p):
            raise FileExistsError(17, "raced", p)

    monkeypatch.setattr(mod, "_os", Os)
    with pytest.raises(FileExistsError):
        ParameterBook().save("new/x")
    assert files(in_tmp) == []


def test_unencodable_text_keeps_the_old_file(in_tmp):
    ParameterBook(values={"a": 1}).save("x")
    before = (in_tmp / "x.d7ori").read_bytes()
    b = ParameterBook(values={"a": "ok \ud800 lone"})
    with pytest.raises(UnicodeEncodeError) as e:
        b.save("x")
    assert e.value.encoding == "utf-8" and e.value.reason == "surrogates not allowed"
    assert (in_tmp / "x.d7ori").read_bytes() == before
    with pytest.raises(UnicodeEncodeError):
        b.save("fresh")
    assert files(in_tmp) == ["x.d7ori"]


def test_unencodable_value_leaves_file_but_folder_stays(in_tmp):
    ParameterBook(values={"a": 1}).save("x")
    before = (in_tmp / "x.d7ori").read_bytes()
    b = ParameterBook(values={"c": 1 + 2j})
    assert_host_error(lambda: b.save("x"), lambda: expected_text(b))
    assert (in_tmp / "x.d7ori").read_bytes() == before
    with pytest.raises(TypeError):
        ParameterBook(values={"c": 1j}).save("made/x")
    assert (in_tmp / "made").is_dir() and os.listdir(in_tmp / "made") == []


def test_file_bytes(in_tmp):
    b = ParameterBook(values={"t": "é\n世", "m": {1: "x"}})
    b.save("x")
    raw = (in_tmp / "x.d7ori").read_bytes()
    assert raw == on_disk(expected_text(b))
    raw = raw.replace(os.linesep.encode(), b"\n")
    assert not raw.startswith(b"\xef\xbb\xbf") and b"\r" not in raw and "é".encode() in raw
    assert b"\\u00e9" not in raw


def test_save_type_check(in_tmp):
    class S(str):
        pass

    for bad, got in [(S("x"), "S"), (None, "NoneType"), (b"x", "bytes")]:
        with pytest.raises(TypeError) as e:
            ParameterBook().save(bad)
        assert str(e.value) == f"Argument 'filename' has incorrect type (expected str, got {got})"
        with pytest.raises(TypeError) as e:
            ParameterBook.load(bad)
        assert str(e.value) == f"Argument 'filename' has incorrect type (expected str, got {got})"
    assert files(in_tmp) == []


def test_host_errors_of_the_open(in_tmp):
    (in_tmp / "dir.d7ori").mkdir()
    with pytest.raises(IsADirectoryError):
        ParameterBook().save("dir")
    with pytest.raises(ValueError, match="embedded null"):
        ParameterBook().save("nul\0name")
    assert files(in_tmp) == []


# ---------------------------------------------------------------------------
# Load
# ---------------------------------------------------------------------------
def test_round_trip(in_tmp):
    b = ParameterBook()
    b.b = Parameter({"default": "dé", "fr_FR": "fr"}, value=[1, {"k": 2.5}], flag=True)
    b.a = Parameter(value="x")
    b.B = Parameter()
    b.save("x")
    c = ParameterBook.load("x.d7ori")
    assert list(c.names()) == ["B", "a", "b"]
    assert c.b.all_descriptions() == {"default": "dé", "fr_FR": "fr"}
    assert c.b.value == [1, {"k": 2.5}] and c.b.flag is True and c.a.value == "x"
    assert str(c) == str(b)
    c.b.value.append(1)
    assert b.b.value == [1, {"k": 2.5}]
    # load is static, also through an instance
    assert list(c.load("x.d7ori").names()) == ["B", "a", "b"]


def test_int_keys_come_back_as_strings(in_tmp):
    ParameterBook(values={"m": {1: "x"}}).save("x")
    assert ParameterBook.load("x.d7ori").m.value == {"1": "x"}


def test_load_builds_through_module_level_names(in_tmp, monkeypatch):
    ParameterBook(values={"a": 1, "b": 2}).save("x")
    seen = []

    class P:
        @staticmethod
        def from_dict(data):
            seen.append(data["name"])
            return data["name"], Parameter(value=0)

    monkeypatch.setattr(mod, "Parameter", P)
    monkeypatch.setattr(mod, "ParameterBook", lambda d: ("built", list(d)))
    assert ParameterBook.load("x.d7ori") == ("built", ["a", "b"])
    assert seen == ["a", "b"]


@pytest.mark.parametrize(
    "result, error, message",
    [
        (("a", "b", "c"), ValueError, "too many values to unpack (expected 2)"),
        (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
        ([], ValueError, "not enough values to unpack (expected 2, got 0)"),
        (5, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_from_dict_result_is_unpacked_into_two(in_tmp, monkeypatch, result, error, message):
    ParameterBook(values={"a": 1}).save("x")

    class P:
        @staticmethod
        def from_dict(data):
            return result

    monkeypatch.setattr(mod, "Parameter", P)
    with pytest.raises(error) as e:
        ParameterBook.load("x.d7ori")
    assert str(e.value) == message


def test_from_dict_result_may_be_any_pair(in_tmp, monkeypatch):
    ParameterBook(values={"a": 1}).save("x")
    monkeypatch.setattr(mod, "Parameter", type("P", (), {"from_dict": staticmethod(lambda d: iter(["n", d]))}))
    monkeypatch.setattr(mod, "ParameterBook", lambda d: d)
    assert list(ParameterBook.load("x.d7ori")) == ["n"]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


FORM = {"name": "a", "description": {"default": ""}, "attributes": {"value": 1}}


@pytest.mark.parametrize(
    "content, error, text",
    [
        (b"", json.JSONDecodeError, "Expecting value"),
        (b"[", json.JSONDecodeError, "Expecting value"),
        (b"\xef\xbb\xbf[]", json.JSONDecodeError, "Unexpected UTF-8 BOM"),
        (b'["\xff"]', UnicodeDecodeError, "can't decode byte 0xff"),
        (json.dumps(FORM).encode(), AssertionError, ""),
        (b"[1]", AssertionError, ""),
        (b"[[]]", AssertionError, ""),
        (json.dumps([{"name": "a", "description": {"default": ""}, "attributes": {"v": None}}]).encode(),
         TypeError, "Error: Unsupported attribute type: <class 'NoneType'>"),
        (json.dumps([{"name": "a", "attributes": {}}]).encode(), AssertionError, ""),
    ],
)
def test_load_failures(tmp_path, content, error, text):
    path = write(tmp_path / "x.d7ori", content)
    with pytest.raises(error) as e:
        ParameterBook.load(path)
    assert text in str(e.value)
    if error is AssertionError:
        assert e.value.args == ()


def test_load_missing_file_and_no_extension(in_tmp):
    ParameterBook().save("book")
    for name in ("book", "missing.d7ori", "."):
        with pytest.raises(AssertionError):
            ParameterBook.load(name)


def test_duplicate_names_last_wins_at_first_position(tmp_path):
    forms = [dict(FORM, attributes={"value": 1}), dict(FORM, name="b"), dict(FORM, attributes={"value": 3})]
    b = ParameterBook.load(write(tmp_path / "x.d7ori", json.dumps(forms).encode()))
    assert list(b.names()) == ["a", "b"] and b.a.value == 3


def test_null_written_but_refused_on_load(in_tmp):
    b = ParameterBook(values={"a": 1})
    b.set_parameter_value("a", None)
    # What loading would refuse is refused by the save, the file untouched.
    with pytest.raises(TypeError) as e:
        b.save("x")
    assert e.value.args == ("Error: Unsupported attribute type: <class 'NoneType'>",)
    assert not (in_tmp / "x.d7ori").exists()
    (in_tmp / "x.d7ori").write_text(str(b), encoding="utf8")
    assert '"value": null' in (in_tmp / "x.d7ori").read_text()
    with pytest.raises(TypeError) as e:
        ParameterBook.load("x.d7ori")
    assert e.value.args == ("Error: Unsupported attribute type: <class 'NoneType'>",)


def test_load_reads_text_mode_line_ends(tmp_path):
    text = SPEED_TEXT.replace("\n", "\r\n").encode()
    assert ParameterBook.load(write(tmp_path / "x.d7ori", text)).speed.value == 3


def test_load_uses_json_loads_at_call_time(tmp_path, monkeypatch):
    path = write(tmp_path / "x.d7ori", b"anything")
    seen = []

    class FakeJson:
        @staticmethod
        def loads(*args, **kwargs):
            seen.append((args, kwargs))
            return []

    monkeypatch.setattr(mod, "_json", FakeJson)
    assert list(ParameterBook.load(path).names()) == []
    assert seen == [(("anything",), {})]


# ---------------------------------------------------------------------------
# Assertions off
# ---------------------------------------------------------------------------
def test_file_operations_with_assertions_off(tmp_path):
    (tmp_path / "f").write_text("")
    (tmp_path / "obj.d7ori").write_text(json.dumps(FORM))
    (tmp_path / "ints.d7ori").write_text("[1]")
    out = run_python(
        """
        import r7u_razarozu as m
        def show(f):
            try:
                f()
                print("ok")
            except Exception as e:
                print(type(e).__name__, e)
        show(lambda: m.ParameterBook().save("f/x"))
        show(lambda: m.ParameterBook.load("missing.d7ori"))
        show(lambda: m.ParameterBook.load("obj.d7ori"))
        show(lambda: m.ParameterBook.load("ints.d7ori"))
        show(lambda: m.ParameterBook().save("book"))
        """,
        "-O",
        cwd=tmp_path,
    )
    lines = out.splitlines()
    assert lines[0].startswith("NotADirectoryError")
    assert lines[1].startswith("FileNotFoundError")
    assert lines[2] == "TypeError Argument 'data' has incorrect type (expected dict, got str)"
    assert lines[3] == "TypeError Argument 'data' has incorrect type (expected dict, got int)"
    assert lines[4] == "ok" and (tmp_path / "book.d7ori").read_text() == "[]"


def test_load_clones_through_a_replaced_clone(tmp_path):
    # Loading skips the constructor's copies only while nobody could tell.
    book = ParameterBook(values={"a": 1, "b": [2]})
    target = str(tmp_path / "b.d7ori")
    book.save(target)
    plain = ParameterBook.load(target)
    assert str(plain) == str(book)
    calls = []
    original = Parameter.clone
    try:
        def counting_clone(self):
            calls.append(self)
            return original(self)

        Parameter.clone = counting_clone
        loaded = ParameterBook.load(target)
    finally:
        Parameter.clone = original
    assert len(calls) == 2 and all(p is not loaded[n] for p, n in zip(calls, ["a", "b"]))
    assert str(loaded) == str(book)
