"""ParameterDirectory as a container: construction, copies, routing, subscription, rename."""
import os
import textwrap

import pytest

import r7u_razarozu as m
from childrun import python as run_python
from childrun import run as run_child
from helpers import assert_missing_reads_raise_key_error, book, key_error_args
from leakcheck import assert_refcounts_settle
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory

ROUTED = "_ParameterDirectory__parameters"


def names(d):
    return list(d.names())


def mapping(d):
    return object.__getattribute__(d, ROUTED)


def bare(cls, private, content=None):
    """An instance of a subclass, given its private mapping directly."""
    obj = object.__new__(cls)
    vars(obj)[private] = {} if content is None else content
    return obj


BOOK_MAP = "_ParameterBook__parameters"


# ---------------------------------------------------------------------------
# Construction and copies
# ---------------------------------------------------------------------------

def test_empty_construction_and_private_state():
    for d in (ParameterDirectory(), ParameterDirectory(None), ParameterDirectory({}), ParameterDirectory(parameters={})):
        assert names(d) == [] and list(d.items()) == []
        assert list(vars(d)) == [ROUTED] and type(mapping(d)) is dict


@pytest.mark.parametrize("bad, shown", [([], "list"), (0, "int"), ("x", "str"), (type("D", (dict,), {})(), "D")])
def test_parameters_must_be_none_or_exact_dict(bad, shown):
    with pytest.raises(TypeError) as e:
        ParameterDirectory(bad)
    assert str(e.value) == f"Argument 'parameters' has incorrect type (expected dict, got {shown})"


def test_constructor_stores_clones_and_subscription_stores_the_object():
    b, sub = book(x=1), ParameterDirectory({"inner": book(y=2)})
    d = ParameterDirectory({"b": b, "sub": sub})
    assert names(d) == ["b", "sub"]
    assert d["b"] is not b and type(d["b"]) is ParameterBook
    assert d["sub"] is not sub and d["sub"]["inner"] is not sub["inner"]
    assert d["b"].get_parameter_value("x") == 1
    b.set_parameter_value("x", 5)
    assert d["b"].get_parameter_value("x") == 1
    d["c"] = b
    d.e = sub
    assert d["c"] is b and d.c is b and d["e"] is sub
    assert mapping(d)["c"] is b


def test_constructor_order_and_clone_calls():
    calls = []

    class Book(ParameterBook):
        def clone(self):
            calls.append(self)
            return ParameterBook.clone(self)

    a, b = bare(Book, BOOK_MAP), bare(Book, BOOK_MAP)
    d = ParameterDirectory({"z": a, "a": b})
    assert calls == [a, b] and names(d) == ["z", "a"]


def test_constructor_failures():
    class Failing(ParameterBook):
        def clone(self):
            raise OSError("no clone")

    with pytest.raises(OSError, match="no clone"):
        ParameterDirectory({"a": bare(Failing, BOOK_MAP)})
    with pytest.raises(AssertionError) as e:
        ParameterDirectory({"a": 1})
    assert e.value.args == ()
    with pytest.raises(AssertionError):
        ParameterDirectory({1: book()})
    with pytest.raises(AssertionError):
        ParameterDirectory({"p": Parameter()})


def test_constructor_detects_a_dict_changed_underneath():
    src = {}

    class Growing(ParameterBook):
        def clone(self):
            src["more"] = book()
            return ParameterBook()

    src["a"] = bare(Growing, BOOK_MAP)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        ParameterDirectory(src)


def test_clone_is_a_deep_independent_copy_in_order():
    d = ParameterDirectory()
    d["z"] = book(v=1)
    d["a"] = ParameterDirectory({"leaf": book(w=[1, 2])})
    d["m"] = ParameterDirectory()
    c = d.clone()
    assert type(c) is ParameterDirectory and c is not d
    assert names(c) == ["z", "a", "m"] and names(c["a"]) == ["leaf"]
    assert c["z"] is not d["z"] and c["a"]["leaf"] is not d["a"]["leaf"]
    c.rename("z", "y")
    c["a"]["leaf"].set_parameter_value("w", 9)
    del c["m"]
    c["new"] = book()
    assert names(d) == ["z", "a", "m"]
    assert d["a"]["leaf"].get_parameter_value("w") == [1, 2]
    assert d["z"].get_parameter_value("v") == 1


def test_clone_goes_through_the_module_level_class(rebind):
    seen = []

    class Other:
        def __init__(self, parameters):
            seen.append(parameters)

    d = ParameterDirectory({"a": book()})
    rebind("ParameterDirectory", Other)
    c = d.clone()
    assert type(c) is Other and seen == [mapping(d)] and seen[0] is mapping(d)


def test_clone_of_a_subclass_instance_is_of_the_module_class():
    class Sub(ParameterDirectory):
        pass

    s = bare(Sub, ROUTED, {"a": book()})
    assert type(s.clone()) is ParameterDirectory
    # The routed name follows the instance's class, so a subclass instance
    # does not take the routed branch when constructed.
    with pytest.raises(AssertionError):
        Sub()
    # Its routed branch asks super(type(self), self), which is this class's
    # own method again: an orderly RecursionError, not a crash.
    with pytest.raises(RecursionError):
        setattr(s, "_Sub__parameters", 5)
    with pytest.raises(RecursionError):
        delattr(s, "_Sub__parameters")


def test_item_tests_look_classes_up_at_call_time(rebind):
    d = ParameterDirectory()

    class Fake:
        pass

    rebind("ParameterBook", Fake)
    d["f"] = Fake()
    with pytest.raises(AssertionError):
        d["b"] = book()
    rebind("ParameterDirectory", None)
    with pytest.raises(TypeError):
        d["x"] = Fake()


def test_missing_module_names_raise_name_error(rebind):
    d = ParameterDirectory({"a": book()})
    del m.ParameterDirectory
    try:
        with pytest.raises(NameError, match="name 'ParameterDirectory' is not defined"):
            d.clone()
        with pytest.raises(NameError, match="name 'ParameterDirectory' is not defined"):
            d["b"] = book()
    finally:
        m.ParameterDirectory = ParameterDirectory


def test_deep_tree_clone_ends_in_recursion_error():
    out = run_child("""
top, _ = chain(D, "x", 100000)
d = D()
d["self"] = d
print(outcome(top.clone), outcome(d.clone))
""")
    assert out.split() == ["RecursionError", "RecursionError"]


# ---------------------------------------------------------------------------
# Views, reading, writing, deleting
# ---------------------------------------------------------------------------

def test_views_are_live():
    d = ParameterDirectory()
    items, keys = d.items(), d.names()
    assert type(items).__name__ == "dict_items" and type(keys).__name__ == "dict_keys"
    b = book()
    d["a"] = b
    assert list(items) == [("a", b)] and list(keys) == ["a"]
    d.clear()
    assert list(items) == []


def test_attribute_and_subscription_reads():
    d = ParameterDirectory()
    b = book()
    d["a"] = b
    assert d.a is b and d["a"] is b and d.__getattr__("a") is b
    assert_missing_reads_raise_key_error(d)


def test_iteration_and_membership_fall_back_to_index_zero():
    d = ParameterDirectory({"a": book()})
    for op in (lambda: list(d), lambda: "a" in d):
        with pytest.raises(KeyError) as e:
            op()
        assert e.value.args == (0,)
    with pytest.raises(TypeError):
        len(d)


def test_assignment_keeps_position_and_checks_items():
    d = ParameterDirectory()
    d["a"], d["b"] = book(), book()
    new = book()
    d["a"] = new
    assert names(d) == ["a", "b"] and d["a"] is new
    for bad in (1, None, Parameter(), "x"):
        with pytest.raises(AssertionError) as e:
            d["c"] = bad
        assert e.value.args == ()
        with pytest.raises(AssertionError):
            d.c = bad
    with pytest.raises(AssertionError):
        d[1] = book()
    assert names(d) == ["a", "b"]
    sub = ParameterDirectory()
    d._private = sub
    assert d["_private"] is sub and "_private" not in vars(d)


def test_item_named_like_a_method_is_reachable_by_subscription_only():
    d = ParameterDirectory()
    b = book()
    d.save = b
    d["items"] = b
    assert d["save"] is b and d["items"] is b
    assert d.save.__func__ is ParameterDirectory.save and callable(d.items)


def test_deletion():
    d = ParameterDirectory()
    d["a"], d["b"], d["c"] = book(), book(), book()
    del d["a"]
    del d.b
    assert names(d) == ["c"]
    for op in (lambda: d.__delitem__("zz"), lambda: delattr(d, "zz"), lambda: d.__delattr__("zz")):
        with pytest.raises(KeyError) as e:
            op()
        assert e.value.args == ("zz",)


def test_routed_name_reaches_the_instance_attribute():
    d = ParameterDirectory({"a": book()})
    replacement = {"z": book()}
    setattr(d, ROUTED, replacement)
    assert mapping(d) is replacement and names(d) == ["z"]
    setattr(d, ROUTED, 5)  # no test on the routed branch
    assert mapping(d) == 5
    delattr(d, ROUTED)
    assert ROUTED not in vars(d)


def test_clear_empties_in_place_and_keeps_items():
    b = book(v=1)
    d = ParameterDirectory()
    d["a"] = b
    before = mapping(d)
    assert d.clear() is None
    assert mapping(d) is before and before == {} and b.get_parameter_value("v") == 1


def test_replaced_mapping_is_used_through_its_own_protocol():
    log = []

    class Map(dict):
        def __getitem__(self, k):
            log.append(("get", k))
            return dict.__getitem__(self, k)

        def clear(self):
            log.append("clear")
            dict.clear(self)

    d = ParameterDirectory()
    b = book()
    setattr(d, ROUTED, Map(a=b))
    assert d["a"] is b and d.a is b
    d.clear()
    assert log == [("get", "a"), ("get", "a"), "clear"]


# ---------------------------------------------------------------------------
# rename
# ---------------------------------------------------------------------------

def test_rename_moves_the_same_object_to_the_end():
    d = ParameterDirectory()
    a, b, c = book(), book(), book()
    d["a"], d["b"], d["c"] = a, b, c
    assert d.rename("a", "z") is None
    assert names(d) == ["b", "c", "z"] and d["z"] is a
    d.rename("c", "with/slash")
    assert d["with/slash"] is c


def test_rename_checks_and_messages():
    d = ParameterDirectory()
    d["a"], d["b"] = book(), book()
    assert d.rename("nothing", "nothing") is None
    assert key_error_args(lambda: d.rename("x", "y")) == ("Old name `x` does not exist.",)
    assert key_error_args(lambda: d.rename("a", "b")) == ("New name `b` already exists.",)
    with pytest.raises(AssertionError) as e:
        d.rename("a", "")
    assert e.value.args == ()
    assert names(d) == ["a", "b"]
    with pytest.raises(TypeError) as e:
        d.rename(1, "x")
    assert str(e.value) == "Argument 'old' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError) as e:
        d.rename("a", None)
    assert str(e.value) == "Argument 'new' has incorrect type (expected str, got NoneType)"
    with pytest.raises(TypeError) as e:
        d.rename(type("S", (str,), {})("a"), "q")
    assert str(e.value) == "Argument 'old' has incorrect type (expected str, got S)"


def test_rename_goes_through_the_class_subscription():
    log = []

    class Logged(ParameterDirectory):
        def __getitem__(self, k):
            log.append(("get", k))
            return ParameterDirectory.__getitem__(self, k)

        def __delitem__(self, k):
            log.append(("del", k))
            ParameterDirectory.__delitem__(self, k)

        def __setitem__(self, k, v):
            log.append(("set", k))
            ParameterDirectory.__setitem__(self, k, v)

    d = bare(Logged, ROUTED, {"a": book()})
    d.rename("a", "b")
    assert log == [("get", "a"), ("del", "a"), ("set", "b")]


# ---------------------------------------------------------------------------
# Objects without a mapping
# ---------------------------------------------------------------------------

def test_object_without_mapping_fails_in_an_ordinary_way():
    d = object.__new__(ParameterDirectory)
    # A missing attribute of a directory without its mapping is an ordinary
    # AttributeError (what pickle and copy look for); everything else still
    # names the missing mapping.
    with pytest.raises(AttributeError, match="'ParameterDirectory' object has no attribute 'a'"):
        d.a
    calls = [lambda: d["a"], lambda: d.names(), lambda: d.items(), lambda: d.clear(),
             lambda: d.clone(), lambda: d.rename("a", "b"), lambda: d.__setitem__("a", book()),
             lambda: setattr(d, "a", book()), lambda: delattr(d, "a"), lambda: d.__delitem__("a"),
             lambda: d.save(os.devnull + "-not-used")]
    for call in calls:
        with pytest.raises(KeyError) as e:
            call()
        assert e.value.args == (ROUTED,)
    d2 = ParameterDirectory({"a": book()})
    delattr(d2, ROUTED)
    with pytest.raises(AttributeError):
        d2.a
    setattr(d2, ROUTED, {})
    assert names(d2) == []


# ---------------------------------------------------------------------------
# Assertions off
# ---------------------------------------------------------------------------

def test_assertions_off_in_a_subprocess():
    code = textwrap.dedent("""
        from r7u_razarozu import ParameterDirectory, ParameterBook
        d = ParameterDirectory()
        d.x = 5
        d[7] = "text"
        d.rename("x", "")
        print(repr(d[""]), d[7], list(d.names()))
        class C:
            def clone(self):
                return "cloned"
        e = ParameterDirectory({3: C()})
        print(e[3])
        try:
            d.rename("nope", "y")
        except KeyError as exc:
            print(exc.args[0])
    """)
    r = run_python(code, "-O")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["5 text [7, '']", "cloned", "Old name `nope` does not exist."]
    r = run_python("import r7u_razarozu as m\nm.ParameterDirectory().x = 5\n")
    assert r.returncode != 0 and "AssertionError" in r.stderr


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------

def test_no_reference_leaks_in_container_entry_points():
    sentinel_book = book(v=1)
    key = "some-name-" + str(id(sentinel_book))  # not interned
    bad = object()

    def calls():
        d = ParameterDirectory({key: sentinel_book})
        d[key] = sentinel_book
        d.__setattr__(key, sentinel_book)
        setattr(d, key, sentinel_book)
        d[key], getattr(d, key), d.__getattr__(key), d.__getitem__(key)
        list(d.items()), list(d.names())
        d.rename(key, key + "2")
        d.rename(key + "2", key)
        d.rename(key, key)
        c = d.clone()
        c.clear()
        del d[key]
        d[key] = sentinel_book
        delattr(d, key)
        for op in (lambda: d[key], lambda: getattr(d, key), lambda: d.__delitem__(key),
                   lambda: d.__delattr__(key), lambda: d.rename(key, "x"),
                   lambda: d.__setitem__(key, bad), lambda: d.__setattr__(key, bad),
                   lambda: ParameterDirectory(bad), lambda: ParameterDirectory({key: bad}),
                   lambda: d.rename(bad, key), lambda: d.rename(key, bad),
                   lambda: object.__new__(ParameterDirectory)[key]):
            try:
                op()
            except (KeyError, AssertionError, TypeError):
                pass
        d[key] = sentinel_book
        d["other"] = sentinel_book
        try:
            d.rename(key, "other")
        except KeyError:
            pass
        setattr(d, ROUTED, {key: sentinel_book})
        delattr(d, ROUTED)

    assert_refcounts_settle(calls, sentinel_book, key, bad, rounds=500, warmup=50)
