import inspect
import locale
import threading
import warnings

import pytest

import r7u_razarozu as mod
from childrun import python
from helpers import MyStr, doc
from leakcheck import assert_refcounts_settle
from platforms import needs_locale_variables

P = mod.Parameter


pytestmark = pytest.mark.filterwarnings("ignore:.*getdefaultlocale:DeprecationWarning")


class FakeLocale:
    """Stands in for the module's `_locale`; counts the questions asked."""

    def __init__(self, answer=("zh_CN", "UTF-8")):
        self.answer = answer
        self.calls = 0

    def getdefaultlocale(self):
        self.calls += 1
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


@pytest.fixture
def fake_locale(monkeypatch):
    fake = FakeLocale()
    monkeypatch.setattr(mod, "_locale", fake)
    return fake


# ---------------------------------------------------------------------------
# Members
# ---------------------------------------------------------------------------
def test_description_property_shape():
    prop = vars(P)["description"]
    assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
    getter = prop.fget
    assert getter.__name__ == "description" and getter.__qualname__ == "Parameter.description"
    assert getter.__annotations__ == {"return": "str"}
    assert list(inspect.signature(getter).parameters) == ["self"]
    assert prop.__doc__ == doc("根据当前语言设定，返回此参数的描述说明", ":return: 一个 str 对象，参数的描述说明")


def test_method_shapes():
    assert P.get_description.__defaults__ == ("default",)
    assert P.get_description.__annotations__ == {"locale": "str"}
    assert P.get_description.__doc__ == doc(
        "根据指定的语言设定，返回此参数的描述说明", ":param locale: 语言设定参数", ":return: 一个 str 对象，参数的描述说明"
    )
    assert P.set_description.__defaults__ == ("default",)
    assert P.set_description.__annotations__ == {"description": "str", "locale": "str"}
    assert list(inspect.signature(P.set_description).parameters) == ["self", "description", "locale"]
    assert P.set_description.__doc__ is None
    assert P.all_descriptions.__defaults__ is None and P.all_descriptions.__annotations__ == {}
    assert P.all_descriptions.__doc__ is None


# ---------------------------------------------------------------------------
# The property
# ---------------------------------------------------------------------------
def test_str_description_answers_whatever_the_locale(fake_locale):
    for answer in [("zh_CN", "UTF-8"), ("en_US", "x"), (None, None)]:
        fake_locale.answer = answer
        assert P("text").description == "text"


def test_language_entry_then_default_fallback(fake_locale):
    p = P({"default": "d", "zh_CN": "z"})
    assert p.description == "z"
    fake_locale.answer = ("en_US", "UTF-8")
    assert p.description == "d"
    fake_locale.answer = (None, None)
    assert p.description == "d"


def test_the_locale_is_asked_at_every_read(fake_locale):
    p = P({"default": "d", "zh_CN": "z"})
    p.description
    p.description
    assert fake_locale.calls == 2


def test_the_result_is_the_stored_object(fake_locale):
    text = "".join(["sto", "red"])
    p = P()
    p.set_description(text, "zh_CN")
    assert p.description is text


def test_missing_default_raises_key_error(fake_locale):
    p = P({})
    with pytest.raises(KeyError) as info:
        p.description
    assert info.value.args == ("default",)
    p = P({"zh_CN": "z", "default": "d"})
    del p.all_descriptions()["default"]
    assert p.description == "z"
    fake_locale.answer = ("fr_FR", None)
    with pytest.raises(KeyError) as info:
        p.description
    assert info.value.args == ("default",)


@pytest.mark.parametrize(
    "entry, type_name",
    [(1, "int"), (MyStr("s"), "MyStr"), (["x"], "list"), ({"a": "b"}, "dict"), (2.5, "float")],
)
def test_entry_must_be_exactly_str_or_none(fake_locale, entry, type_name):
    p = P({"default": entry})
    with pytest.raises(TypeError) as info:
        p.description
    assert str(info.value) == f"Expected str, got {type_name}"
    assert p.get_description() == entry  # a copy for lists and dicts
    p = P()
    p.set_description("ok")
    p.all_descriptions()["zh_CN"] = entry
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}\n"):
        p.description


def test_none_entry_is_returned(fake_locale):
    p = P()
    p.all_descriptions()["zh_CN"] = None
    assert p.description is None


def test_locale_errors_propagate(fake_locale):
    fake_locale.answer = OSError("no locale")
    with pytest.raises(OSError, match="no locale"):
        P().description
    fake_locale.answer = ()
    with pytest.raises(IndexError):
        P().description
    fake_locale.answer = ([1], None)
    with pytest.raises(TypeError, match="unhashable"):
        P().description


def test_element_zero_of_any_sequence(fake_locale):
    fake_locale.answer = ["zh_CN"]
    assert P({"default": "d", "zh_CN": "z"}).description == "z"

    class Seq:
        def __getitem__(self, i):
            return {0: "zh_CN"}[i]

    fake_locale.answer = Seq()
    assert P({"default": "d", "zh_CN": "z"}).description == "z"


def test_the_locale_is_asked_before_the_map_is_read(fake_locale):
    p = P()
    del p._Parameter__description
    with pytest.raises(KeyError) as info:
        p.description
    assert info.value.args == ("_Parameter__description",)
    assert fake_locale.calls == 1


def test_module_level_locale_rebinding_and_removal(monkeypatch, namespace):
    p = P({"default": "d", "xx_YY": "x"})
    monkeypatch.setattr(mod, "_locale", FakeLocale(("xx_YY", None)))
    assert p.description == "x"
    del namespace["_locale"]
    with pytest.raises(NameError, match="^name '_locale' is not defined$"):
        p.description


@needs_locale_variables
def test_real_locale_module_follows_the_environment(monkeypatch):
    assert mod._locale is locale
    p = P({"default": "d", "fr_FR": "f", "de_DE": "g"})
    monkeypatch.setenv("LC_ALL", "fr_FR.UTF-8")
    assert p.description == "f"
    monkeypatch.setenv("LC_ALL", "de_DE.UTF-8")
    assert p.description == "g"
    monkeypatch.setenv("LC_ALL", "C")
    assert p.description == "d"


def test_replaced_map_is_asked_membership_then_item(fake_locale):
    calls = []

    class Log(dict):
        def __contains__(self, key):
            calls.append(("in", key))
            return super().__contains__(key)

        def __getitem__(self, key):
            calls.append(("get", key))
            return super().__getitem__(key)

    p = P()
    p._Parameter__description = Log(default="d")
    assert p.description == "d"
    assert calls == [("in", "zh_CN"), ("get", "default")]


def test_non_str_language_uses_membership_then_item(fake_locale):
    fake_locale.answer = (5, None)
    p = P({"default": "d", 5: "five"})
    assert p.description == "five"


# ---------------------------------------------------------------------------
# get_description, set_description, all_descriptions
# ---------------------------------------------------------------------------
def test_get_description_has_no_fallback():
    p = P({"default": "d", "en": 1})
    assert p.get_description() == "d" and p.get_description("default") == "d"
    assert p.get_description("en") == 1
    with pytest.raises(KeyError) as info:
        p.get_description("zh_CN")
    assert info.value.args == ("zh_CN",)
    with pytest.raises(KeyError) as info:
        P({}).get_description()
    assert info.value.args == ("default",)


def test_set_description_replaces_in_place_or_appends():
    p = P({"default": "d", "en": "e"})
    desc = p.all_descriptions()
    assert p.set_description("new default") is None
    assert list(desc.items()) == [("default", "new default"), ("en", "e")]
    p.set_description("again", "default")
    p.set_description("z", "zh_CN")
    p.set_description("e2", "en")
    assert list(desc.items()) == [("default", "again"), ("en", "e2"), ("zh_CN", "z")]
    text = "".join(["st", "ored"])
    p.set_description(text, "x")
    assert desc["x"] is text


def test_argument_checks():
    p = P()
    cases = [
        (lambda: p.get_description(None), "locale", "NoneType"),
        (lambda: p.get_description(MyStr("default")), "locale", "MyStr"),
        (lambda: p.set_description(1), "description", "int"),
        (lambda: p.set_description("x", None), "locale", "NoneType"),
        (lambda: p.set_description(1, None), "description", "int"),
        (lambda: p.set_description(MyStr("x")), "description", "MyStr"),
    ]
    for op, arg, got in cases:
        with pytest.raises(TypeError) as info:
            op()
        assert str(info.value) == f"Argument '{arg}' has incorrect type (expected str, got {got})"
    assert p.all_descriptions() == {"default": ""}
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'description'"):
        p.set_description()


def test_all_descriptions_is_the_map_itself():
    p = P({"default": "d", "en": "e"})
    a = p.all_descriptions()
    assert a is p.all_descriptions() and a is vars(p)["_Parameter__description"]
    del a["en"]
    assert p.to_dict("n")["description"] == {"default": "d"}
    q = p.clone()
    assert q.all_descriptions() == a and q.all_descriptions() is not a


def test_description_map_of_a_clone_is_independent():
    p = P({"default": "d", "nested": ["x"]})
    q = p.clone()
    q.all_descriptions()["nested"].append("y")
    q.set_description("other")
    assert p.all_descriptions() == {"default": "d", "nested": ["x"]}


def test_failed_operations_change_nothing(fake_locale):
    p = P({"default": 1})
    before = dict(p.all_descriptions())
    for op in (lambda: p.description, lambda: p.get_description("x"), lambda: p.set_description(2)):
        with pytest.raises((TypeError, KeyError)):
            op()
    assert p.all_descriptions() == before


def test_no_reference_is_leaked(fake_locale):
    sentinel = "sentinel-" + str(id(object()))
    fake_locale.answer = (sentinel, None)

    def work():
        p = P({"default": "d", sentinel: sentinel})
        p.description
        p.get_description(sentinel)
        p.set_description(sentinel, sentinel)
        p.all_descriptions()
        q = P({"default": 1, sentinel: [sentinel]})
        for op in (lambda: q.description, lambda: q.get_description(sentinel + "?"), lambda: P({}).description):
            try:
                op()
            except (TypeError, KeyError):
                pass

    assert_refcounts_settle(work, sentinel)



# ---------------------------------------------------------------------------
# The host's DeprecationWarning (3.12, 3.13), attributed as for a module written in Python
# ---------------------------------------------------------------------------
host_warns = pytest.mark.skipif("_deprecated" not in locale.getdefaultlocale.__code__.co_names,
                                reason="locale.getdefaultlocale gives no warning here")


def read_recording(read):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        result = read()
    return result, seen


@host_warns
@pytest.mark.parametrize("flags, returncode, stderr", [
    ((), 0, ""),  # the default filters hide it
    (("-W", "default"), 0, "{file}:0: DeprecationWarning: {text}\n"),  # once
    (("-W", "error::DeprecationWarning"), 1, "DeprecationWarning: {text}\n"),
], ids=["default", "-W default", "-W error"])
def test_fresh_script_reading_description(flags, returncode, stderr):
    proc = python("from r7u_razarozu import Parameter\nfor _ in range(3): Parameter('x').description\n", *flags)
    text = str(read_recording(locale.getdefaultlocale)[1][0].message)
    assert proc.returncode == returncode and proc.stderr.endswith(stderr.format(file=mod.__file__, text=text))


@host_warns
@needs_locale_variables
@pytest.mark.parametrize("change, answer, ours", [
    (None, "fr", True),
    (lambda host: setattr(locale, "getdefaultlocale", lambda: host()), "fr", False),
    (lambda host: setattr(host, "__defaults__", (("LANG",),)), "de", False),
    (lambda host: setattr(warnings, "warn", lambda m, c, **k: warnings.warn_explicit(m, c, __file__, 1)), "fr", False),
    (lambda host: setattr(mod, "_locale", type("L", (), {"getdefaultlocale": staticmethod(host)})), "fr", False),
], ids=["host's own", "function", "defaults", "warnings.warn", "module alias"])
def test_shortcut_only_while_the_host_function_is_unchanged(monkeypatch, change, answer, ours):
    monkeypatch.setenv("LC_ALL", "fr_FR.UTF-8")
    monkeypatch.setenv("LANG", "de_DE.UTF-8")
    host = locale.getdefaultlocale
    expected = str(read_recording(host)[1][0].message)
    for obj, name in ((locale, "getdefaultlocale"), (host, "__defaults__"), (warnings, "warn"), (mod, "_locale")):
        monkeypatch.setattr(obj, name, getattr(obj, name))  # put back afterwards
    if change:
        change(host)
    p = P({"default": "x", "fr_FR": "fr", "de_DE": "de"})
    answered, seen = read_recording(lambda: p.description)
    assert answered == answer and [str(w.message) for w in seen] == [expected]
    assert (seen[0].filename == mod.__file__) is ours


@host_warns
def test_warning_from_threads():
    p = P("x")
    threads = [threading.Thread(target=lambda: [p.description for _ in range(200)]) for _ in range(4)]
    _, seen = read_recording(lambda: ([t.start() for t in threads], [t.join() for t in threads]))
    assert len(seen) == 800 and {(w.filename, w.category) for w in seen} == {(mod.__file__, DeprecationWarning)}
