import inspect
import json
import subprocess
import sys
from collections import OrderedDict

import pytest

import r7u_razarozu as mod
from helpers import MyStr, doc, maps, not_a_mapping
from leakcheck import assert_refcounts_settle

P = mod.Parameter


def form(name="n", description=None, attributes=None, **extra):
    return {
        "name": name,
        "description": {"default": "d"} if description is None else description,
        "attributes": {} if attributes is None else attributes,
        **extra,
    }


# ---------------------------------------------------------------------------
# Members
# ---------------------------------------------------------------------------
def test_member_shapes():
    assert P.to_dict.__annotations__ == {"name": "str", "return": "dict"}
    assert list(P.to_dict.__annotations__) == ["name", "return"]
    assert P.to_dict.__defaults__ is None
    assert P.to_dict.__doc__ == doc("将本参数对象转化为一个 dict 对象", ":param name: 该参数对象的名称", ":return: 转化后的 dict 对象")
    raw = vars(P)["from_dict"]
    assert isinstance(raw, staticmethod)
    f = raw.__func__
    assert f.__qualname__ == "Parameter.from_dict" and f.__doc__ is None
    assert f.__annotations__ == {"data": "dict"}
    assert list(inspect.signature(P.from_dict).parameters) == ["data"]
    assert P().from_dict(form())[0] == "n"


# ---------------------------------------------------------------------------
# to_dict
# ---------------------------------------------------------------------------
def test_to_dict_holds_the_maps_themselves_in_key_order():
    p = P({"default": "d", "en": "e"}, b=1, a=[2])
    name = "".join(["na", "me"])
    f = p.to_dict(name)
    assert list(f) == ["name", "description", "attributes"]
    assert f["name"] is name
    assert f["description"] is p.all_descriptions() and f["attributes"] is maps(p)[1]
    f["attributes"]["new"] = 3
    f["description"]["zh_CN"] = "z"
    assert p.new == 3 and p.get_description("zh_CN") == "z"
    assert p.to_dict("x") is not f


def test_to_dict_with_empty_name_stores_nothing():
    p = P()
    assert p.to_dict("") == {"name": "", "description": {"default": ""}, "attributes": {}}
    assert maps(p) == ({"default": ""}, {})


@pytest.mark.parametrize("bad, got", [(None, "NoneType"), (MyStr("n"), "MyStr"), (1, "int")])
def test_to_dict_name_must_be_exactly_str(bad, got):
    with pytest.raises(TypeError) as info:
        P().to_dict(bad)
    assert str(info.value) == f"Argument 'name' has incorrect type (expected str, got {got})"


# ---------------------------------------------------------------------------
# from_dict
# ---------------------------------------------------------------------------
def test_round_trip_keeps_orders_and_shares_nothing():
    p = P({"default": "d", "en": "e"}, z=[1, {"k": [2]}], a=1.5, c=True, s="t")
    f = p.to_dict("param")
    name, q = P.from_dict(f)
    assert name is f["name"]
    dq, aq = maps(q)
    dp, ap = maps(p)
    assert dq == dp and aq == ap and list(dq) == list(dp) and list(aq) == list(ap)
    assert dq is not dp and aq is not ap and aq["z"] is not ap["z"] and aq["z"][1] is not ap["z"][1]


def test_from_dict_through_json_text():
    p = P({"default": "说明"}, v=[1, 2.5, "x", {"n": None is None}])
    name, q = P.from_dict(json.loads(json.dumps(p.to_dict("p"))))
    assert name == "p" and maps(q) == maps(p)


def test_from_dict_ignores_extra_keys():
    name, q = P.from_dict(form("first", attributes={"a": 1}, second_name="other", extra=[1]))
    assert name == "first" and maps(q) == ({"default": "d"}, {"a": 1})


def test_from_dict_returns_a_two_tuple():
    out = P.from_dict(form())
    assert type(out) is tuple and len(out) == 2 and type(out[1]) is P


@pytest.mark.parametrize(
    "data",
    [
        {"description": {"default": "d"}, "attributes": {}},
        {"name": "n", "attributes": {}},
        {"name": "n", "description": {"default": "d"}},
        form(name=1),
        form(name=None),
        form(description="text"),
        form(description=[("default", "d")]),
        form(attributes=[("a", 1)]),
        {"name": "n", "description": {"default": "d"}, "attributes": None},
        form(description={"zh_CN": "z"}),
        form(description={"default": 1}),
        form(description={"default": None}),
        form(description={}),
    ],
)
def test_from_dict_assertion_checks(data):
    with pytest.raises(AssertionError) as info:
        P.from_dict(data)
    assert info.value.args == ()


def test_from_dict_accepts_subclass_instances_inside():
    class D(dict):
        pass

    name, q = P.from_dict(form(MyStr("sub"), D(default=MyStr("t")), D(a=1)))
    assert type(name) is MyStr
    assert maps(q) == ({"default": "t"}, {"a": 1}) and type(maps(q)[0]) is dict


def test_only_the_default_text_is_type_tested():
    name, q = P.from_dict(form(description={"default": "d", "en": 1}))
    assert q.get_description("en") == 1


@pytest.mark.parametrize("data, got", [(OrderedDict(form()), "collections.OrderedDict"), (None, "NoneType"), ([], "list")])
def test_from_dict_data_must_be_exactly_dict(data, got):
    with pytest.raises(TypeError) as info:
        P.from_dict(data)
    assert str(info.value) == f"Argument 'data' has incorrect type (expected dict, got {got})"


@pytest.mark.parametrize(
    "data, shown",
    [
        (form(attributes={"a": None}), "NoneType"),
        (form(attributes={"a": [1, None]}), "NoneType"),
        (form(attributes={"a": (1,)}), "tuple"),
        (form(description={"default": "d", "en": None}), "NoneType"),
    ],
)
def test_from_dict_values_go_through_clone(data, shown):
    with pytest.raises(TypeError) as info:
        P.from_dict(data)
    assert str(info.value) == f"Error: Unsupported attribute type: <class '{shown}'>"


def test_from_dict_keyword_errors():
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        P.from_dict(form(attributes={1: 2}))
    with pytest.raises(TypeError, match="got multiple values for argument 'description'"):
        P.from_dict(form(attributes={"description": "x"}))
    with pytest.raises(TypeError, match="got multiple values for argument 'self'"):
        P.from_dict(form(attributes={"self": "x"}))


def test_from_dict_changes_nothing_in_its_argument():
    data = form(attributes={"a": [1], "b": None})
    snapshot = json.dumps(data)
    with pytest.raises(TypeError):
        P.from_dict(data)
    assert json.dumps(data) == snapshot
    data = form(attributes={"a": [1]})
    _, q = P.from_dict(data)
    q.a.append(2)
    assert data["attributes"] == {"a": [1]}


def test_from_dict_calls_the_module_level_parameter(monkeypatch, namespace):
    calls = []

    def fake(*args, **kwargs):
        calls.append((args, kwargs))
        return "made"

    monkeypatch.setattr(mod, "Parameter", fake)
    data = form(attributes={"b": 1, "a": 2})
    assert P.from_dict(data) == ("n", "made")
    (args, kwargs), = calls
    assert args == (data["description"],) and args[0] is data["description"]
    assert list(kwargs) == ["b", "a"] and kwargs is not data["attributes"]
    del namespace["Parameter"]
    with pytest.raises(NameError, match="^name 'Parameter' is not defined$"):
        P.from_dict(data)


def test_from_dict_on_an_instance_and_through_the_clone_name(monkeypatch):
    seen = []
    original = mod._clone_attribute

    def spy(v):
        seen.append(v)
        return original(v)

    monkeypatch.setattr(mod, "_clone_attribute", spy)
    P().from_dict(form(attributes={"a": [1]}))
    # Nested keys and values come back through the rebound name too.
    assert seen == [{"default": "d"}, "default", "d", [1], 1]


# ---------------------------------------------------------------------------
# Assertion checks off
# ---------------------------------------------------------------------------
OPTIMIZED_SCRIPT = r"""
import json
import r7u_razarozu as m
P = m.Parameter
out = {}

def run(key, f):
    try:
        r = f()
    except Exception as e:
        out[key] = [type(e).__name__, list(e.args)]
    else:
        out[key] = ["ok", r]

def maps(p):
    d = vars(p)
    return [d["_Parameter__description"], d["_Parameter__attributes"]]

def fd(data):
    name, p = P.from_dict(data)
    return [name, maps(p)]

run("debug", lambda: __debug__)
run("ctor_int", lambda: P(5))
run("ctor_none", lambda: P(None))
run("ctor_no_default", lambda: maps(P({"en": "e"})))
def setitem_int():
    p = P()
    p[5] = "five"
    return [[k, v] for k, v in vars(p)["_Parameter__attributes"].items()]
run("setitem_int", setitem_int)
run("fd_empty", lambda: fd({}))
run("fd_no_description", lambda: fd({"name": "n"}))
run("fd_no_attributes", lambda: fd({"name": "n", "description": {"default": "d"}}))
run("fd_str_description", lambda: fd({"name": 1, "description": "txt", "attributes": [["a", 1]]}))
run("fd_int_description", lambda: fd({"name": "n", "description": 5, "attributes": {}}))
run("fd_no_default", lambda: fd({"name": "n", "description": {"en": 1}, "attributes": {}}))
run("fd_attr_none", lambda: fd({"name": "n", "description": "d", "attributes": None}))
run("fd_attr_int", lambda: fd({"name": "n", "description": "d", "attributes": 5}))
run("fd_attr_int_key", lambda: fd({"name": "n", "description": "d", "attributes": {1: 2}}))
run("fd_attr_pairs_key", lambda: fd({"name": "n", "description": "d", "attributes": [[1, 2]]}))
def clone_none():
    p = P()
    p._Parameter__attributes = None
    return p.clone()
run("clone_attr_none", clone_none)
def clone_no_default():
    p = P()
    del p.all_descriptions()["default"]
    p.set_description("e", "en")
    return maps(p.clone())
run("clone_no_default", clone_no_default)
class NoTruth(dict):
    def __bool__(self):
        raise ValueError("no truth")
run("ctor_dict_truth", lambda: P(NoTruth(default="d")))
print(json.dumps(out))
"""


def test_assertion_checks_are_skipped_under_optimisation():
    r = subprocess.run([sys.executable, "-O", "-c", OPTIMIZED_SCRIPT], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    wrong_type = ["TypeError", ["Argument description must be a str or dict object."]]
    assert out == {
        "debug": ["ok", False],
        "ctor_int": wrong_type,
        "ctor_none": wrong_type,
        "ctor_no_default": ["ok", [{"en": "e"}, {}]],
        "setitem_int": ["ok", [[5, "five"]]],
        "fd_empty": ["KeyError", ["name"]],
        "fd_no_description": ["KeyError", ["description"]],
        "fd_no_attributes": ["KeyError", ["attributes"]],
        "fd_str_description": ["ok", [1, [{"default": "txt"}, {"a": 1}]]],
        "fd_int_description": wrong_type,
        "fd_no_default": ["ok", ["n", [{"en": 1}, {}]]],
        "fd_attr_none": ["TypeError", ["argument after ** must be a mapping, not NoneType"]],
        "fd_attr_int": ["TypeError", ["'int' object is not iterable"]],
        "fd_attr_int_key": ["TypeError", ["keywords must be strings"]],
        "fd_attr_pairs_key": ["TypeError", ["keywords must be strings"]],
        "clone_attr_none": ["TypeError", [not_a_mapping("r7u_razarozu.Parameter", "NoneType")]],
        "clone_no_default": ["ok", [{"en": "e"}, {}]],
        "ctor_dict_truth": ["ValueError", ["no truth"]],
    }


def test_no_reference_is_leaked():
    sentinel = "sentinel-" + str(id(object()))
    value = [sentinel]

    def work():
        p = P({"default": sentinel}, **{sentinel: value})
        f = p.to_dict(sentinel)
        P.from_dict(f)
        for bad in (
            {"name": sentinel},
            form(sentinel, attributes={sentinel: None}),
            form(sentinel, attributes={1: sentinel}),
            form(sentinel, attributes={"description": sentinel}),
            form(sentinel, description={sentinel: sentinel}),
        ):
            try:
                P.from_dict(bad)
            except (TypeError, AssertionError):
                pass
        try:
            P.from_dict(OrderedDict(f))
        except TypeError:
            pass
        try:
            p.to_dict(MyStr(sentinel))
        except TypeError:
            pass

    assert_refcounts_settle(work, sentinel, value)
