"""ParameterBook as a container: construction, copies, routing, value accessors and rename."""
import collections
import copy
import os

import pytest

import r7u_razarozu as mod
from childrun import python_output as run_python
from helpers import assert_missing_reads_raise_key_error, key_error_args
from leakcheck import assert_refcounts_settle
from r7u_razarozu import Parameter, ParameterBook

PRIVATE = "_ParameterBook__parameters"


class MyStr(str):
    pass


def names(book):
    return list(book.names())


def mapping(book):
    return object.__getattribute__(book, "__dict__")[PRIVATE]


def type_error(argname, expected, got):
    return f"Argument '{argname}' has incorrect type (expected {expected}, got {got})"


@pytest.fixture
def book():
    b = ParameterBook()
    b.a = Parameter(value=1)
    b.b = Parameter(value=[1, 2])
    return b


# ---------------------------------------------------------------------------
# Construction and copies
# ---------------------------------------------------------------------------
def test_empty_book():
    b = ParameterBook()
    assert names(b) == [] and list(b.items()) == []
    assert list(vars(b)) == [PRIVATE] and mapping(b) == {}
    assert type(mapping(b)) is dict


def test_constructor_stores_clones_in_the_given_order():
    p, q = Parameter(value=[1]), Parameter("text", value=2, other="x")
    b = ParameterBook({"q": q, "p": p})
    assert names(b) == ["q", "p"]
    assert b["p"] is not p and b["p"].value == [1] and b["p"].value is not p.value
    assert b["q"].get_description() == "text" and b["q"].other == "x"
    p.value.append(2)
    p.value = 9
    assert b["p"].value == [1]


def test_constructor_calls_each_parameters_clone_and_stores_its_result(monkeypatch):
    made = Parameter(value="made")
    given = Parameter()
    seen = []
    monkeypatch.setattr(Parameter, "clone", lambda self, *a: seen.append((self, a)) or made)
    b = ParameterBook({"x": given})
    assert b["x"] is made and seen == [(given, ())]


def test_constructor_values_replace_on_the_clone_and_append_new_names():
    p = Parameter(value=1)
    b = ParameterBook({"a": p}, {"a": 5, "b": [1]})
    assert b.a.value == 5 and p.value == 1
    assert names(b) == ["a", "b"]
    assert b.b.value == [1]


def test_constructor_values_go_through_set_parameter_value_as_a_method(monkeypatch):
    calls = []
    monkeypatch.setattr(ParameterBook, "set_parameter_value", lambda self, n, v: calls.append((n, v)))
    ParameterBook(values={"x": 1, "y": 2})
    assert calls == [("x", 1), ("y", 2)]


def test_values_only():
    b = ParameterBook(values={"b": 1})
    assert names(b) == ["b"] and b.b.value == 1


@pytest.mark.parametrize(
    "args, message",
    [
        ((collections.OrderedDict(),), type_error("parameters", "dict", "collections.OrderedDict")),
        (({}, collections.OrderedDict()), type_error("values", "dict", "collections.OrderedDict")),
        (([], []), type_error("parameters", "dict", "list")),
        ((None, 5), type_error("values", "dict", "int")),
        ((None, {1: 2}), type_error("name", "str", "int")),
        ((None, {MyStr("s"): 2}), type_error("name", "str", "MyStr")),
    ],
)
def test_constructor_type_errors(args, message):
    with pytest.raises(TypeError) as e:
        ParameterBook(*args)
    assert str(e.value) == message


def test_constructor_assertions():
    with pytest.raises(AssertionError) as e:
        ParameterBook({1: Parameter()})
    assert e.value.args == ()
    with pytest.raises(AssertionError):
        ParameterBook({"a": 5})
    b = ParameterBook({MyStr("s"): Parameter()})
    assert type(names(b)[0]) is MyStr


def test_constructor_size_change_while_walking_parameters(monkeypatch):
    params = {"a": Parameter(), "b": Parameter()}
    monkeypatch.setattr(Parameter, "clone", lambda self: params.setdefault("z", Parameter()) and Parameter())
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        ParameterBook(params)


def test_constructor_errors_propagate(monkeypatch):
    with pytest.raises(TypeError, match="Unsupported attribute type: <class 'tuple'>"):
        ParameterBook(values={"a": (1,)})

    def broken(self):
        raise ZeroDivisionError("clone")

    monkeypatch.setattr(Parameter, "clone", broken)
    with pytest.raises(ZeroDivisionError, match="clone"):
        ParameterBook({"a": Parameter()})


def test_isinstance_uses_the_module_level_parameter(monkeypatch):
    class Other:
        def clone(self):
            return "cloned"

    monkeypatch.setattr(mod, "Parameter", Other)
    with pytest.raises(AssertionError):
        ParameterBook({"a": Parameter()})
    assert ParameterBook({"a": Other()})["a"] == "cloned"
    b = ParameterBook()
    b.x = Other()
    with pytest.raises(AssertionError):
        b.y = Parameter()


def test_new_parameters_come_from_the_module_level_parameter(monkeypatch):
    calls = []

    def fake(**kwargs):
        calls.append(kwargs)
        return "made"

    b = ParameterBook()
    monkeypatch.setattr(mod, "Parameter", fake)
    b.set_parameter_value("a", 1)
    assert b.get_or_set_parameter_value("b", 2) == 2
    ParameterBook(values={"c": 3})
    assert calls == [{"value": 1}, {"value": 2}, {"value": 3}]
    assert mapping(b) == {"a": "made", "b": "made"}


def test_clone_is_deep_and_independent(book):
    c = book.clone()
    assert type(c) is ParameterBook and names(c) == ["a", "b"]
    assert c["a"] is not book["a"] and c["b"].value == [1, 2] and c["b"].value is not book["b"].value
    c.rename("a", "z")
    c["b"].value.append(3)
    del c.b
    c.n = Parameter()
    assert names(book) == ["a", "b"] and book.b.value == [1, 2]


def test_clone_calls_the_module_level_class(monkeypatch, book):
    seen = []
    monkeypatch.setattr(mod, "ParameterBook", lambda m: seen.append(m) or "new")
    assert book.clone() == "new"
    assert seen == [mapping(book)] and seen[0] is mapping(book)


def test_views_are_live_and_clear_keeps_parameters(book):
    keys, items = book.names(), book.items()
    assert type(keys).__name__ == "dict_keys" and type(items).__name__ == "dict_items"
    p = Parameter()
    book.c = p
    assert list(keys) == ["a", "b", "c"] and list(items)[-1] == ("c", p)
    a = book.a
    assert book.clear() is None
    assert len(keys) == 0 and len(items) == 0
    assert a.value == 1


# ---------------------------------------------------------------------------
# Routing and subscription
# ---------------------------------------------------------------------------
def test_reads_return_the_stored_object(book):
    p = Parameter()
    book.x = p
    book["y"] = p
    assert book.x is p and book["x"] is p and book.y is p
    assert names(book) == ["a", "b", "x", "y"]


def test_absent_names_raise_key_error_not_attribute_error(book):
    assert_missing_reads_raise_key_error(book)
    assert key_error_args(lambda: copy.deepcopy(book)) == ("__deepcopy__",)


def test_deletion(book):
    del book.a
    del book["b"]
    assert names(book) == []
    for delete in (lambda: delattr(book, "a"), lambda: book.__delitem__("a")):
        with pytest.raises(KeyError) as e:
            delete()
        assert e.value.args == ("a",)


def test_setattr_assertion_and_private_looking_names(book):
    with pytest.raises(AssertionError) as e:
        book.x = 5
    assert e.value.args == ()
    assert names(book) == ["a", "b"]
    p = Parameter()
    book._hidden = p
    book.__dunder = p
    assert names(book) == ["a", "b", "_hidden", "__dunder"]


def test_setitem_assertions_in_order(monkeypatch, book):
    checked = []

    class Meta(type):
        def __instancecheck__(cls, obj):
            checked.append(obj)
            return True

    monkeypatch.setattr(mod, "Parameter", Meta("P", (), {}))
    with pytest.raises(AssertionError):
        book[1] = 5
    assert checked == []
    book["k"] = 5
    assert checked == [5] and book["k"] == 5
    monkeypatch.undo()
    with pytest.raises(AssertionError):
        book["z"] = 5
    book[MyStr("s")] = Parameter()


def test_replacing_keeps_the_position(book):
    p = Parameter()
    book["a"] = p
    assert names(book) == ["a", "b"] and book.a is p
    book.b = p
    assert names(book) == ["a", "b"]


def test_method_names_are_reachable_by_subscription_only(book):
    p = Parameter()
    book["items"] = p
    book["ExtName"] = p
    assert book["items"] is p and book["ExtName"] is p
    assert callable(book.items) and book.ExtName == "d7ori"


def test_routed_name_replaces_the_mapping_without_a_test(book):
    book._ParameterBook__parameters = 5
    assert vars(book)[PRIVATE] == 5
    with pytest.raises(TypeError):
        book["a"]
    new = {}
    setattr(book, PRIVATE, new)
    book.x = Parameter()
    assert list(new) == ["x"]


def test_sequence_protocol_falls_back_to_getitem(book):
    with pytest.raises(KeyError) as e:
        list(iter(book))
    assert e.value.args == (0,)
    with pytest.raises(KeyError) as e:
        "a" in book
    assert e.value.args == (0,)
    with pytest.raises(TypeError):
        len(book)


def test_generic_mapping():
    b = ParameterBook()

    class Loud(collections.UserDict):
        def __missing__(self, key):
            raise LookupError(f"no {key}")

    m = Loud()
    b._ParameterBook__parameters = m
    p = Parameter(value=1)
    b.x = p
    b["y"] = Parameter(value=2)
    assert b.x is p and list(b.names()) == ["x", "y"] and list(dict(b.items())) == ["x", "y"]
    assert b.get_parameter_value("x") == 1 and b.get_parameter_value("nope", 3) == 3
    b.set_parameter_value("x", 5)
    b.set_parameter_value("z", 6)
    assert b.get_or_set_parameter_value("z", 0) == 6
    b.rename("x", "w")
    assert list(m) == ["y", "z", "w"]
    assert str(b) == str(ParameterBook({k: m[k] for k in m}))
    with pytest.raises(LookupError, match="no q"):
        b.q
    del b.y
    b.clear()
    assert list(m) == []
    # clone passes the mapping itself, which the constructor's exact-type test refuses
    with pytest.raises(TypeError, match=r"^Argument 'parameters' has incorrect type \(expected dict, got Loud\)$"):
        b.clone()


# ---------------------------------------------------------------------------
# Value accessors
# ---------------------------------------------------------------------------
def test_get_parameter_value(book):
    assert book.get_parameter_value("missing") is None
    assert book.get_parameter_value("missing", 7) == 7
    assert book.get_parameter_value("b") is book.b.value
    book.e = Parameter()
    sentinel = object()
    assert book.get_parameter_value("e", sentinel) is sentinel


def test_value_accessors_call_the_parameters_methods(monkeypatch, book):
    calls = []

    def spy(name, result):
        def method(self, *args, **kwargs):
            calls.append((name, args, kwargs))
            return result

        return method

    monkeypatch.setattr(Parameter, "get", spy("get", "g"))
    monkeypatch.setattr(Parameter, "get_or_set", spy("get_or_set", "gs"))
    monkeypatch.setattr(Parameter, "__setitem__", spy("setitem", None))
    d = object()
    assert book.get_parameter_value("a", d) == "g"
    assert book.get_or_set_parameter_value("a", d) == "gs"
    assert book.set_parameter_value("a", d) is None
    assert calls == [("get", ("value", d), {}), ("get_or_set", ("value", d), {}), ("setitem", ("value", d), {})]


def test_set_parameter_value_copy_rules(book):
    v = [1]
    book.set_parameter_value("new", v)
    assert book.new.value == [1] and book.new.value is not v
    w = [2]
    book.set_parameter_value("new", w)
    assert book.new.value is w
    w.append(3)
    assert book.get_parameter_value("new") == [2, 3]
    assert names(book) == ["a", "b", "new"]


def test_set_parameter_value_unsupported_values(book):
    with pytest.raises(TypeError) as e:
        book.set_parameter_value("t", (1,))
    assert str(e.value) == "Error: Unsupported attribute type: <class 'tuple'>"
    assert names(book) == ["a", "b"]
    t = (1,)
    book.set_parameter_value("a", t)
    assert book.a.value is t


def test_set_parameter_value_keeps_other_attributes_and_position(book):
    book.a.extra = "x"
    book.set_parameter_value("a", 5)
    assert names(book) == ["a", "b"] and book.a.extra == "x" and book.a.value == 5


def test_get_or_set_parameter_value(book):
    v = [1]
    assert book.get_or_set_parameter_value("new", v) is v
    assert names(book)[-1] == "new" and book.new.value == [1] and book.new.value is not v
    assert book.get_or_set_parameter_value("new", 0) is book.new.value
    book.e = Parameter()
    assert book.get_or_set_parameter_value("e", v) is v and book.e.value is v


@pytest.mark.parametrize("method", ["get_parameter_value", "set_parameter_value", "get_or_set_parameter_value"])
@pytest.mark.parametrize("name, got", [(None, "NoneType"), (MyStr("a"), "MyStr"), (1, "int")])
def test_value_accessor_name_types(book, method, name, got):
    args = (name,) if method == "get_parameter_value" else (name, 1)
    with pytest.raises(TypeError) as e:
        getattr(book, method)(*args)
    assert str(e.value) == type_error("name", "str", got)
    assert names(book) == ["a", "b"]


# ---------------------------------------------------------------------------
# Rename
# ---------------------------------------------------------------------------
def test_rename_moves_the_same_object_to_the_end(book):
    a = book.a
    assert book.rename("a", "z") is None
    assert names(book) == ["b", "z"] and book["z"] is a and book.z is a
    with pytest.raises(KeyError):
        book["a"]


def test_rename_to_itself_looks_at_nothing():
    b = ParameterBook()
    assert b.rename("x", "x") is None
    assert object.__new__(ParameterBook).rename("x", "x") is None


def test_rename_messages(book):
    assert key_error_args(lambda: book.rename("missing", "b")) == ("Old name `missing` does not exist.",)
    assert key_error_args(lambda: book.rename("a", "b")) == ("New name `b` already exists.",)
    assert names(book) == ["a", "b"]


def test_rename_to_empty_is_refused(book):
    with pytest.raises(AssertionError) as e:
        book.rename("a", "")
    assert e.value.args == ()
    assert names(book) == ["a", "b"]


def test_rename_type_checks(book):
    for args, message in [
        ((MyStr("a"), "c"), type_error("old", "str", "MyStr")),
        (("a", None), type_error("new", "str", "NoneType")),
        ((1, 2), type_error("old", "str", "int")),
    ]:
        with pytest.raises(TypeError) as e:
            book.rename(*args)
        assert str(e.value) == message


def test_rename_works_on_the_mapping_directly(book):
    mapping(book)["raw"] = 5
    book.rename("raw", "cooked")
    assert mapping(book)["cooked"] == 5


def test_rename_there_and_back_keeps_the_text(book):
    text = str(book)
    book.rename("a", "c")
    book.rename("c", "a")
    assert names(book) == ["b", "a"] and str(book) == text


# ---------------------------------------------------------------------------
# Objects without a mapping, subclasses
# ---------------------------------------------------------------------------
def mapless_calls(b):
    p = Parameter()
    return [
        lambda: b["x"], lambda: setattr(b, "x", p), lambda: b.__setitem__("x", p),
        lambda: delattr(b, "x"), lambda: b.__delitem__("x"), lambda: b.items(), lambda: b.names(),
        lambda: b.clear(), lambda: b.clone(), lambda: b.get_parameter_value("x"),
        lambda: b.set_parameter_value("x", 1), lambda: b.get_or_set_parameter_value("x", 1),
        lambda: b.rename("x", "y"), lambda: str(b), lambda: b.save("unused-never-written"),
        lambda: getattr(b, PRIVATE),
    ]


@pytest.mark.parametrize("make", ["new", "deleted"])
def test_books_without_a_mapping_fail_with_key_error(make, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    if make == "new":
        b = object.__new__(ParameterBook)
    else:
        b = ParameterBook(values={"x": 1})
        del b._ParameterBook__parameters
        assert PRIVATE not in vars(b)
    for call in mapless_calls(b):
        with pytest.raises(KeyError) as e:
            call()
        assert e.value.args == (PRIVATE,)
    # Any other missing attribute is an ordinary AttributeError (pickle and
    # copy rely on it).
    with pytest.raises(AttributeError, match="'ParameterBook' object has no attribute 'x'"):
        b.x
    assert os.listdir(tmp_path) == []
    b._ParameterBook__parameters = {}
    b.x = Parameter()
    assert names(b) == ["x"]


def test_pickle_and_copy_work():
    # In a child: the copy protocol caches __slotnames__ on the class.
    out = run_python(
        """
        import copy, pickle
        import r7u_razarozu as m
        book = m.ParameterBook(values={"a": 1})
        for f in (lambda: pickle.loads(pickle.dumps(book)), lambda: copy.copy(book), lambda: copy.deepcopy(book)):
            try:
                print(type(f()).__name__, f().get_parameter_value("a"))
            except KeyError as e:
                print(e.args[0])
        """
    )
    # A book with its mapping answers a missing attribute with KeyError.
    assert out.split() == ["ParameterBook", "1"] * 2 + ["__deepcopy__"]


def test_subclasses_end_in_ordinary_exceptions():
    out = run_python(
        """
        import r7u_razarozu as m
        class Sub(m.ParameterBook):
            pass
        for make in (lambda: Sub(), lambda: setattr(object.__new__(Sub), "_Sub__parameters", {})):
            try:
                make()
            except (AssertionError, RecursionError, KeyError) as e:
                print(type(e).__name__)
        """
    )
    assert out.split() == ["AssertionError", "RecursionError"]


# ---------------------------------------------------------------------------
# Assertions off
# ---------------------------------------------------------------------------
def test_assertions_off():
    out = run_python(
        """
        import r7u_razarozu as m
        b = m.ParameterBook()
        b.x = 5
        b[1] = 6
        b.rename("x", "")
        print(sorted(map(repr, b.names())))
        try:
            m.ParameterBook({"a": 5})
        except AttributeError as e:
            print("AttributeError", e)
        b2 = m.ParameterBook({1: m.Parameter(value=1)})
        print(list(b2.names()))
        """,
        "-O",
    )
    lines = out.splitlines()
    assert lines[0] == repr(sorted(["''", "1"]))
    assert lines[1] == "AttributeError 'int' object has no attribute 'clone'"
    assert lines[2] == "[1]"


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------
def test_no_reference_leaks(tmp_path):
    # Two watched objects: a str that is never an attribute name (attribute
    # names are interned, and interned strings are immortal) and a list value.
    key = "".join(["sentinel-", "x" * 20])
    val = [1, 2]
    p = Parameter(value=1)
    path = str(tmp_path / "leak")
    (tmp_path / "file").write_text("")
    ParameterBook(values={"a": 1}).save(path)

    def exercise():
        b = ParameterBook({key: p}, {key: val})
        b[key] = p
        b[key]
        b.get_parameter_value(key, val)
        b.get_parameter_value("missing", val)
        b.set_parameter_value(key, val)
        b.set_parameter_value(key + "new", val)
        b.get_or_set_parameter_value(key, val)
        b.get_or_set_parameter_value("fresh", val)
        b.rename(key, "moved")
        b.rename("moved", key)
        b.rename(key, key)
        b.attr = p
        b.attr
        del b.attr
        str(b)
        b.clone()
        list(b.items())
        list(b.names())
        for call in (
            lambda: b.rename("nope", key),
            lambda: b.rename(key, "fresh"),
            lambda: b.rename(key, ""),
            lambda: b.rename(MyStr(key), "x"),
            lambda: b[key + "nope"],
            lambda: b.__delitem__(key + "nope"),
            lambda: b.nope,
            lambda: delattr(b, "nope"),
            lambda: b.set_parameter_value(key + "t", (val,)),
            lambda: setattr(b, "attr", val),
            lambda: b.__setitem__(key, val),
            lambda: b.__setitem__(val, p),
            lambda: b.get_parameter_value(MyStr(key), val),
            lambda: b.get_or_set_parameter_value(key + "t", (val,)),
            lambda: ParameterBook({key: val}),
            lambda: ParameterBook({1: p}, {key: val}),
            lambda: ParameterBook(values={1: val}),
            lambda: ParameterBook(val),
            lambda: ParameterBook.load(path + key),
            lambda: ParameterBook.load(str(tmp_path)),
            lambda: object.__new__(ParameterBook).get_parameter_value(key, val),
            lambda: object.__new__(ParameterBook).rename(key, "x"),
            lambda: b.save(str(tmp_path / "file") + "/" + key),
            lambda: ParameterBook(values={key: 1j}).save(path),
        ):
            try:
                call()
            except Exception:
                pass
        del b[key]
        b.save(path, val)
        b.save(path + ".d7ori", False)
        ParameterBook.load(path + ".d7ori")
        b.clear()

    assert_refcounts_settle(exercise, key, val, rounds=200, warmup=3)
