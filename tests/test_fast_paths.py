"""Shortcuts that stand in for ordinary Python behaviour only while nothing they skip could be
seen: each test changes the thing a shortcut relies on and checks what Python code sees."""
import pytest

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


def test_parameter_reads_follow_a_replaced_map():
    p = m.Parameter("d", value=1)
    for _ in range(3):
        assert (p.get("value"), p["value"], p.value) == (1, 1, 1)
    vars(p)["_Parameter__attributes"] = {"value": 2}
    assert (p.get("value"), p["value"], p.value) == (2, 2, 2)
    del vars(p)["_Parameter__description"]
    with pytest.raises(KeyError, match="_Parameter__description"):
        p.description
