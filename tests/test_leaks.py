"""Reference and memory leaks: every entry point of the module, on success
and on each of its error paths, repeated until a leak of one reference or
one object per call would show (see leakcheck.py).

The same cases run again under `python -O` in a subprocess, where the
assertion checks are skipped and other error paths are taken.
"""
import atexit
import copy
import errno
import json
import ntpath
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

import r7u_razarozu as m
from fuzzmodels import ComplexSub, IntSub, ListSub, StrSub
from helpers import deep_list
from leakcheck import LeakError, check, entry_points

P, B, D = m.Parameter, m.ParameterBook, m.ParameterDirectory
clone_attribute = m._clone_attribute
OPTIMIZED = sys.flags.optimize > 0
AE = AssertionError
SAME = object()
ODD = (KeyError, RecursionError, AttributeError, TypeError)  # objects made without a map

WORK = tempfile.mkdtemp(prefix="r7u-leaks-")
atexit.register(shutil.rmtree, WORK, True)


def path(*parts):
    return os.path.join(WORK, *parts)


class Case:
    def __init__(self, entry, label, fn, raises, off, watch):
        self.entry, self.label, self.fn, self.watch = entry, label, fn, tuple(watch)
        if OPTIMIZED and off is not SAME:
            raises = off
        self.raises = raises

    @property
    def id(self):
        return f"{self.entry}:{self.label}"


CASES = []


def run(entry, label, fn, raises=None, off=SAME, watch=()):
    """A composite step; `watch` names the objects whose counts must return."""
    CASES.append(Case(entry, label, fn, raises, off, watch))


def call(entry, label, target, *args, raises=None, off=SAME, **kwargs):
    """target(*args, **kwargs); the arguments are watched."""
    run(entry, label, lambda: target(*args, **kwargs), raises, off,
        (target, *args, *kwargs.values()))


class Rebound:
    """Module attribute `name` bound to `value` (or deleted) while fn runs."""
    GONE = object()

    def __init__(self, name, value, fn):
        self.name, self.value, self.fn = name, value, fn

    def __call__(self):
        ns = vars(m)
        old = ns[self.name]
        if self.value is Rebound.GONE:
            del ns[self.name]
        else:
            ns[self.name] = self.value
        try:
            return self.fn()
        finally:
            ns[self.name] = old


class FakeLocale:
    def __init__(self, lang):
        self.lang = lang

    def getdefaultlocale(self):
        if isinstance(self.lang, type):
            raise self.lang("no locale")
        return (self.lang, "UTF-8")


class FaultyOs:
    """The os module with one function that fails."""

    def __init__(self, fails):
        self.fails = fails

    def __getattr__(self, name):
        if name == self.fails:
            def refuse(*args):
                raise OSError(errno.EIO, "injected failure")
            return refuse
        return getattr(os, name)


def toggling(cls, target):
    """An instance of a subclass of cls, made without its constructor,
    whose clone() adds a key to target or takes it away again: the dict
    that is being walked changes size."""
    class Toggling(cls):
        def clone(self):
            if "zz" in target:
                del target["zz"]
            else:
                target["zz"] = self
            return cls()
    return object.__new__(Toggling)


DEEP = deep_list(sys.getrecursionlimit() + 1000)
LOOP = []
LOOP.append(LOOP)


# ---------------------------------------------------------------------------
# _clone_attribute
# ---------------------------------------------------------------------------
class DictSub(dict):
    def items(self):
        return [(k, v) for k, v in super().items()]


class BadReal(complex):
    @property
    def real(self):
        raise ValueError("real")


class BadIter(list):
    def __iter__(self):
        raise ValueError("iter")


class BadItems(dict):
    def items(self):
        return [(1,)]


class NotIterableItems(dict):
    def items(self):
        return 5


class HashableList(list):
    def __hash__(self):
        return 1


class Grows(list):
    """Adds a key to the dict being copied while its value is copied."""

    def __init__(self, target):
        super().__init__()
        self.target = target

    def __iter__(self):
        self.target[len(self.target)] = 0
        return iter(())


def changing_dict():
    d = {}
    d["a"] = Grows(d)
    d["b"] = 1
    return clone_attribute(d)


E = "_clone_attribute"
for label, value in [("int", 5), ("float", 2.5), ("str", "x"), ("bool", True), ("complex", 1 + 2j),
                     ("int-subclass", IntSub(3)), ("str-subclass", StrSub("s")),
                     ("complex-subclass", ComplexSub(1, 2)), ("list", [1, [2, 3], "x", 1.5]),
                     ("list-subclass", ListSub([1, [2]])), ("dict", {"a": [1], 2: {"b": 2j}, 2.5: "x"}),
                     ("dict-subclass", DictSub(a=[1], b={"c": 1})), ("empty", [[], {}])]:
    call(E, label, clone_attribute, value)
call(E, "keyword", clone_attribute, attr=[1])
for label, value in [("none", None), ("tuple", (1, 2)), ("nested-none", [1, [None]]),
                     ("tuple-key", {(1, 2): 3}), ("set", {1}), ("bytes", b"x"),
                     ("parameter", P()), ("real-raises", BadReal(1, 2)), ("iter-raises", BadIter([1])),
                     ("items-not-pairs", BadItems(a=1)), ("items-not-iterable", NotIterableItems(a=1)),
                     ("unhashable-key-copy", {HashableList([1]): 1}), ("deep", DEEP), ("self-containing", LOOP)]:
    exc = {"real-raises": ValueError, "iter-raises": ValueError, "items-not-pairs": ValueError,
           "deep": RecursionError, "self-containing": RecursionError}.get(label, TypeError)
    call(E, label, clone_attribute, value, raises=exc)
run(E, "size-changes", changing_dict, raises=RuntimeError)
call(E, "no-argument", clone_attribute, raises=TypeError)
call(E, "two-arguments", clone_attribute, 1, 2, raises=TypeError)
call(E, "unknown-keyword", clone_attribute, 1, other=2, raises=TypeError)
NESTED = [1, {"a": [2]}]
run(E, "name-gone", Rebound("_clone_attribute", Rebound.GONE, lambda: clone_attribute(NESTED)),
    raises=NameError, watch=[NESTED])
run(E, "name-rebound", Rebound("_clone_attribute", lambda v: v, lambda: clone_attribute(NESTED)),
    watch=[NESTED])

# ---------------------------------------------------------------------------
# Parameter
# ---------------------------------------------------------------------------
DESC = {"default": "d", "en_US": "e", "zh_CN": "中"}
VALUES = {"value": 3, "lst": [1, 2], "d": {"k": 1j}}
p = P(DESC, **VALUES)
none_p = P()
none_p["bad"] = None
desc_attr_p = P()
desc_attr_p["description"] = 1
no_desc_p = P("x", value=1)
del no_desc_p._Parameter__description
bare_p = object.__new__(P)
int_default_p = P({"default": 1})
nodefault_p = P({})
SUB = StrSub("value")
OTHER = object()
sp = P("scratch", value=1)  # takes the values that would spoil p for the other cases

E = "Parameter.__init__"
call(E, "str", P, "text", value=1, lst=[1, 2])
call(E, "dict", P, DESC, value=[1, {"a": 2}])
call(E, "empty-dict", P, {})
call(E, "keyword-description", P, description="x")
call(E, "no-default", P, {"en": "x"}, raises=AE, off=None)
call(E, "bad-description", P, 5, raises=AE, off=TypeError)
call(E, "bad-value", P, "x", a=1, b=None, raises=TypeError)
call(E, "nested-bad-value", P, "x", a=[1, (2,)], raises=TypeError)
call(E, "bad-description-value", P, {"default": "x", "en": None}, raises=TypeError)
run(E, "description-given-twice", lambda: P("x", description="y"), raises=TypeError)
call(E, "too-many", P, "x", "y", raises=TypeError)
call(E, "deep-value", P, "x", v=DEEP, raises=RecursionError)
call(E, "deep-description", P, {"default": "x", "v": DEEP}, raises=RecursionError)
call(E, "method-call", P.__init__, sp, DESC, **VALUES)
run(E, "clone-attribute-gone", Rebound("_clone_attribute", Rebound.GONE, lambda: P("x", a=1)),
    raises=NameError)

E = "Parameter.clone"
call(E, "ok", p.clone)
call(E, "none-value", none_p.clone, raises=TypeError)
call(E, "description-attribute", desc_attr_p.clone, raises=TypeError)
call(E, "no-description-map", no_desc_p.clone, raises=KeyError)
call(E, "no-maps", P.clone, bare_p, raises=ODD)
run(E, "class-gone", Rebound("Parameter", Rebound.GONE, p.clone), raises=NameError)
run(E, "class-rebound", Rebound("Parameter", dict, p.clone))

for name in ("items", "names", "all_descriptions"):
    E = f"Parameter.{name}"
    call(E, "ok", getattr(p, name))
    call(E, "no-maps", getattr(P, name), bare_p, raises=ODD)
E = "Parameter.clear"
run(E, "ok", lambda: (sp.clear(), sp.__init__(DESC, **VALUES)), watch=[sp])
call(E, "no-maps", P.clear, bare_p, raises=ODD)

E = "Parameter.__getattr__"
call(E, "hit", getattr, p, "value")
call(E, "miss", getattr, p, "missing", raises=KeyError)
call(E, "near-miss-noted", getattr, p, "valeu", raises=KeyError)
call(E, "other-class-noted", getattr, p, "set_paramter_value", raises=KeyError)
call(E, "miss-default", getattr, p, "missing", None, raises=KeyError)
call(E, "hasattr", hasattr, p, "missing", raises=KeyError)
call(E, "direct", P.__getattr__, p, "lst")
call(E, "not-str", P.__getattr__, p, 5, raises=KeyError)
call(E, "no-maps", getattr, bare_p, "x", raises=ODD)
call(E, "no-description-map", P.description.fget, no_desc_p, raises=KeyError)

E = "Parameter.__setattr__"
call(E, "plain", setattr, sp, "extra", OTHER)
call(E, "routed", setattr, p, "_Parameter__description", p.all_descriptions())
call(E, "routed-attributes", setattr, p, "_Parameter__attributes", vars(p)["_Parameter__attributes"])
call(E, "property", setattr, p, "description", "x", raises=AttributeError)
call(E, "direct", P.__setattr__, sp, "extra", OTHER)
call(E, "no-maps", setattr, bare_p, "x", 1, raises=ODD)

E = "Parameter.__delattr__"
run(E, "hit", lambda: (setattr(sp, "tmp", OTHER), delattr(sp, "tmp")), watch=[sp, OTHER])
call(E, "miss", delattr, p, "missing", raises=KeyError)
call(E, "attributes-map", delattr, p, "_Parameter__attributes", raises=KeyError)
call(E, "property", delattr, p, "description", raises=AttributeError)
run(E, "routed", lambda: (delattr(P("x"), "_Parameter__description")))
call(E, "routed-missing", delattr, no_desc_p, "_Parameter__description", raises=AttributeError)
call(E, "direct", P.__delattr__, p, "missing", raises=KeyError)
call(E, "no-maps", delattr, bare_p, "x", raises=ODD)

E = "Parameter.get"
call(E, "hit", p.get, "value")
call(E, "default", p.get, "missing", OTHER)
call(E, "raise", p.get, "missing", None, True, raises=KeyError)
call(E, "none", p.get, "missing")
call(E, "keywords", p.get, name="missing", default=OTHER, raise_if_none=True)
call(E, "bad-name", p.get, SUB, raises=TypeError)
call(E, "no-name", p.get, raises=TypeError)
call(E, "no-maps", P.get, bare_p, "x", raises=ODD)

E = "Parameter.get_or_set"
call(E, "hit", p.get_or_set, "value", OTHER)
run(E, "set", lambda: (sp.get_or_set("new", OTHER), sp.__delitem__("new")), watch=[sp, OTHER])
call(E, "bad-name", p.get_or_set, None, OTHER, raises=TypeError)
call(E, "no-maps", P.get_or_set, bare_p, "x", 1, raises=ODD)

E = "Parameter.__getitem__"
call(E, "hit", p.__getitem__, "lst")
call(E, "miss", p.__getitem__, "missing", raises=KeyError)
call(E, "unhashable", p.__getitem__, [], raises=TypeError)
call(E, "iterate", list, p, raises=KeyError)
call(E, "no-maps", P.__getitem__, bare_p, "x", raises=ODD)

E = "Parameter.__setitem__"
call(E, "ok", sp.__setitem__, "extra", OTHER)
call(E, "str-subclass-key", sp.__setitem__, SUB, 3)
call(E, "bad-key", sp.__setitem__, 1, OTHER, raises=AE, off=None)
call(E, "unhashable-key", sp.__setitem__, [], OTHER, raises=AE, off=TypeError)
call(E, "no-maps", P.__setitem__, bare_p, "x", 1, raises=ODD)

E = "Parameter.__delitem__"
run(E, "hit", lambda: (sp.__setitem__("tmp", OTHER), sp.__delitem__("tmp")), watch=[sp, OTHER])
call(E, "miss", p.__delitem__, "missing", raises=KeyError)
call(E, "no-maps", P.__delitem__, bare_p, "x", raises=ODD)

E = "Parameter.description"
fget = P.description.fget
for lang, target, exc in [("en_US", p, None), ("xx_XX", p, None), (None, p, None),
                          ("en_US", nodefault_p, KeyError), ("en_US", int_default_p, TypeError),
                          ("en_US", no_desc_p, KeyError), (ValueError, p, ValueError)]:
    label = f"{getattr(lang, '__name__', lang)}-{'ok' if exc is None else exc.__name__}"
    run(E, label, Rebound("_locale", FakeLocale(lang), lambda t=target: fget(t)), raises=exc, watch=[target])
run(E, "host-locale", lambda: p.description)
run(E, "locale-gone", Rebound("_locale", Rebound.GONE, lambda: p.description), raises=NameError)
run(E, "not-a-sequence", Rebound("_locale", type("L", (), {"getdefaultlocale": staticmethod(lambda: 5)}),
                                 lambda: p.description), raises=TypeError)
call(E, "no-maps", fget, bare_p, raises=ODD)

E = "Parameter.get_description"
call(E, "default", p.get_description)
call(E, "locale", p.get_description, "en_US")
call(E, "miss", p.get_description, "xx", raises=KeyError)
call(E, "bad-locale", p.get_description, None, raises=TypeError)
call(E, "no-map", no_desc_p.get_description, raises=KeyError)

E = "Parameter.set_description"
call(E, "default", sp.set_description, "d")
call(E, "locale", sp.set_description, "e", "en_US")
call(E, "bad-description", p.set_description, 1, raises=TypeError)
call(E, "bad-locale", p.set_description, "x", None, raises=TypeError)
call(E, "no-map", no_desc_p.set_description, "x", raises=KeyError)

E = "Parameter.to_dict"
call(E, "ok", p.to_dict, "name")
call(E, "bad-name", p.to_dict, 1, raises=TypeError)
call(E, "no-map", no_desc_p.to_dict, "x", raises=KeyError)

E = "Parameter.from_dict"
FORM = {"name": "n", "description": {"default": "d", "en": "e"}, "attributes": {"value": [1, {"a": 2}]},
        "extra": 1}
call(E, "ok", P.from_dict, FORM)
call(E, "on-instance", p.from_dict, FORM)
for label, form, on, off in [
        ("no-name", {"description": {"default": ""}, "attributes": {}}, AE, KeyError),
        ("no-description", {"name": "n", "attributes": {}}, AE, KeyError),
        ("no-attributes", {"name": "n", "description": {"default": ""}}, AE, KeyError),
        ("name-not-str", {"name": 1, "description": {"default": ""}, "attributes": {}}, AE, None),
        ("description-str", {"name": "n", "description": "text", "attributes": {}}, AE, None),
        ("description-int", {"name": "n", "description": 5, "attributes": {}}, AE, TypeError),
        ("no-default", {"name": "n", "description": {"en": "x"}, "attributes": {}}, AE, None),
        ("default-int", {"name": "n", "description": {"default": 1}, "attributes": {}}, AE, None),
        ("attributes-pairs", {"name": "n", "description": {"default": ""}, "attributes": [("a", 1)]}, AE, None),
        ("attributes-none", {"name": "n", "description": {"default": ""}, "attributes": None}, AE, TypeError),
        ("attributes-bad-pairs", {"name": "n", "description": {"default": ""}, "attributes": [1]}, AE, TypeError),
        ("null-value", {"name": "n", "description": {"default": ""}, "attributes": {"a": None}}, TypeError, SAME),
        ("null-description", {"name": "n", "description": {"default": "", "x": None}, "attributes": {}},
         TypeError, SAME),
        ("int-key", {"name": "n", "description": {"default": ""}, "attributes": {1: 2}}, TypeError, SAME),
        ("attribute-description", {"name": "n", "description": {"default": ""}, "attributes": {"description": 1}},
         TypeError, SAME),
        ("attribute-self", {"name": "n", "description": {"default": ""}, "attributes": {"self": 1}},
         TypeError, SAME),
        ("deep", {"name": "n", "description": {"default": ""}, "attributes": {"a": DEEP}}, RecursionError, SAME)]:
    call(E, label, P.from_dict, form, raises=on, off=off)
call(E, "dict-subclass", P.from_dict, DictSub(FORM), raises=TypeError)
call(E, "not-dict", P.from_dict, [], raises=TypeError)
run(E, "class-gone", Rebound("Parameter", Rebound.GONE, lambda: P.from_dict(FORM)), raises=NameError)

# ---------------------------------------------------------------------------
# ParameterBook
# ---------------------------------------------------------------------------
q = P("q", value=1)
pj = P(DESC, value=3, lst=[1, 2.5], d={"k": "中", "n": [True, {}]})  # every value has a JSON form
book = B({"a": pj, "b": q}, values={"c": [1, 2]})
complex_book = B(values={"z": 1j})
bad_entry_book = B()
bad_entry_book._ParameterBook__parameters = {"a": 5}
sub_name_book = B()
sub_name_book._ParameterBook__parameters = {StrSub("a"): q}
mixed_name_book = B()
mixed_name_book._ParameterBook__parameters = {"a": q, 1: q}
replaced_book = B()
replaced_book._ParameterBook__parameters = DictSub(a=q)
deep_book = B(values={"v": 1})
deep_book["v"]["value"] = DEEP
loop_book = B(values={"v": 1})
loop_book["v"]["value"] = LOOP
bare_b = object.__new__(B)
PARAMS = {"a": pj, "b": q}
sbook = B(PARAMS)  # takes the changes


class FakeParameter:
    @staticmethod
    def from_dict(data):
        return (1, 2, 3)


E = "ParameterBook.__init__"
call(E, "empty", B)
call(E, "parameters", B, PARAMS)
call(E, "values", B, values={"v": [1, {"a": 2}]})
call(E, "both", B, PARAMS, {"a": 5, "new": "x"})
call(E, "parameters-not-dict", B, [], raises=TypeError)
call(E, "parameters-subclass", B, DictSub(PARAMS), raises=TypeError)
call(E, "values-not-dict", B, None, 5, raises=TypeError)
call(E, "name-not-str", B, {1: p}, raises=AE, off=None)
call(E, "not-a-parameter", B, {"a": 5}, raises=AE, off=AttributeError)
call(E, "clone-fails", B, {"a": none_p}, raises=TypeError)
call(E, "values-key-not-str", B, values={1: 2}, raises=TypeError)
call(E, "values-bad-value", B, values={"a": None}, raises=TypeError)
CHANGING_PARAMS = {}
CHANGING_PARAMS["a"] = toggling(P, CHANGING_PARAMS)
call(E, "size-changes", B, CHANGING_PARAMS, raises=RuntimeError)
call(E, "method-call", B.__init__, sbook, PARAMS, {"c": [1, 2]})
run(E, "parameter-class-gone", Rebound("Parameter", Rebound.GONE, lambda: B(PARAMS)), raises=NameError)

def copies_and_views(cls, obj, bare, refill, **kwargs):
    """The rows of clone, items, names and clear, alike for books and directories."""
    E = f"{cls.__name__}.clone"
    call(E, "ok", obj.clone)
    run(E, "class-gone", Rebound(cls.__name__, Rebound.GONE, obj.clone), raises=NameError)
    call(E, "no-map", cls.clone, bare, raises=ODD)
    for name in ("items", "names"):
        E = f"{cls.__name__}.{name}"
        call(E, "ok", getattr(obj, name))
        call(E, "no-map", getattr(cls, name), bare, raises=ODD)
    E = f"{cls.__name__}.clear"
    run(E, "ok", refill, **kwargs)
    call(E, "no-map", cls.clear, bare, raises=ODD)


copies_and_views(B, book, bare_b, lambda: (sbook.clear(), sbook.__init__(PARAMS, {"c": [1, 2]})), watch=[sbook])
call("ParameterBook.clone", "fails", bad_entry_book.clone, raises=AE, off=AttributeError)

E = "ParameterBook.__getattr__"
call(E, "hit", getattr, book, "a")
call(E, "miss", getattr, book, "missing", raises=KeyError)
call(E, "deepcopy", copy.deepcopy, book, raises=KeyError)
call(E, "no-map", getattr, bare_b, "a", raises=ODD)

E = "ParameterBook.__setattr__"
call(E, "parameter", setattr, sbook, "x", q)
call(E, "underscore-name", setattr, sbook, "_hidden", q)
call(E, "not-a-parameter", setattr, sbook, "y", OTHER, raises=AE, off=None)
run(E, "routed", lambda: setattr(sbook, "_ParameterBook__parameters", vars(sbook)["_ParameterBook__parameters"]))
call(E, "no-map", setattr, bare_b, "a", q, raises=ODD)

E = "ParameterBook.__delattr__"
run(E, "hit", lambda: (setattr(sbook, "tmp", q), delattr(sbook, "tmp")), watch=[sbook, q])
call(E, "miss", delattr, book, "missing", raises=KeyError)
run(E, "routed", lambda: delattr(B(), "_ParameterBook__parameters"))
call(E, "routed-missing", delattr, bare_b, "_ParameterBook__parameters", raises=AttributeError)
call(E, "no-map", delattr, bare_b, "a", raises=ODD)

E = "ParameterBook.__getitem__"
call(E, "hit", book.__getitem__, "a")
call(E, "miss", book.__getitem__, "missing", raises=KeyError)
call(E, "iterate", list, book, raises=KeyError)
call(E, "replaced-map", replaced_book.__getitem__, "a")
call(E, "no-map", B.__getitem__, bare_b, "a", raises=ODD)

E = "ParameterBook.__setitem__"
call(E, "ok", sbook.__setitem__, "x", q)
call(E, "key-not-str", sbook.__setitem__, 1, q, raises=AE, off=None)
call(E, "not-a-parameter", sbook.__setitem__, "y", OTHER, raises=AE, off=None)
call(E, "replaced-map", replaced_book.__setitem__, "b", q)
call(E, "no-map", B.__setitem__, bare_b, "a", q, raises=ODD)

E = "ParameterBook.__delitem__"
run(E, "hit", lambda: (sbook.__setitem__("tmp", q), sbook.__delitem__("tmp")), watch=[sbook, q])
call(E, "miss", book.__delitem__, "missing", raises=KeyError)
call(E, "no-map", B.__delitem__, bare_b, "a", raises=ODD)

E = "ParameterBook.get_parameter_value"
call(E, "hit", book.get_parameter_value, "a")
call(E, "miss", book.get_parameter_value, "missing", OTHER)
call(E, "no-value", B({"e": P()}).get_parameter_value, "e", OTHER)
call(E, "bad-name", book.get_parameter_value, SUB, raises=TypeError)
call(E, "not-a-parameter", bad_entry_book.get_parameter_value, "a", raises=AttributeError)
call(E, "no-map", B.get_parameter_value, bare_b, "a", raises=ODD)

E = "ParameterBook.set_parameter_value"
call(E, "existing", sbook.set_parameter_value, "c", [1, 2])
run(E, "new", lambda: (sbook.set_parameter_value("tmp", [1]), sbook.__delitem__("tmp")), watch=[sbook])
call(E, "new-bad-value", book.set_parameter_value, "tmp", (1,), raises=TypeError)
call(E, "bad-name", book.set_parameter_value, 1, 1, raises=TypeError)
call(E, "not-a-parameter", bad_entry_book.set_parameter_value, "a", 1, raises=TypeError)
run(E, "class-gone", Rebound("Parameter", Rebound.GONE, lambda: book.set_parameter_value("tmp", 1)),
    raises=NameError)
call(E, "no-map", B.set_parameter_value, bare_b, "a", 1, raises=ODD)

E = "ParameterBook.get_or_set_parameter_value"
call(E, "existing", sbook.get_or_set_parameter_value, "a", OTHER)
run(E, "new", lambda: (sbook.get_or_set_parameter_value("tmp", [1]), sbook.__delitem__("tmp")), watch=[sbook])
call(E, "new-bad-value", book.get_or_set_parameter_value, "tmp", OTHER, raises=TypeError)
call(E, "bad-name", book.get_or_set_parameter_value, None, 1, raises=TypeError)
call(E, "not-a-parameter", bad_entry_book.get_or_set_parameter_value, "a", 1, raises=AttributeError)
call(E, "no-map", B.get_or_set_parameter_value, bare_b, "a", 1, raises=ODD)

E = "ParameterBook.rename"
call(E, "same", book.rename, "zz", "zz")
run(E, "there-and-back", lambda: (sbook.rename("a", "a2"), sbook.rename("a2", "a")), watch=[sbook])
call(E, "old-missing", book.rename, "missing", "a", raises=KeyError)
call(E, "new-exists", book.rename, "a", "b", raises=KeyError)
run(E, "new-empty", lambda: (sbook.rename("a", ""), sbook.rename("", "a")), raises=AE, off=None, watch=[sbook])
call(E, "bad-old", book.rename, SUB, "x", raises=TypeError)
call(E, "bad-new", book.rename, "a", None, raises=TypeError)
call(E, "no-map", B.rename, bare_b, "a", "b", raises=ODD)

E = "ParameterBook.__str__"
call(E, "ok", str, book)
call(E, "empty", str, B())
call(E, "complex", str, complex_book, raises=TypeError)
call(E, "not-a-parameter", str, bad_entry_book, raises=AttributeError)
call(E, "str-subclass-name", str, sub_name_book, raises=TypeError)
call(E, "unsortable-names", str, mixed_name_book, raises=TypeError)
# Bounded by our own guard on every version (the host's encoder alone nests far deeper from 3.13).
call(E, "deep", str, deep_book, raises=RecursionError)
call(E, "circular", str, loop_book, raises=(ValueError, RecursionError))
run(E, "json-rebound", Rebound("_json", type("J", (), {"dumps": staticmethod(lambda *a, **k: "x")}),
                               lambda: str(book)))
run(E, "json-gone", Rebound("_json", Rebound.GONE, lambda: str(book)), raises=NameError)
call(E, "direct", B.__str__, book)
call(E, "no-map", str, bare_b, raises=ODD)

E = "ParameterBook.save"
call(E, "auto-extension", book.save, path("out", "book"))
call(E, "exact-name", book.save, path("out", "plain.txt"), False)
call(E, "complex", complex_book.save, path("out", "complex"), raises=TypeError)
call(E, "surrogate", B(values={"s": "\udc80"}).save, path("out", "surrogate"), raises=UnicodeEncodeError)
call(E, "folder-is-file", book.save, path("plainfile", "x"), raises=AE, off=OSError)
call(E, "makedirs-fails", book.save, path("plainfile", "sub", "x"), raises=OSError)
call(E, "target-is-folder", book.save, path("folder.d7ori"), raises=OSError)
call(E, "bad-filename", book.save, None, raises=TypeError)
call(E, "no-map", B.save, bare_b, path("out", "x"), raises=ODD)

E = "ParameterBook.load"
call(E, "ok", B.load, path("good.d7ori"))
call(E, "on-instance", book.load, path("good.d7ori"))
call(E, "duplicates", B.load, path("dup.d7ori"))
call(E, "decoded-then-ordinary", B.load, path("late.d7ori"))
for name, on, off in [("missing.d7ori", AE, OSError), ("folder.d7ori", AE, OSError),
                      ("badutf8.d7ori", UnicodeDecodeError, SAME), ("notjson.d7ori", ValueError, SAME),
                      ("empty.d7ori", ValueError, SAME), ("bom.d7ori", ValueError, SAME),
                      ("object.d7ori", AE, (KeyError, TypeError, AttributeError)),
                      ("element.d7ori", AE, (TypeError, AttributeError)),
                      ("nullvalue.d7ori", TypeError, SAME), ("nokey.d7ori", AE, KeyError),
                      ("deep.d7ori", RecursionError, SAME), ("hugeint.d7ori", ValueError, SAME)]:
    call(E, name, B.load, path(name), raises=on, off=off)
call(E, "bad-filename", B.load, b"x", raises=TypeError)
run(E, "unpack", Rebound("Parameter", FakeParameter, lambda: B.load(path("good.d7ori"))), raises=ValueError)

# ---------------------------------------------------------------------------
# ParameterDirectory
# ---------------------------------------------------------------------------
tree = D({"book": book, "sub": D({"inner": B(values={"v": 1})})})
bad_tree = D()
bad_tree["bad"] = complex_book
bare_d = object.__new__(D)
ITEMS = {"b": book, "s": D()}
stree = D(ITEMS)  # takes the changes

E = "ParameterDirectory.__init__"
call(E, "empty", D)
call(E, "items", D, ITEMS)
call(E, "not-dict", D, [], raises=TypeError)
CHANGING_ITEMS = {}
CHANGING_ITEMS["a"] = toggling(B, CHANGING_ITEMS)
call(E, "size-changes", D, CHANGING_ITEMS, raises=RuntimeError)
call(E, "name-not-str", D, {1: book}, raises=AE, off=None)
call(E, "not-an-item", D, {"a": p}, raises=AE, off=None)
call(E, "not-an-item-no-clone", D, {"a": 5}, raises=AE, off=AttributeError)
call(E, "clone-fails", D, {"a": bad_entry_book}, raises=AE, off=AttributeError)
call(E, "deep", D, {"a": deep_book}, raises=RecursionError)
call(E, "method-call", D.__init__, stree, ITEMS)

copies_and_views(D, tree, bare_d, lambda: (D(ITEMS).clear()))

E = "ParameterDirectory.__getattr__"
call(E, "hit", getattr, tree, "book")
call(E, "miss", getattr, tree, "missing", raises=KeyError)
call(E, "no-map", getattr, bare_d, "x", raises=ODD)

E = "ParameterDirectory.__setattr__"
call(E, "book", setattr, stree, "extra", book)
call(E, "not-an-item", setattr, stree, "y", OTHER, raises=AE, off=None)
run(E, "routed", lambda: setattr(stree, "_ParameterDirectory__parameters",
                                 vars(stree)["_ParameterDirectory__parameters"]))
call(E, "no-map", setattr, bare_d, "x", book, raises=ODD)

E = "ParameterDirectory.__delattr__"
run(E, "hit", lambda: (setattr(stree, "tmp", book), delattr(stree, "tmp")), watch=[stree, book])
call(E, "miss", delattr, tree, "missing", raises=KeyError)
run(E, "routed", lambda: delattr(D(), "_ParameterDirectory__parameters"))
call(E, "no-map", delattr, bare_d, "x", raises=ODD)

E = "ParameterDirectory.__getitem__"
call(E, "hit", tree.__getitem__, "sub")
call(E, "miss", tree.__getitem__, "missing", raises=KeyError)
call(E, "iterate", list, tree, raises=KeyError)
call(E, "no-map", D.__getitem__, bare_d, "x", raises=ODD)

E = "ParameterDirectory.__setitem__"
call(E, "ok", stree.__setitem__, "extra", book)
call(E, "key-not-str", stree.__setitem__, 1, book, raises=AE, off=None)
call(E, "not-an-item", stree.__setitem__, "y", OTHER, raises=AE, off=None)
call(E, "no-map", D.__setitem__, bare_d, "x", book, raises=ODD)

E = "ParameterDirectory.__delitem__"
run(E, "hit", lambda: (stree.__setitem__("tmp", book), stree.__delitem__("tmp")), watch=[stree, book])
call(E, "miss", tree.__delitem__, "missing", raises=KeyError)
call(E, "no-map", D.__delitem__, bare_d, "x", raises=ODD)

E = "ParameterDirectory.rename"
call(E, "same", tree.rename, "zz", "zz")
run(E, "there-and-back", lambda: (stree.rename("b", "b2"), stree.rename("b2", "b")), watch=[stree])
call(E, "old-missing", tree.rename, "missing", "x", raises=KeyError)
call(E, "new-exists", tree.rename, "book", "sub", raises=KeyError)
run(E, "new-empty", lambda: (stree.rename("b", ""), stree.rename("", "b")), raises=AE, off=None,
    watch=[stree])
call(E, "bad-old", tree.rename, None, "x", raises=TypeError)
call(E, "bad-new", tree.rename, "book", StrSub("x"), raises=TypeError)
call(E, "no-map", D.rename, bare_d, "a", "b", raises=ODD)

E = "ParameterDirectory._backup_books_in_this_directory"
backup = D._backup_books_in_this_directory
call(E, "taken", backup, path("taken"))
run(E, "moves", lambda: (open(path("moves", "a.d7ori"), "w").close(),
                         [os.remove(b) for b in backup(path("moves"))]))
call(E, "missing", backup, path("missing"), raises=OSError)
call(E, "bad-directory", backup, 1, raises=TypeError)
run(E, "rename-fails", Rebound("_os", FaultyOs("rename"), lambda: backup(path("taken2"))), raises=OSError)

E = "ParameterDirectory.save"
call(E, "ok", tree.save, path("tree"))
call(E, "empty", D().save, path("emptytree"))
call(E, "fails", bad_tree.save, path("badtree"), raises=TypeError)
call(E, "is-file", tree.save, path("plainfile"), raises=AE, off=OSError)
call(E, "makedirs-fails", tree.save, path("plainfile", "x"), raises=OSError)
call(E, "unsafe-name", D({"..": D()}).save, path("unsafe"), raises=ValueError)
call(E, "file-where-sub-folder-goes", D({"sub": D()}).save, path("subfile"), raises=AE, off=OSError)
none_book = B(values={"a": 1})
object.__getattribute__(none_book["a"], "_Parameter__attributes")["value"] = [1, None]
none_tree = D()
none_tree["n"] = none_book
call(E, "none-refused", none_tree.save, path("nonetree"), raises=TypeError)
call(E, "dotted-book", D({"a.b": B()}).save, path("dotted"), raises=ValueError)
call(E, "collision", D({"a": B(), "a.d7ori": D()}).save, path("collide"), raises=ValueError)
call(E, "str-subclass-name", D({StrSub("s"): B()}).save, path("subname"))
run(E, "windows-name", Rebound("_path", ntpath, lambda: D({"NUL": B()}).save(path("win"))), raises=ValueError)
run(E, "protocol", Rebound("_os", FaultyOs(None), lambda: tree.save(path("tree"))), watch=[tree])


def save_with_faulty_os(fails):
    """A save of `tree` into a folder that holds its book files, with one
    file-system function failing; stale backups are cleared afterwards so
    that every call takes the same path."""
    folder = path("faulty")

    def run_once():
        try:
            Rebound("_os", FaultyOs(fails), lambda: tree.save(folder))()
        finally:
            for dirpath, _, files in os.walk(folder):
                for name in files:
                    if name.endswith("-"):
                        os.remove(os.path.join(dirpath, name))
    return run_once


for fails in ("rename", "remove"):
    run(E, f"{fails}-fails", save_with_faulty_os(fails), raises=OSError, watch=[tree])
call(E, "bad-directory", tree.save, None, raises=TypeError)
call(E, "no-map", D.save, bare_d, path("x"), raises=ODD)

E = "ParameterDirectory.load"
call(E, "ok", D.load, path("loadtree"))
call(E, "on-instance", tree.load, path("loadtree"))
call(E, "missing", D.load, path("missing"), raises=OSError)
call(E, "file", D.load, path("plainfile"), raises=OSError)
call(E, "bad-book", D.load, path("badload"), raises=ValueError)
call(E, "routed-name", D.load, path("routedname"))
call(E, "bad-directory", D.load, 1, raises=TypeError)


# ---------------------------------------------------------------------------
# Files the cases read.
# ---------------------------------------------------------------------------
def good_text(names=("a", "b")):
    return json.dumps([{"name": n, "description": {"default": "x", "zh_CN": "中"},
                        "attributes": {"value": [1, 2.5, "s", {"k": True}]}} for n in names], indent=4,
                      ensure_ascii=False)


def write(name, data):
    full = path(name)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data.encode("utf8") if isinstance(data, str) else data)


def prepare_files():
    write("good.d7ori", good_text())
    write("dup.d7ori", good_text(("a", "b", "a")))
    write("late.d7ori", good_text(("a", "b"))[:-1] + ', {"name": "c", "description": {"default": ""}, '
          '"attributes": {"w": "\\u00e9\\ud83d\\ude00", "v": NaN}}]')
    write("badutf8.d7ori", b'[{"name": "\xff"}]')
    write("notjson.d7ori", "[{]")
    write("empty.d7ori", "")
    write("bom.d7ori", "\ufeff" + good_text())
    write("object.d7ori", json.dumps({"name": "a", "description": {"default": ""}, "attributes": {}}))
    write("element.d7ori", "[1]")
    write("nullvalue.d7ori", json.dumps([{"name": "a", "description": {"default": ""}, "attributes": {"v": None}}]))
    write("nokey.d7ori", json.dumps([{"name": "a", "attributes": {}}]))
    write("deep.d7ori", "[" * 100000 + "]" * 100000)
    write("hugeint.d7ori", '[{"name": "a", "description": {"default": ""}, "attributes": {"v": ' + "9" * 5000 + "}}]")
    write("plainfile", "not a folder")
    os.makedirs(path("folder.d7ori"), exist_ok=True)
    os.makedirs(path("out"), exist_ok=True)
    write("taken/a.d7ori", good_text())
    write("taken/a.d7ori-", good_text())
    write("taken/notes.txt", "x")
    os.makedirs(path("moves"), exist_ok=True)
    write("loadtree/a.d7ori", good_text())
    write("loadtree/a.d7ori-", "stale")
    write("loadtree/sub/b.x.d7ori", good_text(("c",)))
    os.makedirs(path("loadtree", "empty"), exist_ok=True)
    write("loadtree/other.txt", "x")
    write("badload/a.d7ori", good_text())
    write("badload/sub/b.d7ori", "[")
    write("routedname/_ParameterDirectory__parameters.d7ori", good_text())
    write("taken2/a.d7ori", good_text())
    write("subfile/sub", "a file where a sub-folder goes")
    tree.save(path("faulty"))


@pytest.fixture(scope="module", autouse=True)
def files():
    prepare_files()
    yield
    shutil.rmtree(WORK, ignore_errors=True)


def test_the_check_finds_leaks():
    import ctypes
    kept = []
    marker = object()
    increfs = []

    def leak_a_reference():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(marker))
        increfs.append(None)
    with pytest.raises(LeakError, match="references to"):
        check(leak_a_reference, watch=[marker])
    with pytest.raises(LeakError, match="live list objects"):
        check(lambda: kept.append([]))
    with pytest.raises(LeakError, match="unexpected outcome"):
        check(lambda: clone_attribute(None))
    with pytest.raises(LeakError, match="expected"):
        check(lambda: clone_attribute(1), raises=TypeError)
    kept.clear()
    for _ in increfs:
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(marker))


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_no_leak(case):
    check(case.fn, case.raises, case.watch)


# ---------------------------------------------------------------------------
# Coverage of the namespace, and the argument binder of every entry point.
# ---------------------------------------------------------------------------
def test_every_entry_point_has_leak_cases():
    covered = {c.entry for c in CASES}
    found = set(entry_points())
    assert found - covered == set(), "entry points without a leak case"
    assert covered - found == set(), "leak cases for names that are not entry points"
    # The figure for the record: print with -s.
    print(f"\n{len(found)} entry points under the leak check, {len(CASES)} cases")


def _callables():
    for entry in entry_points():
        if "." not in entry:
            yield entry, getattr(m, entry)
            continue
        cls, name = entry.split(".")
        member = vars(getattr(m, cls))[name]
        yield entry, member.fget if isinstance(member, property) else getattr(getattr(m, cls), name)


@pytest.mark.parametrize("entry,fn", list(_callables()), ids=[e for e, _ in _callables()])
def test_argument_errors_do_not_leak(entry, fn):
    marker = object()
    too_many = (marker,) * 6
    check(lambda: fn(*too_many), TypeError, [marker], calls=20)
    check(lambda: fn(no_such_argument=marker), TypeError, [marker], calls=20)


def test_function_attributes_do_not_leak():
    import inspect
    fns = [fn for _, fn in _callables()]

    def read_all():
        for fn in fns:
            (fn.__name__, fn.__qualname__, fn.__doc__, fn.__defaults__, fn.__annotations__,
             fn.__module__, fn.__globals__, getattr(fn, "__code__", None))
            fn.__get__(p, P)
    check(read_all, calls=10)
    check(lambda: [inspect.signature(fn) for fn in fns], calls=5)


@pytest.mark.skipif(OPTIMIZED or os.environ.get("R7U_LEAKS_NESTED") == "1",
                    reason="runs the optimized pass itself")
def test_leaks_with_assertions_off():
    """The same cases under `python -O`: the error paths behind the skipped
    assertion checks."""
    env = dict(os.environ, R7U_LEAKS_NESTED="1")
    here = os.path.dirname(os.path.abspath(__file__))
    proc = subprocess.run([sys.executable, "-O", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                           "-W", "ignore::pytest.PytestConfigWarning", os.path.basename(__file__), "-k", "test_no_leak"],
                          cwd=here, env=env, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-3000:]
