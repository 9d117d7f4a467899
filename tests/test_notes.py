"""Every AssertionError a user can meet, and every TypeError of a value the module cannot take, carries
notes that say what was wrong, where and what to do; types, messages and arguments stay as they are."""
import copy
import os
import re
import sys
import traceback

import pytest

from childrun import run_json
from r7u_razarozu import Parameter as P, ParameterBook as B, ParameterDirectory as D

VALUES = ("attribute values are int, float, str, complex, and lists and dicts of these; store it as one of them, "
          "or leave it out")
FORM = ('a form holds "name" (a str), "description" (a dict with a "default" str) and "attributes" (a dict), '
        'as to_dict makes it and a book file holds it')
BOOK_HOLDS = "in the entry {!r}: a book holds Parameter objects, not {}; "
NO_FILE = "load takes the path as given, extension included"
NONE, TUPLE = [(f"Error: Unsupported attribute type: <class '{t}'>",) for t in ("NoneType", "tuple")]
BOOK = B(values={"a": 1})
gain = P()
gain.gain = 1j
odd = P()
odd.all_descriptions()["default"] = 1
nameless = B()  # its parameter's to_dict gives a form without a name
nameless["n"] = P()
object.__setattr__(nameless["n"], "to_dict", lambda name: {"attributes": {"x": 1j}})
JSON = "a book file (JSON) cannot hold this value; store int, float, str, bool, or lists and dicts of these " \
       "(a complex as [real, imag], say)"
COMPLEX = ("Object of type complex is not JSON serializable",)

CASES = [
    # (what the user does, exception, its args, the notes)
    (lambda: B.load("shrinkr.d7ori"), AssertionError, (),
     [f"no such file: {NO_FILE}", "in the book file 'shrinkr.d7ori'"]),
    (lambda: B.load("settings"), AssertionError, (),
     [f"no such file, but 'settings.d7ori' exists: {NO_FILE}", "in the book file 'settings'"]),
    (lambda: B.load("folder"), AssertionError, (),
     ["'folder' is a folder: ParameterDirectory.load reads a folder tree, ParameterBook.load one book file, its "
      "path given with the extension", "in the book file 'folder'"]),
    (lambda: setattr(BOOK, "speed", 5), AssertionError, (),
     [BOOK_HOLDS.format("speed", "int") + "to set the value of a parameter, call set_parameter_value('speed', value)"]),
    (lambda: BOOK.__setitem__("x", "text"), AssertionError, (),
     [BOOK_HOLDS.format("x", "str") + "to set the value of a parameter, call set_parameter_value('x', value)"]),
    (lambda: B({"a": 5}), AssertionError, (),
     [BOOK_HOLDS.format("a", "int") + "plain values go into the values argument, as "
      "ParameterBook(values={'a': value})"]),
    (lambda: D({"a": 5}), AssertionError, (),
     ["in the entry 'a': a directory holds ParameterBook and ParameterDirectory objects, not int; keep a value in a "
      "book, as ParameterBook(values={'a': value})"]),
    (lambda: P().__setitem__(5, 1), AssertionError, (), ["the name 5 is not a str: entries are named by str"]),
    (lambda: P({"de_DE": "x"}), AssertionError, (),
     ['the description has no "default" text: add one, as {"default": "...", ...}; it answers for every locale '
      'without a text of its own']),
    (lambda: P(5), AssertionError, (),
     ['the description is int: give a str, or a dict of texts by locale that holds a "default" text']),
    (lambda: BOOK.rename("a", ""), AssertionError, (),
     ["rename('a', ''): the new name is empty; give a name of one character or more"]),
    (lambda: BOOK.save("afile/motor"), AssertionError, (),
     ["'afile' is not a folder, so the book file cannot go into it: choose a path whose folder part is a folder, "
      "or does not exist yet (save makes it)"]),
    (lambda: D().save("afile"), AssertionError, (),
     ["'afile' is not a folder: a tree is saved as a folder tree; save it to a folder, or to a path that does not "
      "exist yet (save makes it)"]),
    (lambda: P.from_dict({"name": "n", "description": {"en": "x"}, "attributes": {}}), AssertionError, (),
     [f'the dictionary form has no "default" str in its "description": {FORM}']),  # the others: test_load_errors
    # TypeErrors of values: which attribute, description or parameter, and where inside it.
    (lambda: P(value={"a": None}), TypeError, NONE, [f"in the attribute 'value' at ['a']: {VALUES}"]),
    (lambda: P(table={(1, 2): 3}), TypeError, TUPLE, [f"in the attribute 'table', the key (1, 2): {VALUES}"]),
    (lambda: P({"default": "x", "de": None}), TypeError, NONE,
     ["in the description at ['de']: a description holds a text (str) for each locale; give one, or leave the "
      "locale out"]),
    (lambda: B(values={"n": None}), TypeError, NONE,
     [f"in the attribute 'value': {VALUES}", "for the new parameter 'n'"]),
    (lambda: B({"gain": gain}).save("g"), TypeError, COMPLEX,
     [f"in the parameter 'gain', its attributes at ['gain']: {JSON}"]),
    (lambda: str(nameless), TypeError, COMPLEX, [f"in the parameter 'n', its attributes at ['x']: {JSON}"]),
    (lambda: odd.description, TypeError, ("Expected str, got int",),
     ["the description text for 'default' is not a str: store one with set_description(text, 'default')"]),
    # A missing attribute: the closest name of the object, or which other class has the name (or one close to it).
    (lambda: P(value=1).set_paramter_value, KeyError, ("set_paramter_value",),
     ["Parameter has no attribute 'set_paramter_value'; ParameterBook has 'set_parameter_value'"]),
    (lambda: BOOK.get_parameter_valu, KeyError, ("get_parameter_valu",),
     ["ParameterBook has no parameter or attribute 'get_parameter_valu'; did you mean 'get_parameter_value'?"]),
    (lambda: D().get_parameter_value, KeyError, ("get_parameter_value",),
     ["ParameterDirectory has no item or attribute 'get_parameter_value'; ParameterBook has 'get_parameter_value'"]),
    (lambda: hasattr(B(values={"speed": 3}), "sped"), KeyError, ("sped",),
     ["ParameterBook has no parameter or attribute 'sped'; did you mean 'speed'?"]),
    (lambda: D({"motor": B()}).motr, KeyError, ("motr",),
     ["ParameterDirectory has no item or attribute 'motr'; did you mean 'motor'?"]),
    (lambda: P().save, KeyError, ("save",),
     ["Parameter has no attribute 'save'; ParameterBook and ParameterDirectory have 'save'"]),
    (lambda: B(values={f"p{i}": i for i in range(800)}).sav, KeyError, ("sav",),  # too many entries to weigh
     ["ParameterBook has no parameter or attribute 'sav'; did you mean 'save'?"]),
    (lambda: P().missing, KeyError, ("missing",), []),
    (lambda: copy.deepcopy(BOOK), KeyError, ("__deepcopy__",), []),  # asked by a protocol: no note
]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("act, exc, args, notes", CASES)
def test_notes(tmp_path, monkeypatch, act, exc, args, notes):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("LC_ALL", "C")
    B().save("settings")
    os.mkdir("folder")
    open("afile", "w").close()
    with pytest.raises(exc) as e:
        act()
    assert type(e.value) is exc and e.value.args == args
    # From 3.14 the JSON encoder's own notes come first, passed on unchanged.
    all_notes = getattr(e.value, "__notes__", [])
    host = all_notes[:len(all_notes) - len(notes)]
    assert all_notes[len(host):] == notes
    assert all(n.startswith("when serializing ") for n in host) and (not host or sys.version_info >= (3, 14))


def host_suggestion(names, wrong):
    """The interpreter's "Did you mean" for `wrong` on an object whose dir() is `names`."""
    probe = type("Probe", (), {"__dir__": lambda self: names})()
    try:
        getattr(probe, wrong)
    except AttributeError as e:
        # "Did you mean: 'x'?", from 3.15 "Did you mean '.x' instead of '.y'?"
        found = re.search(r"Did you mean:? '\.?([^']*)'", "".join(traceback.format_exception_only(e)))
    return found and found[1]


@pytest.mark.parametrize("obj", [P("d", value=1, lo=0, hi=2), B(values={"speed": 3, "mode": 1}),
                                 D({"motor": B(), "ui": D()})], ids=["Parameter", "ParameterBook", "ParameterDirectory"])
def test_suggestions_follow_the_host(obj):
    names = dir(obj) + list(obj.names())
    for wrong in ("valeu", "hii", "sped", "mod", "motr", "iu", "cloen", "itmes", "nmaes", "get_descripton", "save_",
                  "_Parameter__attributs", "_ParameterBook__parameter", "Clear", "ExtNam", "x" * 41):
        with pytest.raises(KeyError) as e:
            getattr(obj, wrong)
        ours = re.search(r"did you mean '(.*)'\?", " ".join(getattr(e.value, "__notes__", [])))
        assert (ours and ours[1]) == host_suggestion(names, wrong), wrong


def test_a_failing_suggestion_leaves_the_key_error_alone(monkeypatch):
    def refuse(self):
        raise RuntimeError("no dir")

    monkeypatch.setattr(P, "__dir__", refuse, raising=False)
    with pytest.raises(KeyError) as e:
        P(value=1).valeu
    assert e.value.args == ("valeu",) and not hasattr(e.value, "__notes__")
    assert e.value.__context__ is None


def test_nothing_changes_under_optimize(tmp_path):
    # The assertions are skipped, and nothing checks or notes in their place.
    out = run_json("""b = B()
b.speed = 5
try:
    B.load("none.d7ori")
except OSError as e:
    print(json.dumps([b.speed, type(e).__name__, e.__notes__]))""", cwd=str(tmp_path), optimize=True)
    assert out == [5, "FileNotFoundError", ["in the book file 'none.d7ori'"]]
