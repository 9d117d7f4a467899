"""Models of _clone_attribute and Parameter.from_dict written in Python,
and hypothesis strategies of random nested values and dictionary forms.
The fuzz runs (fuzzcases.py) compare the module against the models: the
same result, or an exception of the same type (and for the copy rule the
same message)."""
import math
import sys

from hypothesis import strategies as st

import r7u_razarozu as m

P = m.Parameter
ASSERTIONS = sys.flags.optimize == 0


class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class ComplexSub(complex):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class HashableList(list):
    def __hash__(self):
        return 7


# ---------------------------------------------------------------------------
# Models.
# ---------------------------------------------------------------------------
def model_clone(v):
    if isinstance(v, (int, float, str)):
        return v
    if isinstance(v, complex):
        return complex(v.real, v.imag)
    if isinstance(v, list):
        return [model_clone(x) for x in v]
    if isinstance(v, dict):
        out = {}
        for k, x in v.items():
            kc = model_clone(k)
            out[kc] = model_clone(x)
        return out
    raise TypeError("Error: Unsupported attribute type: " + format(type(v), ""))


class Built:
    """What the model says a constructed parameter holds."""

    def __init__(self, description, attributes):
        self.description, self.attributes = description, attributes


def model_constructor(description, kwargs):
    for key in kwargs:
        if not isinstance(key, str):
            raise TypeError("keywords must be strings")
        if key in ("description", "self"):
            raise TypeError("got multiple values")
    if ASSERTIONS and not isinstance(description, (str, dict)):
        raise AssertionError
    if isinstance(description, str):
        dmap = {"default": description}
    elif isinstance(description, dict):
        if description and ASSERTIONS and "default" not in description:
            raise AssertionError
        dmap = model_clone(description)
    else:
        raise TypeError("Argument description must be a str or dict object.")
    amap = {}
    for key, value in kwargs.items():
        amap[key] = model_clone(value)
    return Built(dmap, amap)


def model_from_dict(data):
    if ASSERTIONS:
        for key in ("name", "description", "attributes"):
            if key not in data:
                raise AssertionError
    name, description, attributes = data["name"], data["description"], data["attributes"]
    if ASSERTIONS:
        if not isinstance(name, str) or not isinstance(description, dict) or not isinstance(attributes, dict):
            raise AssertionError
        if not isinstance(description.get("default"), str):
            raise AssertionError
    if not isinstance(attributes, dict):
        if attributes is None:
            raise TypeError("argument after ** must be a mapping, not NoneType")
        attributes = dict(attributes)
    return name, model_constructor(description, attributes)


# ---------------------------------------------------------------------------
# Comparison. Explicit raises, not assert statements: the runs with
# assertions off (python -O) must check as much.
# ---------------------------------------------------------------------------
class Mismatch(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise Mismatch(what)


def same(a, b):
    """Equal values of equal exact types; NaN equals NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, complex):
        return same(a.real, b.real) and same(a.imag, b.imag)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        # Keys compare by equality: a key of a str subclass may come back
        # as it was or as a plain str.
        return len(a) == len(b) and all(ka == kb and same(a[ka], b[kb]) for ka, kb in zip(a, b))
    return a == b


def containers(v, found=None):
    """The ids of every list and dict inside v."""
    if found is None:
        found = set()
    if isinstance(v, (list, dict)):
        if id(v) in found:
            return found
        found.add(id(v))
        for x in (v.items() if isinstance(v, dict) else v):
            containers(x, found)
    elif isinstance(v, tuple):
        for x in v:
            containers(x, found)
    return found


def shares_nothing(copy, source):
    return not (containers(copy) & containers(source))


def same_outcome(actual_fn, model_fn):
    """Runs both; returns (actual, model) results, or raises Mismatch when
    one fails and the other does not, or they fail differently."""
    try:
        expected = model_fn()
        expected_exc = None
    except (TypeError, ValueError, KeyError, AssertionError) as e:
        expected, expected_exc = None, e
    try:
        actual = actual_fn()
    except Exception as e:  # noqa: BLE001 - compared below
        if expected_exc is None:
            raise Mismatch(f"model succeeds, the module raises {e!r}") from e
        if type(e) is not type(expected_exc):
            raise Mismatch(f"model raises {expected_exc!r}, the module raises {e!r}") from e
        return None, (expected_exc, e)
    if expected_exc is not None:
        raise Mismatch(f"model raises {expected_exc!r}, the module succeeds with {actual!r}")
    return actual, expected


# ---------------------------------------------------------------------------
# The checks run for each generated input.
# ---------------------------------------------------------------------------
def check_clone_attribute(value):
    snapshot = repr(value)
    actual, expected = same_outcome(lambda: m._clone_attribute(value), lambda: model_clone(value))
    expect(repr(value) == snapshot, "the argument changed")
    if actual is None and isinstance(expected, tuple):
        model_exc, exc = expected
        if isinstance(exc, TypeError):
            expect(str(exc) == str(model_exc), f"message {exc} instead of {model_exc}")
        return type(exc).__name__
    expect(same(actual, expected), f"copy {actual!r} instead of {expected!r}")
    if isinstance(value, (int, float, str)):
        expect(actual is value, "not the same object")
    else:
        expect(shares_nothing(actual, value), "the copy shares a list or dict with the argument")
    return "ok"


def check_from_dict(data):
    snapshot = repr(data)
    actual, expected = same_outcome(lambda: P.from_dict(data), lambda: model_from_dict(data))
    expect(repr(data) == snapshot, "the argument changed")
    if actual is None and isinstance(expected, tuple):
        return type(expected[1]).__name__
    name, parameter = actual
    expect(name is data["name"], "the name is not the given object")
    expect(type(parameter) is P, f"made a {type(parameter)}")
    expect(same(parameter.all_descriptions(), expected[1].description), "descriptions differ from the model")
    expect(same(dict(parameter.items()), expected[1].attributes), "attributes differ from the model")
    expect(list(parameter.names()) == list(expected[1].attributes), "attribute order differs")
    expect(shares_nothing(parameter.all_descriptions(), data) and shares_nothing(dict(parameter.items()), data),
           "the parameter shares a list or dict with the form")
    return "ok"


# ---------------------------------------------------------------------------
# Strategies.
# ---------------------------------------------------------------------------
def leaves():
    return st.one_of(
        st.integers(), st.integers(min_value=-(2 ** 200), max_value=2 ** 200), st.booleans(),
        st.floats(), st.text(), st.complex_numbers(), st.none(), st.binary(max_size=3),
        st.tuples(st.integers()), st.frozensets(st.integers(), max_size=2),
        st.integers().map(IntSub), st.text(max_size=3).map(StrSub), st.floats().map(FloatSub),
        st.complex_numbers().map(ComplexSub), st.builds(object),
        st.sampled_from([P, m.ParameterBook, print, Ellipsis, NotImplemented, math.nan]))


def keys():
    return st.one_of(st.text(max_size=5), st.integers(), st.floats(allow_nan=False), st.booleans(), st.none(),
                     st.tuples(st.integers()), st.complex_numbers(allow_nan=False), st.text(max_size=3).map(StrSub),
                     st.lists(st.integers(), max_size=2).map(HashableList))


def values(max_leaves=40):
    return st.recursive(
        leaves(),
        lambda inner: st.one_of(
            st.lists(inner, max_size=5), st.lists(inner, max_size=3).map(ListSub),
            st.dictionaries(keys(), inner, max_size=5), st.dictionaries(keys(), inner, max_size=3).map(DictSub)),
        max_leaves=max_leaves)


def attribute_values():
    """Mostly acceptable values, sometimes not."""
    ok = st.recursive(
        st.one_of(st.integers(), st.floats(), st.text(max_size=5), st.booleans(), st.complex_numbers()),
        lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=4), inner, max_size=4)),
        max_leaves=15)
    return st.one_of(ok, ok, ok, values(max_leaves=8))


def forms():
    """Dictionary forms: mostly sound ones with at most one part broken,
    some with every part drawn at random."""
    names = st.one_of(st.text(max_size=5), st.text(max_size=3).map(StrSub), st.integers(), st.none(),
                      st.lists(st.integers(), max_size=2))
    locale_keys = st.one_of(st.just("default"), st.sampled_from(["en_US", "zh_CN"]), st.text(max_size=4),
                            st.integers())
    sound_descriptions = st.builds(lambda d, t: {**d, "default": t},
                                   st.dictionaries(locale_keys, attribute_values(), max_size=2), st.text(max_size=5))
    descriptions = st.one_of(
        st.dictionaries(locale_keys, st.one_of(st.text(max_size=5), attribute_values()), max_size=3),
        sound_descriptions, st.text(max_size=5), st.integers(), st.none(),
        st.dictionaries(st.text(), st.text()).map(DictSub))
    attr_names = st.one_of(st.text(max_size=6), st.sampled_from(["value", "description", "self", "", "a b",
                                                                  "_Parameter__attributes", "__init__"]),
                           st.integers(), st.text(max_size=3).map(StrSub))
    sound_attributes = st.dictionaries(st.text(max_size=6).filter(lambda k: k not in ("description", "self")),
                                       attribute_values(), max_size=5)
    attributes = st.one_of(
        st.dictionaries(attr_names, attribute_values(), max_size=5), sound_attributes,
        st.lists(st.tuples(st.text(max_size=3), attribute_values()), max_size=3),
        st.lists(st.text(max_size=3), max_size=3), st.none(), st.integers(), st.text(max_size=3))
    sound = st.fixed_dictionaries({"name": st.text(max_size=5), "description": sound_descriptions,
                                   "attributes": sound_attributes})
    parts = {"name": names, "description": descriptions, "attributes": attributes}

    def breaks(form, how, key, wild):
        form = dict(form)
        if how == "drop":
            form.pop(key)
        elif how == "replace":
            form[key] = wild
        elif how == "extra":
            form["extra"] = wild
        return form

    broken = st.sampled_from(sorted(parts)).flatmap(
        lambda key: st.builds(breaks, sound, st.sampled_from(["none", "drop", "replace", "extra"]), st.just(key),
                              parts[key]))
    wild = st.fixed_dictionaries({}, optional={**parts, "extra": values(max_leaves=4)})
    return st.one_of(broken, broken, broken, wild)
