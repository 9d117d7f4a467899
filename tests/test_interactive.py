"""What README.md promises for interactive use: help() and pydoc on the classes, signatures through
inspect, and IPython's completion and `?` with the completer setting it names."""
import inspect
import pydoc

import pytest

import r7u_razarozu as m
from childrun import python_output

CLASSES = (m.Parameter, m.ParameterBook, m.ParameterDirectory)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_help_on_the_class_and_its_methods(cls):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert f"class {cls.__name__}(builtins.object)" in text
    assert " |  clone(self)" in text
    method = pydoc.render_doc(cls.rename if hasattr(cls, "rename") else cls.get, renderer=pydoc.plaintext)
    assert "(self, " in method
    # An instance asks for help through its class.
    assert pydoc.render_doc(type(cls()), renderer=pydoc.plaintext) == text


def test_help_on_an_instance_meets_the_key_error():
    # The documented limit: an instance answers unknown attributes with KeyError.
    with pytest.raises(KeyError):
        pydoc.render_doc(m.Parameter(value=1), renderer=pydoc.plaintext)


def test_signatures_of_bound_methods():
    assert str(inspect.signature(m.Parameter(value=1).get)) == \
        "(name: 'str', default=None, raise_if_none: 'bool' = False)"
    assert str(inspect.signature(m.ParameterDirectory().save)) == "(directory: 'str')"


IPYTHON = """
import sys
from IPython.core.completer import provisionalcompleter
from IPython.testing.globalipapp import get_ipython
ip = get_ipython()
ip.run_cell("from r7u_razarozu import Parameter, ParameterBook\\np = Parameter(value=3)\\n"
            "b = ParameterBook(values={'speed': 1})")
ip.run_line_magic("config", "IPCompleter.use_jedi = False")
for text in ("p.", "p.get_", "b.get_p", "Parameter.from"):
    with provisionalcompleter():
        print(text, sorted(c.text for c in ip.Completer.completions(text, len(text))))
ip.run_cell("Parameter.get?")
ip.run_cell("ParameterBook.save?")
"""


def test_ipython_completion_and_help_with_its_own_completer():
    out = python_output(IPYTHON)
    assert "p. [" in out and "'.clone'" in out and "'.get_or_set'" in out
    assert "p.get_ ['.get_description', '.get_or_set']" in out
    assert "b.get_p ['.get_parameter_value']" in out
    assert "Parameter.from ['.from_dict']" in out
    # Parameter.get? and ParameterBook.save?: the signatures and the docstrings.
    assert "raise_if_none: 'bool' = False" in out
    assert "auto_append_extend_name: 'bool' = True" in out
    assert "Traceback" not in out and "KeyError" not in out
