"""Sphinx configuration of the module's API page: python -m sphinx docs docs/_build."""
import re

project = "r7u_razarozu"
extensions = ["sphinx.ext.autodoc"]
exclude_patterns = ["_build"]

# A field line of a docstring: ":param name: ...", ":return: ...", and kin.
_FIELD = re.compile(r":(param|parameter|arg|key|keyword|type|raises?|except|returns?|rtype)\b")
# ":return None": one docstring leaves out the colon.
_BARE_RETURN = re.compile(r"^(:returns?) (?!.*:)")


def separate_field_lists(app, what, name, obj, options, lines):
    """Give each field list the blank line before it that reST asks for.

    The module's docstrings run their :param: and :return: lines straight on
    from the text, which reST would read as one paragraph.
    """
    out, in_fields = [], False
    for line in lines:
        line = _BARE_RETURN.sub(r"\1: ", line)
        field = _FIELD.match(line) is not None
        if field and not in_fields and out and out[-1].strip():
            out.append("")
        in_fields = field or (in_fields and bool(line.strip()))
        out.append(line)
    lines[:] = out


def setup(app):
    app.connect("autodoc-process-docstring", separate_field_lists)
