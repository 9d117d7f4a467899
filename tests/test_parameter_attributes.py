import copy
import inspect
import pickle
import re

import pytest

import r7u_razarozu as mod
from helpers import MyStr, assert_missing_reads_raise_key_error, doc, key_error_args, maps, not_a_mapping
from leakcheck import assert_refcounts_settle

P = mod.Parameter


# The host warns about locale.getdefaultlocale, which `description` calls.
pytestmark = pytest.mark.filterwarnings("ignore:.*getdefaultlocale:DeprecationWarning")


@pytest.fixture
def rebind(monkeypatch):
    def set_(name, value):
        monkeypatch.setattr(mod, name, value)
        return value

    return set_


# ---------------------------------------------------------------------------
# The class object
# ---------------------------------------------------------------------------
MEMBERS = [
    "__init__", "clone", "items", "names", "clear", "__getattr__", "__setattr__", "__delattr__", "get",
    "get_or_set", "__getitem__", "__setitem__", "__delitem__", "description", "get_description",
    "set_description", "all_descriptions", "to_dict", "from_dict",
]


def test_class_namespace_order_and_shape():
    names = list(vars(P))
    # type() takes __qualname__ out of the namespace it is given.
    assert names[:1] == ["__module__"]
    assert names[1 : 1 + len(MEMBERS)] == MEMBERS
    assert P.__module__ == "r7u_razarozu" and P.__qualname__ == "Parameter"
    assert P.__bases__ == (object,) and type(P) is type and P.__doc__ is None
    assert isinstance(vars(P)["description"], property)
    assert vars(P)["description"].fset is None and vars(P)["description"].fdel is None
    assert isinstance(vars(P)["from_dict"], staticmethod)


@pytest.mark.parametrize(
    "name, params, defaults, annotations",
    [
        ("__init__", ["self", "description", "kwargs"], ("",), {"description": "_Union[str, dict]"}),
        ("clone", ["self"], None, {}),
        ("items", ["self"], None, {}),
        ("names", ["self"], None, {}),
        ("clear", ["self"], None, {}),
        ("__getattr__", ["self", "item"], None, {}),
        ("__setattr__", ["self", "key", "value"], None, {}),
        ("__delattr__", ["self", "item"], None, {}),
        ("get", ["self", "name", "default", "raise_if_none"], (None, False), {"name": "str", "raise_if_none": "bool"}),
        ("get_or_set", ["self", "name", "value"], None, {"name": "str"}),
        ("__getitem__", ["self", "item"], None, {}),
        ("__setitem__", ["self", "key", "value"], None, {}),
        ("__delitem__", ["self", "key"], None, {}),
    ],
)
def test_method_signatures(name, params, defaults, annotations):
    f = vars(P)[name]
    assert f.__name__ == name and f.__qualname__ == "Parameter." + name
    assert f.__module__ == "r7u_razarozu" and f.__globals__ is vars(mod)
    assert f.__defaults__ == defaults
    assert f.__annotations__ == annotations and list(f.__annotations__) == list(annotations)
    sig = inspect.signature(f)
    assert list(sig.parameters) == params


def test_init_signature_has_var_keyword_kwargs():
    sig = inspect.signature(P.__init__)
    assert sig.parameters["kwargs"].kind is inspect.Parameter.VAR_KEYWORD
    assert P.__init__.__defaults__ == ("",) and P.__init__.__defaults__[0] == ""


def test_docstrings():
    assert P.clone.__doc__ == doc("对本参数执行一次深拷贝。", ":return: 本参数对象的一个深拷贝")
    assert P.items.__doc__ == doc("获取本参数的所有属性的键值对迭代器", ":return: 所有属性的键值对的迭代器")
    assert P.names.__doc__ == doc("获取本参数的所有属性的名称的迭代器", ":return: 所有属性名称的迭代器")
    assert P.clear.__doc__ == doc("清除本参数对象的所有属性", ":return: None")
    assert P.get.__doc__ == doc(
        "获取本参数对象的某个属性的值，带有可选的默认值参数，以及可配置的遇空抛出异常选项",
        ":param name: 想要获取的属性的名称",
        ":param default: 在属性名不存在情况下返回的默认值。默认值的默认值是 None",
        ":param raise_if_none: 在属性不存在，默认值为 None 的情况下，是否抛出异常？",
        ":return: 属性的值",
    )
    assert P.get_or_set.__doc__ == doc(
        "获取本参数对象名为 name 的属性的值，如果该属性不存在，则加入该属性，并设置其值为 value。",
        ":param name: 想要获取的属性的名称",
        ":param value: 在属性不存在情况下返回的值，也是该属性被加入此参数后的初始值。",
        ":return: 属性的值",
    )
    for name in ["__init__", "__getattr__", "__setattr__", "__delattr__", "__getitem__", "__setitem__", "__delitem__"]:
        assert vars(P)[name].__doc__ is None, name


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------
def test_no_arguments():
    p = P()
    assert list(vars(p)) == ["_Parameter__description", "_Parameter__attributes"]
    assert maps(p) == ({"default": ""}, {})


def test_str_description_is_stored_itself():
    text = "".join(["desc", "ription"])
    p = P(text)
    assert maps(p)[0] == {"default": text} and maps(p)[0]["default"] is text
    s = MyStr("sub")
    assert P(s).get_description() is s


def test_dict_description_is_deep_copied():
    src = {"default": "d", "zh_CN": "z", "extra": [1, {"k": [2]}]}
    p = P(src)
    desc = maps(p)[0]
    assert desc == src and list(desc) == list(src)
    assert desc is not src and desc["extra"] is not src["extra"] and desc["extra"][1]["k"] is not src["extra"][1]["k"]


def test_dict_subclass_description_becomes_a_plain_dict():
    class D(dict):
        pass

    p = P(D(default="x"))
    assert type(maps(p)[0]) is dict and maps(p)[0] == {"default": "x"}


def test_dict_description_emptiness_is_its_truth():
    class LooksEmpty(dict):
        def __len__(self):
            return 0

    # Empty by its own account, so "default" is not asked for.
    assert maps(P(LooksEmpty(en="e")))[0] == {"en": "e"}

    class NoTruth(dict):
        def __bool__(self):
            raise ValueError("no truth")

    with pytest.raises(ValueError, match="no truth"):
        P(NoTruth(default="d"))


def test_empty_dict_description_gives_an_empty_map():
    assert maps(P({})) == ({}, {})


@pytest.mark.parametrize("bad", [None, 5, ["default"], b"x", ("default", "x")])
def test_description_of_another_type_fails_the_assertion(bad):
    with pytest.raises(AssertionError) as info:
        P(bad)
    assert info.value.args == ()


def test_dict_description_without_default_fails_the_assertion():
    with pytest.raises(AssertionError) as info:
        P({"zh_CN": "x"})
    assert info.value.args == ()


def test_dict_description_with_unsupported_values_is_refused():
    with pytest.raises(TypeError, match="^Error: Unsupported attribute type: <class 'NoneType'>\n"):
        P({"default": None})


def test_keyword_values_are_copied_in_call_order():
    src_list = [1, [2]]
    src_dict = {"k": [3]}
    p = P("d", b=src_list, a=src_dict, c=1 + 2j, s="text", n=5)
    attrs = maps(p)[1]
    assert list(attrs) == ["b", "a", "c", "s", "n"]
    assert attrs["b"] == src_list and attrs["b"] is not src_list and attrs["b"][1] is not src_list[1]
    assert attrs["a"]["k"] is not src_dict["k"]
    src_list.append(99)
    assert p.b == [1, [2]]
    got = p.get("b")
    got.append("changed")
    assert p.b == [1, [2], "changed"]


def test_keyword_value_refused_leaves_earlier_entries():
    p = P("first", kept=1)
    with pytest.raises(TypeError, match="<class 'tuple'>"):
        P.__init__(p, "second", a=1, bad=(1,), c=2)
    assert maps(p) == ({"default": "second"}, {"a": 1})


def test_self_and_description_keywords_never_become_attributes():
    with pytest.raises(TypeError, match="got multiple values for argument 'description'"):
        P("x", **{"description": "y"})
    with pytest.raises(TypeError, match="got multiple values for argument 'self'"):
        P(**{"self": 1})
    p = P(description="named")
    assert maps(p) == ({"default": "named"}, {})


def test_construction_goes_through_the_class_setattr(monkeypatch):
    seen = []
    original = P.__setattr__

    def spy(self, key, value):
        seen.append((key, dict(value) if isinstance(value, dict) else value))
        original(self, key, value)

    monkeypatch.setattr(P, "__setattr__", spy)
    p = P("d", x=1)
    assert seen == [("_Parameter__description", {"default": "d"}), ("_Parameter__attributes", {})]
    assert maps(p) == ({"default": "d"}, {"x": 1})


def test_construction_uses_the_module_level_clone_function(rebind):
    seen = []

    def spy(value):
        seen.append(value)
        return ["copied", value]

    rebind("_clone_attribute", spy)
    p = P({"default": "d"}, a=1, b="s")
    assert seen == [{"default": "d"}, 1, "s"]
    assert maps(p) == (["copied", {"default": "d"}], {"a": ["copied", 1], "b": ["copied", "s"]})
    seen.clear()
    P("text")
    assert seen == []


def test_constructor_rereads_the_attribute_map_for_each_keyword(rebind):
    holder = {}
    replacement = {}
    original = mod._clone_attribute

    def replacing(value):
        if value == 1:
            holder["p"]._Parameter__attributes = replacement
        return original(value)

    p = object.__new__(P)
    holder["p"] = p
    rebind("_clone_attribute", replacing)
    P.__init__(p, "d", a=0, b=1, c=2)
    assert maps(p)[1] is replacement and replacement == {"b": 1, "c": 2}


def test_subclass_cannot_store_its_maps():
    class Sub(P):
        pass

    with pytest.raises(KeyError) as info:
        Sub()
    assert info.value.args == ("_Parameter__attributes",)


# ---------------------------------------------------------------------------
# clone
# ---------------------------------------------------------------------------
def test_clone_is_a_deep_copy_with_the_same_orders():
    p = P({"default": "d", "en": "e"}, z=[1, {"k": [2]}], a=1)
    q = p.clone()
    assert type(q) is P and q is not p
    dp, ap = maps(p)
    dq, aq = maps(q)
    assert dq == dp and aq == ap and list(aq) == ["z", "a"] and list(dq) == ["default", "en"]
    assert dq is not dp and aq is not ap and aq["z"] is not ap["z"] and aq["z"][1]["k"] is not ap["z"][1]["k"]


def test_clone_calls_the_module_level_parameter(rebind):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return "made"

    p = P("d", b=1, a=2)
    rebind("Parameter", fake)
    assert p.clone() == "made"
    (args, kwargs), = calls
    assert args == ({"default": "d"},) and args[0] is maps(p)[0]
    assert kwargs == {"b": 1, "a": 2} and list(kwargs) == ["b", "a"] and kwargs is not maps(p)[1]


def test_clone_gives_an_instance_of_the_rebound_class(rebind):
    class Other(P):
        def __setattr__(self, key, value):
            object.__setattr__(self, key, value)

    rebind("Parameter", Other)
    q = P("d", x=1).clone()
    assert type(q) is Other


def test_clone_missing_parameter_name(namespace):
    del namespace["Parameter"]
    with pytest.raises(NameError, match="^name 'Parameter' is not defined$"):
        P().clone()


def test_clone_of_empty_dict_description_succeeds():
    q = P({}, x=1).clone()
    assert maps(q) == ({}, {"x": 1})


def test_clone_meets_the_constructor_checks():
    p = P()
    p["bad"] = None
    with pytest.raises(TypeError, match="^Error: Unsupported attribute type: <class 'NoneType'>\n"):
        p.clone()
    p = P()
    p["description"] = "x"
    with pytest.raises(TypeError, match="got multiple values for argument 'description'"):
        p.clone()
    p = P()
    p["self"] = "x"
    with pytest.raises(TypeError, match="got multiple values for argument 'self'"):
        p.clone()
    p = P()
    p.all_descriptions()["en"] = "only"
    del p.all_descriptions()["default"]
    with pytest.raises(AssertionError):
        p.clone()


def test_clone_with_a_non_string_key():
    p = P()
    P.__setattr__(p, 5, "five")
    assert maps(p)[1] == {5: "five"}
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        p.clone()


def test_clone_with_a_replaced_attribute_map():
    p = P("d")
    # Unpacked as `Parameter(description, **map)` unpacks it.
    p._Parameter__attributes = None
    with pytest.raises(TypeError, match=f"^{re.escape(not_a_mapping('r7u_razarozu.Parameter', 'NoneType'))}$"):
        p.clone()
    # A list or an int gets the interpreter's own words: test_mapped_core.py.


# ---------------------------------------------------------------------------
# Attribute routing
# ---------------------------------------------------------------------------
def test_attribute_syntax_reaches_the_map_by_reference():
    p = P()
    value = [1, 2]
    p.x = value
    assert maps(p)[1]["x"] is value and p.x is value and p["x"] is value and p.get("x") is value
    assert "x" not in vars(p)


def test_absent_attribute_raises_key_error_not_attribute_error():
    p = P()
    with pytest.raises(KeyError) as info:
        p.missing
    assert info.type is KeyError and info.value.args == ("missing",)
    with pytest.raises(KeyError):
        hasattr(p, "missing")
    with pytest.raises(KeyError):
        getattr(p, "missing", 1)


def test_methods_win_over_attributes_stored_under_their_names():
    p = P()
    p["items"] = 1
    assert p["items"] == 1 and p.get("items") == 1
    assert callable(p.items) and list(p.items()) == [("items", 1)]


def test_private_names_are_real_attributes():
    p = P("d", x=1)
    new_attrs = {"y": 2}
    p._Parameter__attributes = new_attrs
    assert maps(p)[1] is new_attrs and p.y == 2
    new_desc = {"default": "new"}
    p._Parameter__description = new_desc
    assert maps(p)[0] is new_desc and p.get_description() == "new"
    assert list(vars(p)) == ["_Parameter__description", "_Parameter__attributes"]


def test_description_cannot_be_assigned_or_deleted_by_attribute():
    p = P()
    with pytest.raises(AttributeError, match="has no setter"):
        p.description = "x"
    with pytest.raises(AttributeError, match="has no deleter"):
        del p.description
    assert maps(p) == ({"default": ""}, {})


def test_item_assignment_is_not_routed():
    p = P()
    p["description"] = "attr"
    p["_Parameter__attributes"] = "attr2"
    assert maps(p)[1] == {"description": "attr", "_Parameter__attributes": "attr2"}


def test_attribute_deletion():
    p = P(x=1, y=2)
    del p.x
    assert maps(p)[1] == {"y": 2}
    with pytest.raises(KeyError) as info:
        del p.x
    assert info.value.args == ("x",)


def test_deleting_the_attribute_map_name_looks_in_the_map():
    p = P(x=1)
    attrs = maps(p)[1]
    with pytest.raises(KeyError) as info:
        del p._Parameter__attributes
    assert info.value.args == ("_Parameter__attributes",)
    assert maps(p)[1] is attrs
    p["_Parameter__attributes"] = 5
    del p._Parameter__attributes
    assert maps(p)[1] is attrs and attrs == {"x": 1}


def test_deleting_the_description_map():
    p = P("d", x=1)
    del p._Parameter__description
    assert list(vars(p)) == ["_Parameter__attributes"]
    for op in (lambda: p.get_description(), lambda: p.set_description("x"), lambda: p.all_descriptions(),
               lambda: p.description, lambda: p.clone(), lambda: p.to_dict("n")):
        with pytest.raises(KeyError) as info:
            op()
        assert info.value.args == ("_Parameter__description",)
    # The missing map is looked for in the attribute map.
    p["_Parameter__description"] = {"default": "from attrs"}
    assert p.get_description() == "from attrs"
    with pytest.raises(AttributeError):
        del p._Parameter__description


@pytest.fixture
def renamed_class():
    P.__name__ = "Renamed"
    try:
        yield
    finally:
        P.__name__ = "Parameter"


def test_renamed_class_routes_with_its_new_name(renamed_class):
    p = object.__new__(P)
    object.__setattr__(p, "_Parameter__attributes", {})
    p._Parameter__attributes = "now an entry"
    assert vars(p)["_Parameter__attributes"] == {"_Parameter__attributes": "now an entry"}
    p._Renamed__attributes = {"r": 1}
    assert vars(p)["_Renamed__attributes"] == {"r": 1}
    p._Renamed__description = "real"
    assert vars(p)["_Renamed__description"] == "real"
    del p._Renamed__description
    assert "_Renamed__description" not in vars(p)


def test_hooks_are_callable_as_methods():
    p = P()
    P.__setattr__(p, "a", 1)
    assert P.__getattr__(p, "a") == 1
    P.__setitem__(p, "b", 2)
    assert P.__getitem__(p, "b") == 2
    P.__delitem__(p, "b")
    P.__delattr__(p, "a")
    assert maps(p)[1] == {}
    P.__setattr__(p, "_Parameter__attributes", {"z": 0})
    assert p.z == 0


def test_non_string_routing_comparison_uses_equality():
    class Eq:
        def __eq__(self, other):
            return other == "description"

        def __hash__(self):
            return 0

    p = P()
    # Equal to "description": handed to the generic store, which wants a str.
    with pytest.raises(TypeError, match="attribute name must be string, not 'Eq'"):
        P.__setattr__(p, Eq(), 1)
    with pytest.raises(TypeError, match="attribute name must be string, not 'Eq'"):
        P.__delattr__(p, Eq())
    assert maps(p)[1] == {}


def test_str_subclass_names_are_routed_by_equality():
    p = P()
    with pytest.raises(AttributeError):
        p.__setattr__(MyStr("description"), 1)
    replacement = {}
    setattr(p, MyStr("_Parameter__attributes"), replacement)
    assert maps(p)[1] is replacement


# ---------------------------------------------------------------------------
# get, get_or_set, subscription
# ---------------------------------------------------------------------------
def test_get():
    p = P(none_holder=1)
    p["none_holder"] = None
    marker = object()
    assert p.get("absent") is None
    assert p.get("absent", 0) == 0
    assert p.get("absent", marker) is marker and "absent" not in maps(p)[1]
    assert p.get("none_holder", marker, True) is None
    with pytest.raises(KeyError) as info:
        p.get("absent", raise_if_none=True)
    assert info.type is KeyError and info.value.args == ("absent",)
    with pytest.raises(KeyError):
        p.get("absent", None, "yes")
    assert p.get("absent", None, 0) is None


def test_get_raise_if_none_truth_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ValueError("no truth")

    p = P(x=1)
    assert p.get("x", None, Bad()) == 1
    with pytest.raises(ValueError, match="no truth"):
        P().get("x", None, Bad())


@pytest.mark.parametrize("method", ["get", "get_or_set"])
def test_name_must_be_exactly_str(method):
    p = P(x=1)
    args = (1,) if method == "get_or_set" else ()
    with pytest.raises(TypeError) as info:
        getattr(p, method)(MyStr("x"), *args)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got MyStr)"
    with pytest.raises(TypeError) as info:
        getattr(p, method)(None, *args)
    assert str(info.value) == "Argument 'name' has incorrect type (expected str, got NoneType)"
    assert p[MyStr("x")] == 1


def test_get_or_set():
    p = P()
    first, second = [1], [2]
    assert p.get_or_set("v", first) is first
    assert maps(p)[1]["v"] is first
    assert p.get_or_set("v", second) is first
    assert maps(p)[1] == {"v": [1]}
    p["n"] = None
    assert p.get_or_set("n", 5) is None


def test_argument_errors_are_the_host_ones():
    p = P()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'name'"):
        p.get()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value'"):
        p.get_or_set("x")
    with pytest.raises(TypeError, match="takes from 2 to 4 positional arguments but 5 were given"):
        p.get("a", 1, 2, 3)


def test_subscription():
    p = P()
    value = {"k": 1}
    p["a"] = value
    assert p["a"] is value
    p[MyStr("s")] = 1
    assert p["s"] == 1
    with pytest.raises(KeyError) as info:
        p["absent"]
    assert info.value.args == ("absent",)
    with pytest.raises(AssertionError):
        p[5] = 1
    del p["a"]
    with pytest.raises(KeyError) as info:
        del p["a"]
    assert info.value.args == ("a",)
    assert key_error_args(lambda: p.__delitem__((1, 2))) == ((1, 2),)
    assert_missing_reads_raise_key_error(p)


def test_len_iteration_and_membership_use_the_host_fallbacks():
    p = P(x=1)
    with pytest.raises(TypeError):
        len(p)
    with pytest.raises(KeyError) as info:
        iter(p).__next__()
    assert info.value.args == (0,)
    with pytest.raises(KeyError):
        "x" in p


def test_identity_equality_and_hash_are_objects_defaults():
    p, q = P(x=1), P(x=1)
    assert p != q and p == p and hash(p) == object.__hash__(p)


# ---------------------------------------------------------------------------
# Views and clear
# ---------------------------------------------------------------------------
def test_views_are_live():
    p = P(a=1)
    items, names = p.items(), p.names()
    assert type(items).__name__ == "dict_items" and type(names).__name__ == "dict_keys"
    p.b = 2
    assert list(items) == [("a", 1), ("b", 2)] and list(names) == ["a", "b"] and len(names) == 2
    with pytest.raises(RuntimeError):
        for _ in names:
            p.c = 3


def test_clear_empties_in_place():
    p = P("d", a=1)
    attrs = maps(p)[1]
    names = p.names()
    assert p.clear() is None
    assert maps(p)[1] is attrs and attrs == {} and len(names) == 0
    assert maps(p)[0] == {"default": "d"}


def test_replaced_maps_use_their_own_protocol():
    class Log(dict):
        def __init__(self, *a):
            super().__init__(*a)
            self.calls = []

        def __contains__(self, key):
            self.calls.append(("in", key))
            return super().__contains__(key)

        def __getitem__(self, key):
            self.calls.append(("get", key))
            return super().__getitem__(key)

        def keys(self):
            return ["fake"]

        def clear(self):
            self.calls.append("clear")

    p = P()
    m = Log({"x": 1})
    p._Parameter__attributes = m
    assert p.get("x") == 1 and m.calls == [("in", "x"), ("get", "x")]
    m.calls.clear()
    assert p.get_or_set("x", 2) == 1 and m.calls == [("in", "x"), ("get", "x")]
    assert p.get_or_set("y", 2) == 2 and dict(m) == {"x": 1, "y": 2}
    assert p.names() == ["fake"]
    m.calls.clear()
    p.clear()
    assert m.calls == ["clear"] and dict(m) == {"x": 1, "y": 2}


# ---------------------------------------------------------------------------
# Objects without maps
# ---------------------------------------------------------------------------
@pytest.fixture
def copy_protocols():
    """copy and pickle cache __slotnames__ in the class; leave it as it was."""
    yield
    if "__slotnames__" in vars(P):
        del P.__slotnames__


def test_objects_without_maps_end_in_key_error(copy_protocols):
    p = object.__new__(P)
    # Missing attributes other than the maps are ordinary AttributeErrors,
    # which is what copy and pickle look for.
    with pytest.raises(AttributeError, match="'Parameter' object has no attribute 'anything'"):
        p.anything
    assert not hasattr(p, "x")
    assert type(copy.deepcopy(p)) is P
    ops = [
        lambda: p.get("x"),
        lambda: p.get_or_set("x", 1),
        lambda: p["x"],
        lambda: p.items(),
        lambda: p.names(),
        lambda: p.clear(),
        lambda: p.clone(),
        lambda: p.to_dict("n"),
        lambda: p.get_description(),
        lambda: p.all_descriptions(),
        lambda: p.set_description("d"),
        lambda: setattr(p, "x", 1),
        lambda: p.__setitem__("x", 1),
        lambda: delattr(p, "x"),
        lambda: p.__delitem__("x"),
    ]
    for op in ops:
        with pytest.raises(KeyError) as info:
            op()
        assert info.value.args == ("_Parameter__attributes",)
    assert vars(p) == {}
    # A shallow copy of an empty state never asks for a missing name.
    assert vars(copy.copy(p)) == {}


def test_unpickled_and_copied_parameters_are_whole(copy_protocols):
    p = P("d", x=[1])
    q = copy.copy(p)
    assert q.x is p.x and q.description == "d"
    r = pickle.loads(pickle.dumps(p))
    assert r.x == [1] and r.x is not p.x and r.all_descriptions() == {"default": "d"}


def test_object_with_only_an_attribute_map():
    p = object.__new__(P)
    p._Parameter__attributes = {"x": 1}
    assert p.x == 1
    with pytest.raises(KeyError) as info:
        p.get_description()
    assert info.value.args == ("_Parameter__description",)


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------
def test_no_reference_is_leaked(monkeypatch):
    sentinel = "sentinel-" + str(id(object()))
    value = [sentinel]

    class FakeLocale:
        @staticmethod
        def getdefaultlocale():
            return (sentinel, None)

    monkeypatch.setattr(mod, "_locale", FakeLocale)

    def attempt(f, *exc):
        try:
            f()
        except exc or Exception:
            pass

    def work():
        p = P({"default": sentinel, sentinel: sentinel}, **{sentinel: value, "v": sentinel})
        p.clone()
        p.get(sentinel)
        p.get("absent", sentinel)
        attempt(lambda: p.get(sentinel + "?", None, True), KeyError)
        p.get_or_set(sentinel, sentinel)
        p.get_or_set("n" + sentinel, sentinel)
        p[sentinel] = sentinel
        getattr(p, sentinel)
        setattr(p, sentinel, sentinel)
        p[sentinel]
        attempt(lambda: p[sentinel + "?"], KeyError)
        attempt(lambda: getattr(p, sentinel + "?"), KeyError)
        del p[sentinel]
        setattr(p, sentinel, value)
        delattr(p, sentinel)
        attempt(lambda: delattr(p, sentinel), KeyError)
        attempt(lambda: p.__delitem__(sentinel), KeyError)
        attempt(lambda: setattr(p, "description", sentinel), AttributeError)
        list(p.items())
        list(p.names())
        p.description
        p.get_description(sentinel)
        attempt(lambda: p.get_description(sentinel + "?"), KeyError)
        p.set_description(sentinel, sentinel)
        p.all_descriptions()
        form = p.to_dict(sentinel)
        P.from_dict(form)
        attempt(lambda: P.from_dict({"name": sentinel, "description": {"default": sentinel},
                                     "attributes": {sentinel: None}}), TypeError)
        attempt(lambda: P.from_dict({"name": sentinel}), AssertionError)
        attempt(lambda: P(sentinel, bad=(sentinel,)), TypeError)
        attempt(lambda: P({sentinel: sentinel}), AssertionError)
        attempt(lambda: p.get(MyStr(sentinel)), TypeError)
        p["x"] = (sentinel,)
        attempt(lambda: p.clone(), TypeError)
        p.clear()
        q = object.__new__(P)
        attempt(lambda: getattr(q, sentinel), AttributeError)
        attempt(lambda: q.get(sentinel), KeyError)

    assert_refcounts_settle(work, sentinel, value, rounds=1000)
