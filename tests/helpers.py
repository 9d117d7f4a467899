"""Helpers shared by the test files: small builders and assertions that
several classes' tests make alike."""
import re
import sys

import pytest

from r7u_razarozu import ParameterBook


def not_a_mapping(callee, kind):
    """The interpreter's words for `callee(**value)` when value is no mapping."""
    if sys.version_info >= (3, 15):
        return f"Value after ** must be a mapping, not {kind}"
    return f"{callee}() argument after ** must be a mapping, not {kind}"


def not_a_str(cls, kind):
    """The interpreter's words for `str(obj)` when obj's __str__ gives no str."""
    if sys.version_info >= (3, 15):
        return f"{cls}.__str__() must return a str, not {kind}"
    return f"__str__ returned non-string (type {kind})"


# A save's temporary file: "." + the book file's name + 16 check letters + ".tmp".
TEMP_NAME = re.compile(r"^\..*\.[A-Za-z0-9]{16}\.tmp$")


class MyStr(str):
    pass


def doc(*lines):
    """A docstring as the module builds it from its lines."""
    return "".join("\n\t\t" + line for line in lines) + "\n\t\t"


def book(**values):
    """A book of one parameter per keyword, each holding the value under "value"."""
    return ParameterBook(values=values)


def maps(p):
    """A parameter's private maps as stored: (description, attributes)."""
    d = vars(p)
    return d["_Parameter__description"], d["_Parameter__attributes"]


def deep_list(depth):
    v = []
    for _ in range(depth):
        v = [v]
    return v


def key_error_args(read):
    """The arguments of the KeyError that read() raises."""
    with pytest.raises(KeyError) as e:
        read()
    return e.value.args


def assert_missing_reads_raise_key_error(obj):
    """Reading a missing name by attribute, subscription, getattr with a default or hasattr, and a
    missing tuple key, raise KeyError with the key as its only argument; an unhashable key, TypeError."""
    for read in (lambda: obj.missing, lambda: obj["missing"], lambda: getattr(obj, "missing", None),
                 lambda: hasattr(obj, "missing")):
        assert key_error_args(read) == ("missing",)
    assert key_error_args(lambda: obj[(1, 2)]) == ((1, 2),)
    with pytest.raises(TypeError, match="unhashable"):
        obj[[1]]
