"""Shortcuts that stand in for ordinary Python behaviour only while nothing they skip could be
seen: each test changes the thing a shortcut relies on and checks what Python code sees."""
import json
import os
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from childrun import run
from fuzzcases import book_shape, decoded_natively

import r7u_razarozu as m

PRIVATE = {m.Parameter: "_Parameter__attributes", m.ParameterBook: "_ParameterBook__parameters",
           m.ParameterDirectory: "_ParameterDirectory__parameters"}


def make(cls):
    if cls is m.Parameter:
        return m.Parameter("d", a=1, b=2)
    if cls is m.ParameterBook:
        return m.ParameterBook({"a": m.Parameter(), "b": m.Parameter()})
    return m.ParameterDirectory({"a": m.ParameterBook(), "b": m.ParameterDirectory()})


def names(obj):
    # Read a few times so any per-class cache is warm before and after the change.
    for _ in range(3):
        result = list(obj.names())
    return result


all_classes = pytest.mark.parametrize("cls", list(PRIVATE), ids=lambda c: c.__name__)


@all_classes
class TestPrivateMapRead:
    def test_two_instances_keep_their_own_maps(self, cls):
        one, other = make(cls), cls()
        assert names(one) == ["a", "b"] and names(other) == []

    def test_map_replaced_through_the_instance_dict(self, cls):
        obj = make(cls)
        names(obj)
        vars(obj)[PRIVATE[cls]] = {"z": 0}
        assert names(obj) == ["z"]
        vars(obj)[PRIVATE[cls]] = {"y": 0}
        assert names(obj) == ["y"]

    def test_instance_dict_replaced_whole(self, cls):
        obj = make(cls)
        names(obj)
        object.__setattr__(obj, "__dict__", {PRIVATE[cls]: {"w": 0}})
        assert names(obj) == ["w"]

    def test_map_slot_emptied(self, cls):
        obj = make(cls)
        names(obj)
        object.__delattr__(obj, PRIVATE[cls])
        with pytest.raises(KeyError) as e:
            obj.names()
        assert e.value.args == (PRIVATE[cls],)

    def test_data_descriptor_added_to_the_class(self, cls):
        obj = make(cls)
        names(obj)
        setattr(cls, PRIVATE[cls], property(lambda self: {"from_class": 0}))
        try:
            assert names(obj) == ["from_class"]
        finally:
            delattr(cls, PRIVATE[cls])
        assert names(obj) == ["a", "b"]

    def test_plain_class_attribute_does_not_shadow_the_instance(self, cls):
        obj = make(cls)
        names(obj)
        setattr(cls, PRIVATE[cls], {"from_class": 0})
        try:
            assert names(obj) == ["a", "b"]
        finally:
            delattr(cls, PRIVATE[cls])

    def test_instance_moved_to_another_class(self, cls):
        obj = make(cls)
        names(obj)
        sub = type("Sub", (cls,), {PRIVATE[cls]: property(lambda self: {"from_sub": 0})})
        object.__setattr__(obj, "__class__", sub)
        assert names(obj) == ["from_sub"]
        object.__setattr__(obj, "__class__", cls)
        assert names(obj) == ["a", "b"]

    def test_class_changed_and_restored(self, cls):
        obj = make(cls)
        names(obj)
        cls.extra_for_test = 1
        del cls.extra_for_test
        assert names(obj) == ["a", "b"]
        vars(obj)[PRIVATE[cls]] = {"v": 0}
        assert names(obj) == ["v"]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_parameter_reads_follow_a_replaced_map():
    p = m.Parameter("d", value=1)
    for _ in range(3):
        assert (p.get("value"), p["value"], p.value) == (1, 1, 1)
    vars(p)["_Parameter__attributes"] = {"value": 2}
    assert (p.get("value"), p["value"], p.value) == (2, 2, 2)
    del vars(p)["_Parameter__description"]
    with pytest.raises(KeyError, match="_Parameter__description"):
        p.description


def tagging_clone(original):
    def clone(value):
        return ("seen", original(value)) if isinstance(value, int) else original(value)
    return clone


@pytest.mark.parametrize("how", ["setattr", "namespace dict", "update"])
def test_rebound_clone_attribute_is_seen_at_every_level(namespace, how):
    original = m._clone_attribute
    value = {"k": [1, 2]}
    for _ in range(3):
        assert m._clone_attribute(value) == value  # warm
    replacement = tagging_clone(original)
    if how == "setattr":
        m._clone_attribute = replacement
    elif how == "update":
        namespace.update({"_clone_attribute": replacement})
    else:
        namespace["_clone_attribute"] = replacement
    assert original(value) == {"k": [("seen", 1), ("seen", 2)]}
    assert m.Parameter("d", v=[3]).get("v") == [("seen", 3)]
    namespace["_clone_attribute"] = original
    assert original(value) == value


def test_rebound_classes_and_modules_are_seen(namespace, tmp_path):
    book = m.ParameterBook({"a": m.Parameter("d", value=1)})
    for _ in range(3):
        assert type(book.clone()) is m.ParameterBook
    sub = type("Book2", (), {"__init__": lambda self, parameters=None: None})
    namespace["ParameterBook"] = sub
    assert type(book.clone()) is sub
    del namespace["ParameterBook"]
    with pytest.raises(NameError, match="ParameterBook"):
        book.clone()


def test_deleted_global_falls_back_to_builtins(namespace):
    import builtins
    original = m._clone_attribute
    for _ in range(3):
        original([1])
    del namespace["_clone_attribute"]
    builtins._clone_attribute = tagging_clone(original)
    try:
        assert original([1]) == [("seen", 1)]
    finally:
        del builtins._clone_attribute
    with pytest.raises(NameError, match="_clone_attribute"):
        original([1])


def test_namespace_cleared_and_refilled(namespace):
    saved = dict(namespace)
    original = m._clone_attribute
    for _ in range(3):
        original([1])
    namespace.clear()
    with pytest.raises(NameError):
        original([1])
    namespace.update(saved)
    assert original([1]) == [1]


def test_non_str_key_in_the_namespace():
    # In a child interpreter, so that the odd key never meets the rest of the suite.
    out = run("""
import pure_key
orig = m._clone_attribute
for _ in range(3): orig([1])
ns = vars(m)
ns[pure_key.Key(orig)] = 0    # equal to "_clone_attribute": replaces its value, reading it meanwhile
print(ns["_clone_attribute"], outcome(lambda: orig([1])))
ns["_clone_attribute"] = orig
print(orig([2]))
""")
    assert out.split("\n")[:2] == ["0 TypeError", "[2]"]


def test_no_dict_watcher_free():
    # Every watcher of the child interpreter is taken before the module is imported.
    out = run("""
import ctypes
CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.py_object)
keep = CB(lambda *a: 0)
ctypes.pythonapi.PyDict_AddWatcher.argtypes = [CB]
taken = 0
try:
    while True:
        ctypes.pythonapi.PyDict_AddWatcher(keep)
        taken += 1
except RuntimeError:
    pass
import r7u_razarozu as m
orig = m._clone_attribute
print(taken, orig([1]))
m._clone_attribute = lambda v: ("seen", v)
print(orig([1]), m.Parameter("d", v=[2]).get("v"))
""", prelude=False)
    lines = out.split("\n")
    assert int(lines[0].split()[0]) >= 1 and lines[0].endswith("[1]")
    assert lines[1] == "[('seen', 1)] ('seen', [2])"


# ---------------------------------------------------------------------------
# A book file written from the UTF-8 text directly
# ---------------------------------------------------------------------------


texts = st.text(st.characters(blacklist_categories=("Cs",)), max_size=12) | st.sampled_from(
    ["", "ascii", "\"\\\\\n\t\x00\x1f\x7f", "Größe é", "参数 描述", "\U0001f600 x", "\u2028\u00ff"])
leaves = st.one_of(st.integers(), st.floats(allow_nan=False), texts, st.booleans())
values = st.recursive(leaves, lambda c: st.lists(c, max_size=3) | st.dictionaries(texts, c, max_size=3),
                      max_leaves=8)


def reference_bytes(book):
    forms = [p.to_dict(n) for n, p in sorted(book.items())]
    return json.dumps(forms, indent=4, ensure_ascii=False).encode("utf-8")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(texts.filter(bool), st.tuples(texts, values), max_size=4))
def test_saved_bytes_are_the_encoded_text(tmp_path, entries):
    book = m.ParameterBook({name: m.Parameter({"default": d, "zh_CN": d + "中"}, value=v)
                            for name, (d, v) in entries.items()})
    target = tmp_path / "b.d7ori"
    book.save(str(target))
    data = target.read_bytes()
    assert data == reference_bytes(book) == str(book).encode("utf-8")


@pytest.mark.parametrize("where", ["value", "description", "name"])
def test_lone_surrogate_fails_and_keeps_the_file(tmp_path, where):
    target = tmp_path / "b.d7ori"
    m.ParameterBook({"a": m.Parameter("x", value=1)}).save(str(target))
    before = target.read_bytes()
    bad = "a\udc80b"
    p = m.Parameter(bad if where == "description" else "d", value=bad if where == "value" else 1)
    book = m.ParameterBook({bad if where == "name" else "n": p})
    with pytest.raises(UnicodeEncodeError) as e:
        book.save(str(target))
    assert e.value.object == str(book)
    assert target.read_bytes() == before


def test_replaced_str_is_what_save_writes(tmp_path):
    target = tmp_path / "b.d7ori"
    book = m.ParameterBook({"a": m.Parameter("d", value="é")})
    book.save(str(target))
    m.ParameterBook.__str__, original = (lambda self: "Ersatz é"), m.ParameterBook.__str__
    try:
        book.save(str(target))
        assert target.read_bytes() == "Ersatz é".encode("utf-8")
    finally:
        m.ParameterBook.__str__ = original
    sub = type("Sub", (m.ParameterBook,), {"__str__": lambda self: "sub"})
    book.save(str(target))
    assert target.read_bytes() == reference_bytes(book)
    object.__setattr__(book, "__class__", sub)
    book.save(str(target))
    assert target.read_bytes() == b"sub"


def test_replaced_dumps_is_what_save_writes(tmp_path, rebind):
    import types
    target = tmp_path / "b.d7ori"
    book = m.ParameterBook({"a": m.Parameter("d", value="é")})
    fake = types.SimpleNamespace(dumps=lambda forms, indent, ensure_ascii: f"{len(forms)} {indent} é",
                                 loads=json.loads)
    rebind("_json", fake)
    book.save(str(target))
    assert target.read_bytes() == "1 4 é".encode("utf-8")


def test_in_place_write_of_the_utf8_text(tmp_path):
    # A hard-linked book file is written in place, through open(), from the same text.
    target, twin = tmp_path / "b.d7ori", tmp_path / "twin"
    target.write_bytes(b"old")
    os.link(target, twin)
    book = m.ParameterBook({"a": m.Parameter("参数", value=["é", "\U0001f600", "\t"])})
    book.save(str(target))
    assert target.read_bytes() == twin.read_bytes() == reference_bytes(book)


# ---------------------------------------------------------------------------
# Loads that take over the decoded containers instead of copying them
# ---------------------------------------------------------------------------


def saved_book(tmp_path, **attributes):
    target = tmp_path / "b.d7ori"
    m.ParameterBook({"p": m.Parameter({"default": "d", "de": "x"}, **attributes)}).save(str(target))
    return str(target)


def loads_with(change):
    """A json stand-in whose loads hands the decoded data to `change` first."""
    def loads(text):
        return change(json.loads(text))
    return types.SimpleNamespace(loads=loads, dumps=json.dumps)


def test_loaded_maps_are_fresh_and_ordered(tmp_path):
    path = saved_book(tmp_path, value=[1, {"k": 2.5}], z=True, a="é")
    one, two = m.ParameterBook.load(path), m.ParameterBook.load(path)
    p, q = one["p"], two["p"]
    assert list(vars(p)) == ["_Parameter__description", "_Parameter__attributes"]
    assert list(p.items()) == [("value", [1, {"k": 2.5}]), ("z", True), ("a", "é")]
    assert p.get("value") is not q.get("value") and p.get("value") == q.get("value")
    assert p.all_descriptions() == {"default": "d", "de": "x"}
    assert p.clone().get("value") == [1, {"k": 2.5}]


@pytest.mark.parametrize("kept_part", ["list", "form", "attributes", "description"])
def test_decoded_data_held_elsewhere_is_copied(tmp_path, rebind, kept_part):
    path = saved_book(tmp_path, value=[1, 2])
    pick = {"list": lambda d: d, "form": lambda d: d[0], "attributes": lambda d: d[0]["attributes"],
            "description": lambda d: d[0]["description"]}[kept_part]
    kept = []

    def keep(data):
        kept.append(pick(data))
        return data
    rebind("_json", loads_with(keep))
    book = m.ParameterBook.load(path)
    form = {"list": lambda k: k[0], "form": lambda k: k}[kept_part](kept[0]) if kept_part in ("list", "form") \
        else None
    if form is not None:
        form["attributes"]["value"].append(3)
        form["attributes"]["new"] = 1
        form["description"]["default"] = "changed"
    elif kept_part == "attributes":
        kept[0]["value"].append(3)
        kept[0]["new"] = 1
    else:
        kept[0]["default"] = "changed"
    assert book["p"].get("value") == [1, 2] and list(book["p"].names()) == ["value"]
    assert book["p"].get_description("default") == "d"


def test_nested_container_held_elsewhere_is_copied(tmp_path, rebind):
    path = saved_book(tmp_path, value=[[1], {"a": [2]}])
    inner = []

    def grab(data):
        inner.append(data[0]["attributes"]["value"][1]["a"])
        return data
    rebind("_json", loads_with(grab))
    kept = m.ParameterBook.load(path)
    inner[0].append(99)
    assert kept["p"].get("value") == [[1], {"a": [2]}]


@pytest.mark.parametrize("leaf", [lambda v: types.SimpleNamespace(v=v), lambda v: type("L", (list,), {})([v])],
                         ids=["object", "list subclass"])
def test_other_leaf_types_go_through_the_copy(tmp_path, rebind, leaf):
    path = saved_book(tmp_path, value=1)

    def swap(data):
        data[0]["attributes"]["value"] = leaf(1)
        return data
    rebind("_json", loads_with(swap))
    if type(leaf(1)) is types.SimpleNamespace:
        with pytest.raises(TypeError, match="Unsupported attribute type"):
            m.ParameterBook.load(path)
    else:
        assert type(m.ParameterBook.load(path)["p"].get("value")) is list


@pytest.mark.parametrize("key", ["description", "self"])
def test_attribute_named_like_a_constructor_parameter(tmp_path, rebind, key):
    path = saved_book(tmp_path, value=1)

    def swap(data):
        data[0]["attributes"][key] = 1
        return data
    rebind("_json", loads_with(swap))
    with pytest.raises(TypeError, match=f"multiple values for argument '{key}'"):
        m.ParameterBook.load(path)


def test_description_without_default(tmp_path, rebind):
    path = saved_book(tmp_path, value=1)

    def swap(data):
        del data[0]["description"]["default"]
        return data
    rebind("_json", loads_with(swap))
    with pytest.raises(AssertionError):
        m.ParameterBook.load(path)


def test_rebound_clone_attribute_takes_part(tmp_path, rebind):
    path = saved_book(tmp_path, value=[1])
    original = m._clone_attribute
    calls = []
    rebind("_clone_attribute", lambda v: (calls.append(v), original(v))[1])
    p = m.ParameterBook.load(path)["p"]
    assert p.get("value") == [1]
    assert [1] in calls and {"default": "d", "de": "x"} in calls


@pytest.mark.parametrize("change", ["__init__", "__del__", "class attribute", "subclass"])
def test_changed_parameter_class_takes_part(tmp_path, rebind, change):
    path = saved_book(tmp_path, value=1)
    seen = []
    cls = m.Parameter
    if change == "subclass":
        rebind("Parameter", type("Parameter2", (cls,), {}))
        with pytest.raises(KeyError):
            m.ParameterBook.load(path)
        return
    attr = {"__init__": "__init__", "__del__": "__del__"}.get(change, "_Parameter__attributes")
    saved = cls.__dict__.get(attr)
    if change == "__init__":
        cls.__init__ = lambda self, d="", **kw: (seen.append(kw), saved(self, d, **kw))[1]
    elif change == "__del__":
        cls.__del__ = lambda self: seen.append("del")
    else:
        cls._Parameter__attributes = property(lambda self: {"from": "class"}, lambda self, v: seen.append(v))
    try:
        book = m.ParameterBook.load(path)
        if change == "__init__":
            assert seen and all(kw == {"value": 1} for kw in seen)
        elif change == "class attribute":
            assert seen[0] == {} and book["p"].get("from") == "class"
        else:
            del book
            assert "del" in seen
    finally:
        if saved is None:
            delattr(cls, attr)
        else:
            setattr(cls, attr, saved)


# ---------------------------------------------------------------------------
# Subscription slots that call our functions directly while the class is unchanged
# ---------------------------------------------------------------------------
@all_classes
@pytest.mark.parametrize("op", ["__getitem__", "__setitem__", "__delitem__"])
def test_replaced_subscription_method_is_called(cls, op):
    obj, calls = make(cls), []
    for _ in range(3):
        obj["a"]
    saved = cls.__dict__[op]
    setattr(cls, op, lambda self, *args: calls.append(args) or "replaced")
    try:
        if op == "__getitem__":
            assert obj["a"] == "replaced"
        elif op == "__setitem__":
            obj["k"] = 1
        else:
            del obj["k"]
        assert calls == [("a",)] if op == "__getitem__" else calls
    finally:
        setattr(cls, op, saved)
    assert names(obj) == ["a", "b"]


@all_classes
def test_subscription_follows_the_class_of_the_instance(cls):
    obj = make(cls)
    for _ in range(3):
        obj["a"]
    sub = type("Sub", (cls,), {"__getitem__": lambda self, k: ("sub", k)})
    object.__setattr__(obj, "__class__", sub)
    assert obj["a"] == ("sub", "a")
    del sub.__getitem__
    assert obj["a"] is not None and not isinstance(obj["a"], tuple)
    object.__setattr__(obj, "__class__", cls)
    cls.unrelated_for_test = 1
    try:
        assert obj["a"] is not None
    finally:
        del cls.unrelated_for_test


def test_subscription_method_replaced_by_a_static_and_a_callable():
    p = m.Parameter("d", a=1)
    for _ in range(3):
        assert p["a"] == 1
    saved = m.Parameter.__dict__["__getitem__"]
    try:
        m.Parameter.__getitem__ = staticmethod(lambda k: ("static", k))
        assert p["a"] == ("static", "a")
        m.Parameter.__getitem__ = m.ParameterBook.__getitem__
        with pytest.raises(KeyError, match="_ParameterBook__parameters"):
            p["a"]
    finally:
        m.Parameter.__getitem__ = saved
    assert p["a"] == 1


# ---------------------------------------------------------------------------
# Construction from the call's own keyword names
# ---------------------------------------------------------------------------
def test_construction_binds_like_a_python_function():
    P = m.Parameter
    p = P("d", b=1, a=[2], c={"k": 3.5}, d="x", e=True)
    assert list(vars(p)) == ["_Parameter__description", "_Parameter__attributes"]
    assert list(p.items()) == [("b", 1), ("a", [2]), ("c", {"k": 3.5}), ("d", "x"), ("e", True)]
    assert P(value=1).all_descriptions() == {"default": ""}
    assert P(description="t", value=1).all_descriptions() == {"default": "t"}
    assert list(P("d", **{"x": 1, "y": 2}).names()) == ["x", "y"]
    sub = type("S", (str,), {})
    q = P("d", **{sub("k"): 1})
    assert [type(k) for k in q.names()] == [sub]
    for kwargs, message in [({"self": 1}, "multiple values for argument 'self'"),
                            ({"description": 1}, "multiple values for argument 'description'")]:
        with pytest.raises(TypeError, match=message):
            P("d", **kwargs)
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 3 were given"):
        P("d", "e", value=1)
    with pytest.raises(TypeError, match="keywords must be strings"):
        P("d", **{1: 2})


def test_construction_copies_containers_and_shares_scalars():
    value, text, big = [1, [2]], "é" * 3, 10 ** 30
    p = m.Parameter("d", v=value, t=text, b=big)
    assert p.get("v") == value and p.get("v") is not value and p.get("v")[1] is not value[1]
    assert p.get("t") is text and p.get("b") is big


def test_construction_uses_replaced_defaults(namespace):
    init = m.Parameter.__init__
    saved = init.__defaults__
    init.__defaults__ = ("other",)
    try:
        assert m.Parameter(value=1).all_descriptions() == {"default": "other"}
        init.__defaults__ = None
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'description'"):
            m.Parameter(value=1)
    finally:
        init.__defaults__ = saved


def test_construction_with_a_rebound_clone_attribute(rebind):
    calls = []
    original = m._clone_attribute
    rebind("_clone_attribute", lambda v: (calls.append(v), original(v))[1])
    m.Parameter("d", a=1, b="x", c=[1])
    assert calls == [1, "x", [1], 1]


@pytest.mark.parametrize("change", ["renamed", "own __setattr__"])
def test_construction_routes_private_names_through_a_changed_class(change):
    P = m.Parameter
    seen = []
    if change == "renamed":
        P.__name__ = "Renamed"
        try:
            with pytest.raises(KeyError, match="_Parameter__attributes"):
                P("d", a=1)
        finally:
            P.__name__ = "Parameter"
    else:
        saved = P.__dict__["__setattr__"]
        P.__setattr__ = lambda self, k, v: (seen.append(k), saved(self, k, v))
        try:
            p = P("d", a=1)
            assert seen == ["_Parameter__description", "_Parameter__attributes"] and p.get("a") == 1
        finally:
            P.__setattr__ = saved
    assert P("d", a=1).get("a") == 1


def test_load_without_a_book_class_still_makes_the_parameters_first(tmp_path, namespace):
    path = saved_book(tmp_path, value=[1])
    book_load, original, calls = m.ParameterBook.load, m._clone_attribute, []
    del namespace["ParameterBook"]
    namespace["_clone_attribute"] = lambda v: (calls.append(v), original(v))[1]
    with pytest.raises(NameError, match="ParameterBook"):
        book_load(path)
    assert [1] in calls


# ---------------------------------------------------------------------------
# Book files read without a file object while the captured open is the standard one
# ---------------------------------------------------------------------------
def python_read(path):
    with open(path, "r", encoding="utf8") as f:
        return f.read()


@pytest.mark.parametrize("newline", ["\r\n", "\r", "\n"])
def test_read_with_universal_newlines(tmp_path, newline):
    path = saved_book(tmp_path, value="a\u2028b")
    data = open(path, "rb").read().replace(b"\n", newline.encode())
    open(path, "wb").write(data)
    assert list(m.ParameterBook.load(path)["p"].items()) == [("value", "a\u2028b")]


def test_read_errors_are_opens(tmp_path):
    bad = tmp_path / "bad.d7ori"
    bad.write_bytes(b'[{"name": "p", "x": "\xff"}]')
    for path in [str(bad)]:
        with pytest.raises(UnicodeDecodeError) as ours:
            m.ParameterBook.load(path)
        with pytest.raises(UnicodeDecodeError) as theirs:
            python_read(path)
        assert (str(ours.value), ours.value.object, ours.value.start) == \
            (str(theirs.value), theirs.value.object, theirs.value.start)
    bom = tmp_path / "bom.d7ori"
    bom.write_bytes(b"\xef\xbb\xbf[]")
    with pytest.raises(json.JSONDecodeError, match="BOM"):
        m.ParameterBook.load(str(bom))


def test_read_errors_of_the_file_system(tmp_path):
    out = run(f"""
import errno
folder = {str(tmp_path)!r}
def err(fn):
    try:
        fn()
    except OSError as e:
        return [type(e).__name__, e.errno, e.filename]
print(json.dumps([err(lambda: B.load(folder + "/missing.d7ori")), err(lambda: B.load(folder))]))
events = []
sys.addaudithook(lambda e, a: events.append([e, list(a)]) if e == "open" else None)
B().save(folder + "/x")
B.load(folder + "/x.d7ori")
open(folder + "/x.d7ori", "r", encoding="utf8").close()
print(json.dumps(events[-2:]))
""", optimize=True)
    lines = out.strip().splitlines()
    assert json.loads(lines[0]) == [["FileNotFoundError", 2, str(tmp_path / "missing.d7ori")],
                                    ["IsADirectoryError", 21, str(tmp_path)]]
    ours, theirs = json.loads(lines[1])
    assert ours == theirs and ours[0] == "open"


def test_replaced_open_at_import_is_used(tmp_path):
    path = saved_book(tmp_path, value=1)
    out = run(f"""
import builtins, io
calls = []
def my_open(*args, **kwargs):
    calls.append(args[1])
    return io.open(*args, **kwargs)
builtins.open = my_open
import r7u_razarozu as m
print(m.ParameterBook.load({path!r})["p"].get("value"), calls)
""", prelude=False)
    assert out.split("\n")[0] == "1 ['r']"


def test_read_from_a_pipe_in_pieces(tmp_path):
    # A pipe reports no size: the reader grows its buffer until the writer closes.
    out = run(f"""
import os, threading
fifo = {str(tmp_path / "pipe.d7ori")!r}
os.mkfifo(fifo)
text = json.dumps([{{"name": "p", "description": {{"default": "d"}}, "attributes": {{"v": "x" * 50000}}}}])
def writer():
    with open(fifo, "wb") as f:
        for i in range(0, len(text), 7000):
            f.write(text[i:i + 7000].encode()); f.flush()
t = threading.Thread(target=writer); t.start()
book = B.load(fifo)
t.join()
print(len(book["p"].get("v")))
""", optimize=True)
    assert out.split() == ["50000"]


def test_the_subscription_shortcut_holds_the_function_it_calls():
    out = run("""
import gc, weakref
b = B(values={"v": 1})
b["v"]
ref = weakref.ref(vars(B)["__getitem__"])
B.__getitem__ = lambda self, key: "replaced"
gc.collect()
print(ref() is not None, b["v"])
""")
    assert out.split() == ["True", "replaced"]


# ---------------------------------------------------------------------------
# Book files decoded natively while json.loads is the host's own
# ---------------------------------------------------------------------------
def recording_loads_change(change, calls, monkeypatch):
    """Changes one thing json.loads runs so that it records its use."""
    decoder = json._default_decoder

    def record(fn):
        return lambda *args, **kwargs: (calls.append(change), fn(*args, **kwargs))[1]

    class Recording(json.JSONDecoder):
        def decode(self, s, *args):
            calls.append(change)
            return super().decode(s, *args)
    if change == "loads":
        monkeypatch.setattr(json, "loads", record(json.loads))
    elif change == "loads code":
        monkeypatch.setattr(json, "_r7u_calls", calls, raising=False)
        scope = {}
        exec("def loads(s, *, cls=None, object_hook=None, parse_float=None, parse_int=None, parse_constant=None,"
             " object_pairs_hook=None, **kw):\n    _r7u_calls.append('loads code')\n"
             "    return _default_decoder.decode(s)", scope)
        monkeypatch.setattr(json.loads, "__code__", scope["loads"].__code__)
    elif change == "loads defaults":
        monkeypatch.setitem(json.loads.__kwdefaults__, "cls", Recording)
    elif change == "default decoder":
        monkeypatch.setattr(json, "_default_decoder", Recording())
    elif change == "decoder class":
        monkeypatch.setattr(json.JSONDecoder, "raw_decode", record(json.JSONDecoder.raw_decode))
    elif change == "method defaults":
        monkeypatch.setattr(json.JSONDecoder.decode, "__defaults__", (record(json.decoder.WHITESPACE.match),))
    elif change in ("decode", "scan_once"):
        monkeypatch.setattr(decoder, change, record(getattr(decoder, change)), raising=False)


@pytest.mark.parametrize("change", ["loads", "loads code", "loads defaults", "default decoder", "decoder class",
                                    "method defaults", "decode", "scan_once"])
def test_changed_json_loads_runs(tmp_path, monkeypatch, change):
    path = saved_book(tmp_path, value=[1, 2.5], z="é")
    calls = []
    recording_loads_change(change, calls, monkeypatch)
    book = m.ParameterBook.load(path)
    assert calls and set(calls) == {change}
    assert list(book["p"].items()) == [("value", [1, 2.5]), ("z", "é")]
    monkeypatch.undo()
    assert decoded_natively(path) == (("ok", book_shape(book)), True)


@pytest.mark.parametrize("value", [b"1", b"NaN", b'"\\ud800"', b"1e400", b"12345678901234567890", b"null"])
def test_unusual_values_are_left_to_json_loads(tmp_path, value):
    path = tmp_path / "b.d7ori"
    form = b'{"name": "%s", "description": {"default": ""}, "attributes": {"v": %s}}'
    path.write_bytes(b"[" + form % (b"a", b"1") + b", " + form % (b"p", value) + b"]")
    outcome, native = decoded_natively(str(path))
    assert outcome[0] == ("TypeError" if value == b"null" else "ok") and native == (value == b"1")
    path.write_bytes(path.read_bytes().replace(b'"v": 1', b'"v": 1, "v": 1', 1))
    assert decoded_natively(str(path))[1] is False
