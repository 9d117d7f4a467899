"""The book text: str(book) written natively, checked byte for byte against json.dumps(indent=4, ensure_ascii=False).

Every case runs both encoders on the same forms. A profile hook tells which one str(book) used: the
native text calls no Python function, the fallback calls json.dumps.
"""
import inspect
import json
import json.encoder
import math
import os
import random
import struct
import sys
import tracemalloc
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import r7u_razarozu as mod
from childrun import python_output as run_python
from childrun import run as run_child
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------
def forms_of(book):
    return [p.to_dict(n) for n, p in sorted(book.items())]


def reference(book):
    return json.dumps(forms_of(book), indent=4, ensure_ascii=False)


class PythonEncoderCalls:
    """Counts the calls of json.dumps made inside the block."""

    def __enter__(self):
        self.count = 0
        code = json.dumps.__code__

        def hook(frame, event, arg):
            if event == "call" and frame.f_code is code:
                self.count += 1

        self.previous = sys.getprofile()
        sys.setprofile(hook)
        return self

    def __exit__(self, *exc):
        sys.setprofile(self.previous)


def text_and_calls(book):
    with PythonEncoderCalls() as calls:
        text = str(book)
    return text, calls.count


def assert_native(book):
    """str(book) equals the reference, has its kind and size, and took the native path."""
    want = reference(book)
    got, calls = text_and_calls(book)
    assert got == want
    # Equal text of the same storage kind (ASCII, Latin-1, UCS-2 or UCS-4).
    assert sys.getsizeof(got) == sys.getsizeof(want)
    assert calls == 0
    return got


def assert_python_path(book):
    """str(book) equals the reference and came from json.dumps."""
    want = reference(book)
    got, calls = text_and_calls(book)
    assert got == want
    assert calls == 1
    return got


def outcome(fn):
    try:
        return "text", fn()
    except Exception as e:  # noqa: BLE001 - the exception itself is the result compared
        return type(e), str(e)


def book_with(*values):
    """A book with one parameter per value, stored uncopied as its attribute "v"."""
    book = ParameterBook()
    for i, value in enumerate(values):
        p = Parameter()
        p["v"] = value
        book["p%04d" % i] = p
    return book


def book_from(contents):
    """contents: name -> (description entries, attribute entries), stored into the parameters' own maps."""
    book = ParameterBook()
    for name, (description, attributes) in contents.items():
        p = Parameter()
        form = p.to_dict(name)
        form["description"].update(description)
        form["attributes"].update(attributes)
        book[name] = p
    return book


# ---------------------------------------------------------------------------
# Generated values: every key type, every float and int form, the whole code range
# ---------------------------------------------------------------------------
SPECIAL_CHARS = [chr(c) for c in range(0x20)] + [
    '"', "\\", "/", "'", "\x7f", "\x80", "\x9f", "\xa0", "\xe9", "\xff", "\u0100", "\u2028", "\u2029", "\ud800",
    "\udbff", "\udc00", "\udfff", "\ufeff", "\uffff", "\U00010000", "\U0001f600", "\U0010ffff", "\u4e2d",
]
SPECIAL_FLOATS = [
    math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0, -1.5, 0.1, 1e16, 1e15, 9007199254740993.0, 5e-324, 1e22,
    1e-7, 1e-5, 1.7976931348623157e308, 123456789.125, 2.5e-310,
]
SPECIAL_INTS = [
    0, 1, -1, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**31, 2**62, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1,
    2**64, 10**100, -(10**100),
]

chars = st.characters(min_codepoint=0, max_codepoint=0x10FFFF, exclude_categories=()) | st.sampled_from(SPECIAL_CHARS)
texts = st.text(chars, max_size=12)
floats = st.floats() | st.sampled_from(SPECIAL_FLOATS)
ints = st.integers() | st.sampled_from(SPECIAL_INTS)
scalars = texts | floats | ints | st.booleans() | st.none()
keys = scalars
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4) | st.tuples(inner, inner),
    max_leaves=25,
)
book_contents = st.dictionaries(
    texts,
    st.tuples(st.dictionaries(texts, texts, max_size=3), st.dictionaries(texts, values, max_size=4)),
    max_size=4,
)


@settings(max_examples=600, deadline=None, suppress_health_check=list(HealthCheck))
@given(book_contents)
def test_generated_books_match_the_json_encoder(contents):
    assert_native(book_from(contents))


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.dictionaries(keys, values, max_size=5))
def test_generated_keys_of_every_type_in_the_form_itself(entries):
    # Keys of every type in the description map as well as in nested values.
    p = Parameter()
    p.to_dict("x")["description"].update(entries)
    book = ParameterBook()
    book["x"] = p
    assert_native(book)


# ---------------------------------------------------------------------------
# Exact forms
# ---------------------------------------------------------------------------
def test_empty_book_and_the_eleven_line_example():
    assert assert_native(ParameterBook()) == "[]"
    book = ParameterBook()
    book["speed"] = Parameter(value=3)
    lines = assert_native(book).split("\n")
    assert [(len(line) - len(line.lstrip(" ")), line.strip()) for line in lines] == [
        (0, "["), (4, "{"), (8, '"name": "speed",'), (8, '"description": {'), (12, '"default": ""'), (8, "},"),
        (8, '"attributes": {'), (12, '"value": 3'), (8, "}"), (4, "}"), (0, "]"),
    ]
    assert not assert_native(book).endswith("\n")


def test_every_scalar_form():
    text = assert_native(book_with(*SPECIAL_FLOATS, *SPECIAL_INTS, True, False, None, "", [], {}, ()))
    for word in ("NaN", "Infinity", "-Infinity", "-0.0", "1e+16", "1000000000000000.0", "5e-324", "true", "false",
                 "null", "[]", "{}", "9223372036854775808", "-9223372036854775809", "1" + "0" * 100):
        assert '"v": ' + word + "\n" in text


def test_float_digits_over_the_whole_double_range():
    # Random bit patterns (every exponent, subnormals) and decimal-looking values near ties.
    rng = random.Random(20240611)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20000)]
    values += [float("%de%d" % (rng.randrange(10**17), rng.randrange(-330, 300))) for _ in range(5000)]
    values += [float("%d5e%d" % (rng.randrange(10**15), rng.randrange(-330, 300))) for _ in range(5000)]
    values += [math.ldexp(1.0, e) for e in range(-1074, 1024)] + [i / 10 for i in range(-1000, 1000)]
    values += [sys.float_info.max, sys.float_info.min, 2.0**53 + 2, 1e15 - 0.5, 9999999999999998.0, 0.0001, 0.00001]
    # Few decimals (and their neighbours) across the magnitudes written without the digit search.
    decimals = [rng.randrange(10**rng.randrange(1, 16)) / 10**rng.randrange(1, 5) for _ in range(20000)]
    decimals += [float(f"{m}.{f:04d}") for m in (0, 1, 99999999999, 100000000000) for f in (1, 5, 9999, 1234)]
    values += [sign * math.nextafter(d, to) for d in decimals for to in (0, d, math.inf) for sign in (1, -1)]
    text = assert_native(book_with(values))
    assert text.count("\n") == len(values) + 11


def test_every_key_type_is_written_as_the_encoder_writes_it():
    key_forms = [
        ("s", '"s"'), (1, '"1"'), (-(2**70), '"-1180591620717411303424"'), (2.5, '"2.5"'), (-0.0, '"-0.0"'),
        (1e16, '"1e+16"'), (math.nan, '"NaN"'), (math.inf, '"Infinity"'), (-math.inf, '"-Infinity"'),
        (True, '"true"'), (False, '"false"'), (None, '"null"'), ("\n\x00\u2028", '"\\n\\u0000\u2028"'),
    ]
    # One dict each: True, 1.0 and 1 (or False, -0.0 and 0) would be one key.
    text = assert_native(book_with(*({key: 0} for key, _ in key_forms)))
    for _, written in key_forms:
        assert "\n                " + written + ": 0\n" in text


def test_string_escapes():
    every_control = "".join(chr(c) for c in range(0x20))
    text = assert_native(book_with(every_control, '"\\/', "\x7f\x80\u2028\u2029\ud800\udfff\U0010ffff"))
    assert (
        '"\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r\\u000e\\u000f'
        '\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b\\u001c\\u001d'
        '\\u001e\\u001f"' in text
    )
    assert '"\\"\\\\/"' in text
    # Kept as they are, lone surrogates included.
    assert '"\x7f\x80\u2028\u2029\ud800\udfff\U0010ffff"' in text


@pytest.mark.parametrize(
    "texts",
    [
        ["plain"],
        ["caf\xe9"],  # Latin-1: one byte per character, not ASCII
        ["\u4e2d\u6587"],
        ["\U0001f600"],
        ["caf\xe9", "\u4e2d", "\U0001f600"],
        ["\U0001f600", "caf\xe9", "a"],
    ],
)
def test_text_kind_follows_the_widest_string(texts):
    text = assert_native(book_with(*texts))
    assert text.isascii() == all(t.isascii() for t in texts)


def test_large_books_and_late_widening():
    # Well past any first buffer, widened to two and then four bytes near the end.
    values = ["x" * 50 + str(i) for i in range(3000)] + ["\xe9" * 10, "\u4e2d" * 10, "\U0001f600" * 10]
    assert_native(book_with(*values))
    # Long strings made mostly of escapes.
    assert_native(book_with("\x00" * 100000, "\n\u4e2d" * 50000, '"' * 70000))
    # Deep but ordinary nesting.
    deep = 1
    for i in range(200):
        deep = [i, {"k": deep}]
    assert_native(book_with(deep))


# Strings around the edges of the writer's 16-byte runs: a str of each kind, with escapes, wider
# characters and lone surrogates at any place; the text as a str and the saved bytes both.
RUN_FILLERS = ["a", "\x00", "\n", '"', "\\", "\x1f", " ", "\x7f", "\x80", "\xe9", "\xff", "\u0100", "\u4e2d",
               "\u2028", "\ud800", "\udfff", "\U0001f600", "\U0010ffff"]


@st.composite
def run_strings(draw):
    chars = list(draw(st.text(st.sampled_from("abc xyz09"), max_size=70)))
    for _ in range(draw(st.integers(0, 3))):
        chars.insert(draw(st.integers(0, len(chars))), draw(st.sampled_from(RUN_FILLERS)))
    return "".join(chars)


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(run_strings(), min_size=1, max_size=6))
def test_strings_across_the_runs_of_the_writer(tmp_path_factory, strings):
    book = book_with(*strings)
    book["s"] = Parameter({"default": strings[0], "k": strings[-1]}, **{strings[-1]: strings})
    assert_native(book)
    path = str(tmp_path_factory.mktemp("runs") / "b")
    want = outcome(lambda: reference(book).replace("\n", os.linesep).encode("utf-8"))
    got = outcome(lambda: (book.save(path), open(path + ".d7ori", "rb").read())[1])
    assert got == want


class Slotted:
    def __init__(self):
        self.b, self.a = 1, "\u4e2d"


def dict_with_holes():
    d = {f"k{i}": i for i in range(40)}
    for i in range(0, 40, 3):
        del d[f"k{i}"]
    d["k0"] = "back at the end"
    return d


@pytest.mark.parametrize("value", [dict_with_holes(), {1: "a", "b": 2, 2.5: None, None: [], True: {}},
                                   vars(Slotted()), dict.fromkeys("abcdefghijklmnop")],
                         ids=["deleted entries", "keys of every type", "shared keys", "many None"])
def test_dicts_of_every_table_shape_in_order(value):
    assert_native(book_with(value, {"in": value}))


def test_repeated_containers_are_not_circular():
    shared = [1, {"a": 2}]
    assert_native(book_with([shared, shared, {"x": shared}], shared))


def test_tuples_are_written_as_arrays():
    assert_native(book_with((1, (2, "3")), ()))


def test_each_call_builds_a_new_text():
    book = book_with("x")
    first = str(book)
    book["p0000"]["v"] = "y"
    assert str(book) != first
    assert str(book) == reference(book)


# ---------------------------------------------------------------------------
# Values the native text leaves to json.dumps
# ---------------------------------------------------------------------------
class MyDict(dict):
    pass


class MyList(list):
    pass


class MyStr(str):
    def __str__(self):
        return "never used"


class MyInt(int):
    def __repr__(self):
        return "never used"


class MyFloat(float):
    def __repr__(self):
        return "never used"


@pytest.mark.parametrize(
    "value",
    [
        MyDict(a=1),
        MyList([1]),
        MyStr("s"),
        MyInt(3),
        MyFloat(2.5),
        {MyStr("k"): 1},
        {MyInt(1): 1},
        {MyFloat(1.5): 1},
        [1, [2, {"deep": MyInt(7)}]],
    ],
    ids=repr,
)
def test_subclass_instances_go_through_json_dumps_with_the_same_text(value):
    assert_python_path(book_with(value))


def test_ints_over_the_digit_limit_fail_as_in_json():
    book = book_with(10**5000)
    expected = outcome(lambda: reference(book))
    assert expected[0] is ValueError
    assert outcome(lambda: str(book)) == expected
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert_native(book)
    finally:
        sys.set_int_max_str_digits(old)


@pytest.mark.parametrize(
    "value, error",
    [
        (1j, (TypeError, "Object of type complex is not JSON serializable")),
        ([1, {"a": {1, 2}}], (TypeError, "Object of type set is not JSON serializable")),
        ({(1, 2): 3}, (TypeError, "keys must be str, int, float, bool or None, not tuple")),
        ({b"k": 3}, (TypeError, "keys must be str, int, float, bool or None, not bytes")),
        (b"x", (TypeError, "Object of type bytes is not JSON serializable")),
        (Parameter(), (TypeError, "Object of type Parameter is not JSON serializable")),
    ],
    ids=["complex", "set", "tuple-key", "bytes-key", "bytes", "parameter"],
)
def test_unencodable_values_raise_the_encoder_errors(value, error):
    book = book_with("before", value)
    assert outcome(lambda: reference(book)) == error
    assert outcome(lambda: str(book)) == error


def test_circular_values_raise_the_encoder_error():
    a = []
    a.append(a)
    d = {}
    d["self"] = [1, d]
    for value in (a, d, [[a]]):
        book = book_with(value)
        with pytest.raises(ValueError) as e:
            str(book)
        assert e.value.args == ("Circular reference detected",)
        assert outcome(lambda: reference(book)) == outcome(lambda: str(book))


def test_the_first_error_in_encoder_order_wins():
    a = []
    a.append(a)
    book = book_with(a, 1j)
    assert outcome(lambda: str(book)) == (ValueError, "Circular reference detected")
    book = book_with(1j, a)
    assert outcome(lambda: str(book)) == (TypeError, "Object of type complex is not JSON serializable")


def nested(depth):
    value = 1
    for _ in range(depth):
        value = [value]
    return value


def test_nesting_too_deep_for_the_encoder_raises_recursion_error():
    # In a child, under its memory cap: from 3.14 the host's own encoder nests as deep as the
    # C stack allows, with text growing with the square of the depth.
    out = run_child("""
v = 1
for _ in range(100_000):
    v = [v]
book = B()
book["p"] = P()
book["p"]["value"] = v                    # stored uncopied
print(outcome(lambda: str(book)))
""")
    assert out.split() == ["RecursionError"]


def test_deep_nesting_within_a_raised_recursion_limit():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(old + 3000)
    try:
        book = book_with(nested(800))
        assert assert_python_path(book).count("[") == 801
    finally:
        sys.setrecursionlimit(old)


def test_outcome_at_every_depth_near_the_recursion_limit():
    # However little room is left on the stack, str(book) succeeds exactly
    # when json.dumps does, with the same text.
    book = book_with(nested(30), {"k": nested(5)})
    forms = forms_of(book)

    def both(levels):
        if levels:
            return both(levels - 1)
        want = outcome(lambda: json.dumps(forms, indent=4, ensure_ascii=False))
        got = outcome(lambda: str(book))
        return want, got

    seen = set()
    here = len(inspect.stack(0))
    for levels in range(sys.getrecursionlimit() - here - 80, sys.getrecursionlimit() - here + 5):
        try:
            want, got = both(levels)
        except RecursionError:
            continue
        assert got[0] == want[0]
        if want[0] == "text":
            assert got == want
        seen.add(want[0])
    assert seen == {"text", RecursionError}


# ---------------------------------------------------------------------------
# The encoder in use is the one the module names
# ---------------------------------------------------------------------------
def test_a_rebound_json_alias_is_called(monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return "from the alias"

    book = book_with("x")
    monkeypatch.setattr(mod, "_json", types.SimpleNamespace(dumps=dumps))
    assert str(book) == "from the alias"
    assert calls == [((forms_of(book),), {"indent": 4, "ensure_ascii": False})]
    # Another module object holding the same dumps: the Python encoder runs.
    other = types.ModuleType("json")
    other.dumps = json.dumps
    other.JSONEncoder = json.JSONEncoder
    monkeypatch.setattr(mod, "_json", other)
    assert_python_path(book)


def test_a_replaced_json_dumps_is_called(monkeypatch):
    seen = []
    original = json.dumps

    def dumps(obj, **kwargs):
        seen.append(kwargs)
        return original(obj, **kwargs) + "!"

    book = book_with("x")
    want = reference(book) + "!"
    monkeypatch.setattr(json, "dumps", dumps)
    assert str(book) == want
    assert seen == [{"indent": 4, "ensure_ascii": False}]
    monkeypatch.undo()
    assert_native(book)


def test_a_replaced_json_encoder_class_is_used(monkeypatch):
    class Encoder(json.JSONEncoder):
        def __init__(self, **kwargs):
            kwargs["separators"] = (";", " = ")
            super().__init__(**kwargs)

    book = book_with([1, 2], {"a": 1})
    monkeypatch.setattr(json, "JSONEncoder", Encoder)
    text = str(book)
    assert text == reference(book)
    assert '"v" = [' in text and "1;\n" in text
    monkeypatch.undo()
    assert_native(book)


@pytest.mark.parametrize(
    "name, replacement, evidence",
    [
        ("encode_basestring", lambda s: json.encoder.py_encode_basestring(s).upper(), '"V": "TEXT"'),
        ("INFINITY", 1e300, '"v": inf\n'),  # 1e300 is the infinity now; the real one is repr'd
        ("_make_iterencode", lambda *a: (lambda o, level: iter(["made here"])), "made here"),
    ],
)
def test_replaced_pieces_of_the_encoder_module_are_used(monkeypatch, name, replacement, evidence):
    book = book_with("text", 1e300, math.inf)
    monkeypatch.setattr(json.encoder, name, replacement)
    want = reference(book)
    got, calls = text_and_calls(book)
    assert got == want and calls == 1
    # From 3.13 the indenting encoder is written in C and reads neither of these.
    if sys.version_info < (3, 13) or name == "encode_basestring":
        assert evidence in got
    monkeypatch.undo()
    assert_native(book)


def test_a_module_class_with_its_own_dumps_is_honoured():
    class Module(types.ModuleType):
        @property
        def dumps(self):
            return lambda *a, **k: "from the class"

    json.__class__ = Module
    try:
        assert str(book_with(1)) == "from the class"
    finally:
        json.__class__ = types.ModuleType
    assert_native(book_with(1))


def test_a_changed_encoder_class_is_used_from_then_on():
    # Changing the class turns the native text off for good, so this runs on its own.
    out = run_python(
        """
        import json, sys
        from r7u_razarozu import Parameter, ParameterBook
        book = ParameterBook()
        book["a"] = Parameter(value={"k": [1]})
        def ref():
            return json.dumps([p.to_dict(n) for n, p in sorted(book.items())], indent=4, ensure_ascii=False)
        assert str(book) == ref()
        json.JSONEncoder.key_separator = " : "
        assert str(book) == ref() and '"k" : [' in str(book)
        del json.JSONEncoder.key_separator
        try:
            str(book)
        except AttributeError as e:
            print(type(e).__name__)
        json.JSONEncoder.key_separator = ": "
        assert str(book) == ref() and '"k": [' in str(book)
        print("done")
        """
    )
    assert out.split() == ["AttributeError", "done"]


# ---------------------------------------------------------------------------
# The same text wherever it goes
# ---------------------------------------------------------------------------
def test_save_writes_the_text(tmp_path):
    # (None, which loading refuses, is refused by the save too.)
    book = book_with("caf\xe9 \u4e2d \U0001f600", {"k": [1.5, {None: True}]})
    path = str(tmp_path / "b")
    book.save(path)
    with open(path + ".d7ori", "rb") as f:
        assert f.read() == reference(book).replace("\n", os.linesep).encode("utf-8")


@pytest.mark.parametrize("fallback", [False, True], ids=["native", "python encoder"])
@pytest.mark.parametrize("change", ["to_dict of the class", "to_dict of the instance", "to_dict among the instance's values",
                                    "property for the map", "__getattribute__ of the class"])
def test_code_run_for_the_forms_runs_as_for_the_python_encoder(monkeypatch, change, fallback):
    # What making b's form does to a (each time it runs) shows in a's text as
    # it does when json.dumps writes the forms.
    def scenario():
        a, b = Parameter(v=[1]), Parameter(v=2)
        if fallback:
            b["w"] = type("F", (float,), {})(1.5)  # only the Python encoder writes it
        book = ParameterBook()
        book["a"], book["b"] = a, b

        def touch(self):
            if self is b:
                vars(a)["_Parameter__attributes"]["v"].append("touched")
        to_dict, getattribute = Parameter.to_dict, Parameter.__getattribute__
        if change == "to_dict of the class":
            monkeypatch.setattr(Parameter, "to_dict", lambda self, name: (touch(self), to_dict(self, name))[1])
        elif change == "to_dict of the instance":
            vars(b)["to_dict"] = lambda name: (touch(b), to_dict(b, name))[1]
        elif change == "to_dict among the instance's values":
            object.__setattr__(b, "to_dict", lambda name: (touch(b), to_dict(b, name))[1])
        elif change == "property for the map":
            monkeypatch.setattr(Parameter, "_Parameter__attributes", property(
                lambda self: (touch(self), vars(self)["_Parameter__attributes"])[1]), raising=False)
        else:
            monkeypatch.setattr(Parameter, "__getattribute__",
                                lambda self, name: (touch(self), getattribute(self, name))[1])
        try:
            return str(book), vars(a)["_Parameter__attributes"]["v"]
        finally:
            monkeypatch.undo()
    ours = scenario()
    assert ours[1][:2] == [1, "touched"]
    monkeypatch.setattr(mod, "_json", types.SimpleNamespace(dumps=json.dumps))
    assert scenario() == ours


@pytest.mark.parametrize("save", ["book", "tree"])
@pytest.mark.parametrize("value", [None, [1, None], {"k": [None]}, (None,), [(None, [None])], {None: 1}, [[]]],
                         ids=["value", "item", "nested", "tuple", "in a tuple", "key", "none"])
def test_the_value_check_made_with_the_native_text_refuses_what_the_plain_check_refuses(tmp_path, monkeypatch,
                                                                                        save, value):
    def attempt(folder):
        book = book_with(value)
        book["q"] = Parameter()
        book["q"].to_dict("q")["description"]["en"] = value
        path = str(tmp_path / folder / "b")
        try:
            if save == "book":
                book.save(path)
            else:
                tree = ParameterDirectory()
                tree["b"] = book  # stored as it is, not copied
                tree.save(path)
            return "saved"
        except TypeError as e:
            return e.args, [note.replace(folder, "*") for note in e.__notes__]
    native = attempt("native")
    # The host's encoder writes the text; the maps are walked for None apart.
    monkeypatch.setattr(mod, "_json", types.SimpleNamespace(dumps=json.dumps))
    assert attempt("plain") == native
    # None is refused as a list item or dict value, not inside a tuple or as a key.
    assert (native == "saved") == (value in ({None: 1}, [[]], (None,), [(None, [None])]))


def test_the_native_save_checks_the_text_it_writes(tmp_path):
    # Code run after the text was made (the truth of auto_append_extend_name) changes neither what the file
    # holds nor what was checked.
    book = book_with(1)

    class Late:
        def __bool__(self):
            book["p0000"]["v"] = None
            return True
    book.save(str(tmp_path / "b"), Late())
    assert ParameterBook.load(str(tmp_path / "b.d7ori"))["p0000"]["v"] == 1


@pytest.mark.skipif(not sys.platform.startswith("linux") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="peak memory from /proc, and an address-space cap the sanitizer runtime cannot live with")
@pytest.mark.parametrize("how", ["str", "save"])
def test_a_large_text_is_written_once_in_place(tmp_path, how):
    # Under a cap of the address space in use plus 1.3 times the text, which
    # a second full copy of the text would not fit in.
    out = run_python(f"""
        import json, os, resource, sys
        from r7u_razarozu import Parameter, ParameterBook
        def status(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) << 10 for line in f if line.startswith(key))
        big = "x" * (20 << 20)
        book = ParameterBook({{f"p{{i}}": Parameter("参数", v=big + str(i)) for i in range(4)}})
        size = {2 if how == "str" else 1} * 4 * len(big)
        resource.setrlimit(resource.RLIMIT_AS, (status("VmSize:") + int(1.3 * size) + (48 << 20),) * 2)
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS:")
        if {how!r} == "str":
            text = str(book)
        else:
            book.save({str(tmp_path / "big")!r})
            made = os.path.getsize({str(tmp_path / "big.d7ori")!r})
        peak = status("VmHWM:") - before
        if {how!r} == "str":
            made = sys.getsizeof(text)
        print(json.dumps([made, peak]))
        """)
    made, peak = json.loads(out)
    assert peak <= 1.25 * made


@pytest.mark.parametrize("how", ["str", "save"])
@pytest.mark.parametrize("count", [5000, 40000])
def test_the_memory_a_text_takes_stays_near_its_size(tmp_path, how, count):
    # By the allocator's own count: a buffer that doubles as it grows would take up to twice the text.
    book = ParameterBook({f"p{i:06d}": Parameter({"default": f"step {i}", "zh_CN": f"参数 {i} 的描述"}, value=i * 0.5,
                                                 label=f"Größe {i} – niveau", steps=[i, i + 1, 2.25])
                          for i in range(count)})
    path = str(tmp_path / "b")
    tracemalloc.start()
    try:
        text = str(book) if how == "str" else book.save(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    size = sys.getsizeof(text) if how == "str" else os.path.getsize(path + ".d7ori")
    assert size > 1 << 20
    assert peak <= 1.25 * size


def test_assertions_off_in_a_subprocess():
    out = run_python(
        """
        import json, math
        from r7u_razarozu import Parameter, ParameterBook
        class S(str):
            pass
        book = ParameterBook()
        p = Parameter(value=[1.5, math.nan, "\\u4e2d\\n", {"k": True}])
        p[S("sub")] = {1: None}
        book["a"] = p
        book["b"] = Parameter(other=1j)
        del book["b"]
        ref = json.dumps([p.to_dict(n) for n, p in sorted(book.items())], indent=4, ensure_ascii=False)
        assert str(book) == ref, (str(book), ref)
        book["c"] = Parameter(z=1j)
        try:
            str(book)
        except TypeError as e:
            print(e)
        """,
        "-O",
    )
    assert out == "Object of type complex is not JSON serializable\n"
