"""Behaviour the three map-backed classes share, each case run for every class,
with one reproducer per fault the shared core put right."""
import copy
import os
import pickle
import textwrap
from concurrent.futures import ProcessPoolExecutor

import pytest

import r7u_razarozu as m
from childrun import run, run_json
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory

PRIVATE = {
    Parameter: "_Parameter__attributes",
    ParameterBook: "_ParameterBook__parameters",
    ParameterDirectory: "_ParameterDirectory__parameters",
}
CLASSES = list(PRIVATE)


def filled(cls):
    if cls is Parameter:
        return Parameter({"default": "d", "en": "e"}, value=[1, {"k": 2.5}], name="n")
    if cls is ParameterBook:
        return ParameterBook(values={"a": 1, "b": [2]})
    return ParameterDirectory({"book": ParameterBook(values={"a": 1}), "sub": ParameterDirectory()})


def content(obj):
    """What an object holds, as plain data."""
    if isinstance(obj, Parameter):
        return ["P", obj.all_descriptions(), dict(obj.items())]
    if isinstance(obj, ParameterBook):
        return ["B", str(obj)]
    return ["D", {name: content(item) for name, item in obj.items()}]


def make_filled(name):
    return filled(getattr(m, name))


# ---------------------------------------------------------------------------
# Copies made by pickle, copy and worker processes
# ---------------------------------------------------------------------------
@pytest.fixture
def copy_protocols():
    """copy and pickle cache __slotnames__ in the classes; leave them as they were."""
    yield
    for cls in CLASSES:
        if "__slotnames__" in vars(cls):
            delattr(cls, "__slotnames__")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_pickle_and_copy_give_whole_objects(cls, copy_protocols):
    obj = filled(cls)
    for dup in (pickle.loads(pickle.dumps(obj)), copy.copy(obj)):
        assert type(dup) is cls and dup is not obj and content(dup) == content(obj)
    shallow = copy.copy(obj)
    assert vars(shallow)[PRIVATE[cls]] is vars(obj)[PRIVATE[cls]]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_instances_without_their_map(cls, copy_protocols):
    bare = object.__new__(cls)
    with pytest.raises(AttributeError) as info:
        bare.__setstate__
    assert info.value.args == (f"'{cls.__name__}' object has no attribute '__setstate__'",)
    assert not hasattr(bare, "anything")
    # The private map itself stays the KeyError every method gives.
    with pytest.raises(KeyError) as info:
        getattr(bare, PRIVATE[cls])
    assert info.value.args == (PRIVATE[cls],)
    with pytest.raises(KeyError) as info:
        bare.items()
    assert info.value.args == (PRIVATE[cls],)
    for dup in (copy.deepcopy(bare), copy.copy(bare), pickle.loads(pickle.dumps(bare))):
        assert type(dup) is cls and vars(dup) == {}
    # With its map, a missing attribute is still a KeyError.
    with pytest.raises(KeyError) as info:
        filled(cls).__setstate__
    assert info.value.args == ("__setstate__",)


def test_worker_processes_return_each_class():
    with ProcessPoolExecutor(max_workers=1) as pool:
        results = list(pool.map(make_filled, ["Parameter", "ParameterBook", "ParameterDirectory"]))
    assert [content(r) for r in results] == [content(filled(c)) for c in CLASSES]


# ---------------------------------------------------------------------------
# 1. A str subclass key that rebuilds the routed-name cache while compared
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("cls", ["P", "B", "D"])
def test_key_whose_comparison_renames_the_class(cls):
    out = run_json(textwrap.dedent(f"""
        cls = {cls}
        name = cls.__name__
        other, obj = cls(), cls()
        value = B() if cls is D else P()
        # A class name no other object holds: the cached routed name is then
        # the only owner of its text.
        cls.__name__ = "".join(["Fre", "sh"])
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, o):
                # Each store on `other` rebuilds the routed name of the class.
                for n in range(50):
                    cls.__name__ = "Renamed%d" % n
                    setattr(other, "_x%d" % n, value)
                return NotImplemented
        key = Key("_" + name + "__zz")
        setattr(obj, key, value)
        got = [getattr(obj, key) is value]
        delattr(obj, key)
        got.append(outcome(lambda: getattr(obj, key)))
        cls.__name__ = name
        print(json.dumps(got))
    """))
    assert out == [True, "KeyError"]


# ---------------------------------------------------------------------------
# 2. The dictionary walks check what Python's own loop checks
# ---------------------------------------------------------------------------
def churn(d):
    """Moves the first entry to a new key: the size stays, the keys change."""
    key = next(iter(d))
    d[key + "'"] = d.pop(key)


def python_loop_error(d):
    try:
        for _ in d.items():
            churn(d)
    except RuntimeError as e:
        return e.args
    return None


@pytest.mark.parametrize("target", ["ParameterBook", "ParameterDirectory", "_clone_attribute"])
def test_walks_stop_when_keys_change(target):
    expected = python_loop_error({"a": 1, "b": 2})
    assert expected == ("dictionary keys changed during iteration",)
    d = {}
    if target == "_clone_attribute":
        class Noisy(list):
            def __iter__(self):
                churn(d)
                return iter(())
    else:
        inner = ParameterBook if target == "ParameterDirectory" else Parameter

        def Noisy():
            # A clone of its own in the instance dict, found before the class's.
            obj = inner()

            def clone():
                churn(d)
                return inner()
            object.__setattr__(obj, "clone", clone)
            return obj
    d.update(a=Noisy(), b=Noisy())
    with pytest.raises(RuntimeError) as info:
        getattr(m, target)(d)
    assert info.value.args == expected


# ---------------------------------------------------------------------------
# 3. A private map that is the object itself, 4. a container holding itself
# ---------------------------------------------------------------------------
def test_self_containing_private_maps_end_in_recursion_error():
    out = run_json("""
import copy
got = {}
for cls in (P, B, D):
    obj = cls()
    setattr(obj, "_%s__%s" % (cls.__name__, "attributes" if cls is P else "parameters"), obj)
    value = B() if cls is D else P()
    calls = {
        "item": lambda: obj["x"], "attr": lambda: obj.x, "store": lambda: setattr(obj, "x", value),
        "delete": lambda: delattr(obj, "x"), "deepcopy": lambda: copy.deepcopy(obj),
        "names": lambda: obj.names(), "contains": lambda: obj.get("x") if cls is P else obj.rename("x", "y"),
    }
    if cls is B:
        calls["value"] = lambda: obj.get_parameter_value("x")
    got[cls.__name__] = sorted({outcome(c) for c in calls.values()} - {"ok"})
print(json.dumps(got))
""")
    assert out == {"Parameter": ["RecursionError"], "ParameterBook": ["RecursionError"],
                   "ParameterDirectory": ["RecursionError"]}


@pytest.mark.parametrize("optimize", [True, False])
def test_books_holding_themselves_end_in_recursion_error(optimize):
    out = run_json("""
if __debug__:
    m.Parameter = object  # lets a book through the item check
b = B()
b["x"] = b
got = [outcome(b.clone), outcome(lambda: B({"x": b})), outcome(lambda: D({"x": b}))]
print(json.dumps(got))
""", optimize=optimize)
    assert out == ["RecursionError"] * 3


# ---------------------------------------------------------------------------
# 5. The private maps are found by ordinary attribute lookup
# ---------------------------------------------------------------------------
@pytest.mark.filterwarnings("ignore:.*getdefaultlocale:DeprecationWarning")
def test_private_maps_are_found_by_ordinary_lookup():
    with pytest.raises(AttributeError) as info:
        Parameter.items(5)
    assert info.value.args == ("'int' object has no attribute '_Parameter__attributes'",)
    with pytest.raises(KeyError) as info:
        Parameter.get_description(ParameterDirectory())
    assert info.value.args == ("_Parameter__description",)

    seen = []

    class Watched(Parameter):
        def __getattribute__(self, name):
            seen.append(name)
            return object.__getattribute__(self, name)

    w = Parameter(x=1)
    object.__setattr__(w, "__class__", Watched)
    assert w.get("x") == 1 and "_Parameter__attributes" in seen

    class Supplied(Parameter):
        def __getattr__(self, name):
            if name == "_Parameter__description":
                return {"default": "supplied"}
            return Parameter.__getattr__(self, name)

    s = Parameter("own")
    object.__setattr__(s, "__class__", Supplied)
    object.__delattr__(s, "_Parameter__description")
    assert s.get_description() == "supplied" and s.description == "supplied"


# ---------------------------------------------------------------------------
# 6. clone unpacks the attribute map as a call's ** does
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("attrs", [[("a", 1)], 1])
def test_clone_unpacks_its_map_like_a_call(attrs):
    p = Parameter()
    p._Parameter__attributes = attrs
    with pytest.raises(TypeError) as info:
        p.clone()
    # The running interpreter's own words for the same step.
    with pytest.raises(TypeError) as host:
        Parameter("", **attrs)
    assert info.value.args == host.value.args


class _Failing:
    def __init__(self, error, in_keys):
        self.error, self.in_keys = error, in_keys

    def keys(self):
        if self.in_keys:
            raise self.error
        return ["a"]

    def __getitem__(self, key):
        raise self.error


@pytest.mark.parametrize("error, in_keys", [(AttributeError(), True), (AttributeError("keys"), True),
                                            (KeyError("b"), False), (KeyError(1, 2), False)])
def test_clone_passes_on_a_map_error_as_a_call_does(error, in_keys):
    # Up to 3.14 a call turns some into TypeErrors of its own, from 3.15 none.
    p = Parameter()
    p._Parameter__attributes = _Failing(error, in_keys)
    with pytest.raises(Exception) as info:
        p.clone()
    with pytest.raises(Exception) as host:
        Parameter("", **_Failing(error, in_keys))
    assert (type(info.value), info.value.args) == (type(host.value), host.value.args)


def test_clone_of_a_mapping_that_is_not_a_dict():
    class Pairs:
        def keys(self):
            return ["a", "b"]

        def __getitem__(self, key):
            return key * 2

    p = Parameter()
    p._Parameter__attributes = Pairs()
    assert dict(p.clone().items()) == {"a": "aa", "b": "bb"}

    class Twice(Pairs):
        def keys(self):
            return ["a", "a"]

    p._Parameter__attributes = Twice()
    with pytest.raises(TypeError) as info:
        p.clone()
    assert info.value.args == ("r7u_razarozu.Parameter() got multiple values for keyword argument 'a'",)


# ---------------------------------------------------------------------------
# 7. Module-level names are looked up when they are used
# ---------------------------------------------------------------------------
def test_module_names_are_looked_up_when_used(tmp_path, namespace):
    (tmp_path / "empty.d7ori").write_text("[]", encoding="utf8")
    (tmp_path / "inf.d7ori").write_text("[1e400]", encoding="utf8")
    folder = tmp_path / "folder"
    folder.mkdir()
    del namespace["Parameter"]
    book = ParameterBook.load(str(tmp_path / "empty.d7ori"))
    assert list(book.names()) == []
    with pytest.raises(AssertionError):
        ParameterBook.load(str(tmp_path / "inf.d7ori"))
    namespace["Parameter"] = Parameter
    del namespace["_path"]
    assert list(ParameterDirectory.load(str(folder)).names()) == []
    assert ParameterDirectory._backup_books_in_this_directory(str(folder)) == []


# ---------------------------------------------------------------------------
# 8. and 9. Arguments are bound as the interpreter binds them
# ---------------------------------------------------------------------------
def test_unknown_keyword_is_reported_before_surplus_positionals():
    for call in (lambda: Parameter().get("a", 1, 2, 3, zz=1), lambda: ParameterBook().clone(1, zz=2),
                 lambda: m._clone_attribute(1, 2, zz=3)):
        with pytest.raises(TypeError, match="got an unexpected keyword argument 'zz'"):
            call()
    with pytest.raises(TypeError, match="got multiple values for argument 'name'"):
        Parameter().get("a", 1, 2, 3, name="b")


def test_keyword_names_are_compared_as_the_interpreter_compares():
    calls = []

    class Never(str):
        def __eq__(self, other):
            calls.append(other)
            return False

        __hash__ = str.__hash__

    with pytest.raises(TypeError, match="unexpected keyword argument 'name'"):
        Parameter(x=1).get(**{Never("name"): "x"})
    assert calls == ["self", "name", "default", "raise_if_none"]

    class Always(str):
        def __eq__(self, other):
            return other == "default"

        __hash__ = str.__hash__

    assert Parameter().get("absent", **{Always("whatever"): 7}) == 7


# ---------------------------------------------------------------------------
# 10. A loaded entry under the private name stays an item in a subclass too
# ---------------------------------------------------------------------------
def test_loaded_private_name_is_an_item_in_a_subclass(tmp_path, rebind):
    folder = tmp_path / "tree"
    for name in ("_ParameterDirectory__parameters", "_Sub__parameters"):
        (folder / name).mkdir(parents=True)
    (folder / "a.d7ori").write_text("[]", encoding="utf8")

    class Sub(ParameterDirectory):
        """Keeps its map under the parent's private name."""
        def __init__(self, parameters=None):
            vars(self)[ROUTED] = {}

        def __setattr__(self, key, value):
            if key == ROUTED:
                object.__setattr__(self, key, value)
            else:
                ParameterDirectory.__setattr__(self, key, value)

    rebind("ParameterDirectory", Sub)
    d = ParameterDirectory.load(str(folder))
    assert type(d) is Sub
    assert sorted(d.names()) == ["_ParameterDirectory__parameters", "_Sub__parameters", "a"]


ROUTED = "_ParameterDirectory__parameters"


# ---------------------------------------------------------------------------
# 11. The book text takes the names as list(mapping) does
# ---------------------------------------------------------------------------
def test_book_text_takes_names_like_list():
    b = ParameterBook()
    b._ParameterBook__parameters = []
    assert str(b) == "[]"

    class Ordered(dict):
        def __iter__(self):
            return iter(["b", "a"])

        def keys(self):
            raise AssertionError("keys() is not what list() calls")

    b._ParameterBook__parameters = Ordered(a=Parameter(value=1), b=Parameter(value=2))
    assert [form["name"] for form in __import__("json").loads(str(b))] == ["a", "b"]


# ---------------------------------------------------------------------------
# 12. Membership, then the read: a key's __eq__ runs as often as in Python
# ---------------------------------------------------------------------------
def test_value_lookup_compares_as_often_as_python():
    calls = []

    class Key(str):
        def __eq__(self, other):
            calls.append(other)
            return str.__eq__(self, other)

        __hash__ = str.__hash__

    b = ParameterBook()
    b[Key("k")] = Parameter(value=3)
    assert b.get_parameter_value("k") == 3
    assert len(calls) == 2


# ---------------------------------------------------------------------------
# Deep trees in threads with small stacks
# ---------------------------------------------------------------------------
def test_deep_trees_in_small_stack_threads_end_in_recursion_error(tmp_path):
    out = run_json(f"""
import threading
root, _ = chain(D, "a", 20000)
got = {{}}
def work():
    got["clone"] = outcome(root.clone)
    got["copy"] = outcome(lambda: D({{"r": root}}))
    got["save"] = outcome(lambda: root.save({str(tmp_path / "deep")!r}))
threading.stack_size(512 * 1024)
t = threading.Thread(target=work)
t.start()
t.join()
print(json.dumps(got))
""")
    assert out == {"clone": "RecursionError", "copy": "RecursionError", "save": "RecursionError"}


def test_a_private_map_that_is_its_own_container_fails_without_a_crash(tmp_path):
    """Every walk over the map is guarded; a map-less instance names a non-str attribute with str()."""
    out = run_json("""
ops = [lambda o: o.items(), lambda o: o.clear(), lambda o: o.clone(), lambda o: o.save("x")]
res = []
for cls, private in ((P, "_Parameter__attributes"), (B, "_ParameterBook__parameters"),
                     (D, "_ParameterDirectory__parameters")):
    o = cls()
    o.__dict__[private] = o
    res += [outcome(lambda: fn(o)) for fn in ops] + [outcome(lambda: object.__new__(cls).__getattr__(12345))]
print(json.dumps(res))
""", cwd=str(tmp_path))
    walked, unpacked = ["RecursionError"] * 2, ["TypeError"]  # a book's and a directory's clone check the map's type
    assert out == walked * 2 + ["AttributeError"] + walked + unpacked + ["RecursionError", "AttributeError"] + \
        walked + unpacked + ["RecursionError", "AttributeError"]
    with pytest.raises(AttributeError, match="^'ParameterBook' object has no attribute '12345'$"):
        object.__new__(ParameterBook).__getattr__(12345)


@pytest.mark.parametrize("cls", CLASSES)
def test_clone_looks_up_the_class_name_before_the_map(cls, namespace):
    """`Cls(self.__map)`: with both the module-level name and the map gone, the name fails first."""
    obj = object.__new__(cls)
    del namespace[cls.__name__]
    with pytest.raises(NameError, match=f"^name '{cls.__name__}' is not defined$"):
        obj.clone()
