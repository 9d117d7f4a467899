"""Application settings as Python objects, stored as JSON files.

- Parameter: one setting; named attribute values (int, float, str, bool,
  complex, and lists and dicts of these) plus a description text per locale.
- ParameterBook: an ordered set of named parameters, saved as one
  pretty-printed UTF-8 JSON file with the extension "d7ori".
- ParameterDirectory: a tree of books and sub-directories, saved as a
  folder tree (one folder per directory, one book file per book).

Attribute syntax reaches the entries of these objects, so reading a missing
name raises KeyError, not AttributeError (hasattr() propagates it too); ask
with names(), get() or get_parameter_value() instead. Many checks are
assertions: they raise AssertionError and are skipped under python -O.
"""

# Type information for the extension module r7u_razarozu.
#
# An extension module cannot carry inline annotations, so these stubs ship as
# the stub-only package r7u_razarozu-stubs inside the module's wheel. Editors
# show the docstrings below; the module's own docstrings are not changed.
#
# The classes route unknown attribute names to their entries. Parameter
# declares __getattr__, so p.value reads as Any. ParameterBook and
# ParameterDirectory leave it out on purpose: a misspelt method name is then
# reported by name, and typed code reads entries by subscription
# (book["speed"], tree["ui"]). Assignment and deletion by attribute stay typed.

import json
import locale
import os
import sys
import types
from _collections_abc import dict_items, dict_keys
from collections.abc import Callable
from typing import Any as Any
from typing import ClassVar, Dict, Final, List, Optional, TypeAlias, TypedDict, TypeVar, Union, overload, type_check_only

# What a parameter's constructor accepts as an attribute value: int (bool
# included), float, str, complex, and lists and dicts of these at any depth.
# The element types of lists and dicts are left open: list and dict are
# invariant, so spelling them out would refuse a list[int] held in a variable.
_AttributeValue: TypeAlias = int | float | str | complex | list[Any] | dict[Any, Any]
_SharedT = TypeVar("_SharedT", bound=int | float | str)
# A dict of values held in a variable keeps its narrower type (dict[str, int]).
_ValueT = TypeVar("_ValueT", bound=_AttributeValue)

# An entry of a directory.
_Item: TypeAlias = ParameterBook | ParameterDirectory

@type_check_only
class _ParameterForm(TypedDict):
    """The dictionary form of one named parameter (Parameter.to_dict)."""

    name: str
    description: dict[str, str]
    attributes: dict[str, Any]

# Aliases the module binds at import; its functions reach the standard
# modules through them at each call, so rebinding one takes effect.
if sys.version_info >= (3, 14):
    # From 3.14 typing.Union is the class of X | Y unions itself.
    _Union: type[types.UnionType]
else:
    _Union = Union
_Dict = Dict
_Optional = Optional
_List = List
_locale = locale
_json = json
_path = os.path
_os = os

LIMIT_MODE_ABSOLUTE: Final = 0
"""Limit mode constant 0: a limit given as an absolute value (the module does not use it itself)."""
LIMIT_MODE_RELATIVE: Final = 1
"""Limit mode constant 1: a limit relative to a value (the module does not use it itself)."""
LIMIT_MODE_RELATIVE_PERCENTAGE: Final = 2
"""Limit mode constant 2: a limit in percent of a value (the module does not use it itself)."""
InvalidNameCharacters: Final = '.\\/:*?"<>|'
"""The ten characters that do not belong in a file name: . \\ / : * ? " < > |"""

_value_cls_map: dict[str, Callable[..., Any]]
__test__: dict[str, Any]

@overload
def _clone_attribute(attr: _SharedT) -> _SharedT:
    """Deep-copy an attribute value, as the Parameter constructor does.

    An int, bool, float or str is returned as it is; a complex number is
    copied; a list or dict is copied into a new plain list or dict, with
    every item, key and value copied the same way.

    Raises:
        TypeError: a value (or an element at any depth) that is not an
            attribute value, such as None, a tuple, a set or bytes:
            "Error: Unsupported attribute type: <class '...'>".
        RecursionError: a list or dict that contains itself, or is nested
            too deeply.
    """
@overload
def _clone_attribute(attr: complex) -> complex:
    """Deep-copy an attribute value: a complex number is copied."""
@overload
def _clone_attribute(attr: list[Any]) -> list[Any]:
    """Deep-copy an attribute value: a list into a new list, every item copied."""
@overload
def _clone_attribute(attr: dict[Any, Any]) -> dict[Any, Any]:
    """Deep-copy an attribute value: a dict into a new dict, every key and value copied."""

class Parameter:
    """One setting: named attribute values plus description texts per locale.

    The attribute values are reached in three ways: methods (get,
    get_or_set, items, names, clear), subscription (p["value"]) and
    attribute syntax (p.value). The descriptions are texts under locale
    keys such as "de_DE", with the fallback key "default". A parameter does
    not know its own name: the book that holds it keys it by name.
    """

    _Parameter__description: dict[str, str]
    _Parameter__attributes: dict[str, Any]
    def __init__(self, description: str | dict[str, str] = "", **kwargs: _AttributeValue) -> None:
        """Make a parameter from a description and attribute values.

        Args:
            description: the "default" description text, or a dict of texts
                by locale that holds a "default" text (copied).
            **kwargs: the attribute values, each deep-copied: int, bool,
                float, str, complex, and lists and dicts of these.

        Raises:
            TypeError: an attribute value of another type (None, a tuple,
                ...), or a description that is neither str nor dict
                (under python -O; AssertionError otherwise).
            AssertionError: a non-empty dict description without "default".
        """
    def clone(self) -> Parameter:
        """Return a deep copy: new maps, every value copied."""
    def items(self) -> dict_items[str, Any]:
        """Return a live view of the (name, value) pairs, in insertion order."""
    def names(self) -> dict_keys[str, Any]:
        """Return a live view of the attribute names, in insertion order.

        Test for a name with `name in p.names()`; `name in p` does not work.
        """
    def clear(self) -> None:
        """Remove every attribute value; the descriptions stay."""
    def __getattr__(self, item: str) -> Any:
        """Return the attribute value `item` (p.item).

        Raises:
            KeyError: no attribute of that name (not AttributeError).
        """
    def __setattr__(self, key: str, value: Any) -> None:
        """Store `value` itself, unchecked and uncopied, under `key` (p.key = value)."""
    def __delattr__(self, item: str) -> None:
        """Remove the attribute `item` (del p.item).

        Raises:
            KeyError: no attribute of that name.
        """
    def get(self, name: str, default: Any = None, raise_if_none: bool = False) -> Any:
        """Return the value of the attribute `name`, or `default` when it is absent.

        Args:
            name: the attribute name (exactly a str).
            default: what an absent name gives.
            raise_if_none: with a default of None, raise KeyError for an
                absent name instead of returning None.

        Raises:
            KeyError: `name` absent, `default` None and `raise_if_none` true.
            TypeError: `name` is not exactly a str.
        """
    def get_or_set(self, name: str, value: Any) -> Any:
        """Return the value of the attribute `name`; when absent, first store `value` there.

        Raises:
            TypeError: `name` is not exactly a str.
        """
    def __getitem__(self, item: str) -> Any:
        """Return the attribute value `item` (p[item]).

        Raises:
            KeyError: no attribute of that name.
        """
    def __setitem__(self, key: str, value: Any) -> None:
        """Store `value` itself, uncopied, under `key` (p[key] = value).

        Raises:
            AssertionError: `key` is not a str (skipped under python -O).
        """
    def __delitem__(self, key: str) -> None:
        """Remove the attribute `key` (del p[key]).

        Raises:
            KeyError: no attribute of that name.
        """
    @property
    def description(self) -> str:
        """The description in the system's language, else the "default" text.

        The language comes from locale.getdefaultlocale() at every read
        (the environment variables LC_ALL, LC_CTYPE, LANG, LANGUAGE).
        Read-only: use set_description to change a text.

        Raises:
            KeyError: neither the language nor "default" has a text.
        """
    def get_description(self, locale: str = "default") -> str:
        """Return the description text under `locale`, with no fallback.

        Raises:
            KeyError: no text under `locale`.
            TypeError: `locale` is not exactly a str.
        """
    def set_description(self, description: str, locale: str = "default") -> None:
        """Store the description text `description` under `locale`.

        Raises:
            TypeError: `description` or `locale` is not exactly a str.
        """
    def all_descriptions(self) -> dict[str, str]:
        """Return the map of description texts by locale itself (not a copy)."""
    def to_dict(self, name: str) -> _ParameterForm:
        """Return the dictionary form {"name": name, "description": ..., "attributes": ...}.

        The description and attribute maps in it are the parameter's own,
        not copies. A book file holds one such form per parameter.

        Raises:
            TypeError: `name` is not exactly a str.
        """
    @staticmethod
    def from_dict(data: _ParameterForm | dict[str, Any]) -> tuple[str, Parameter]:
        """Make a (name, new parameter) pair from a dictionary form (see to_dict).

        Every value and description is deep-copied; extra keys are ignored.

        Raises:
            TypeError: `data` is not exactly a dict, or a value is not an
                attribute value (such as None from a JSON null).
            AssertionError: a key is missing or has the wrong type (under
                python -O a missing key raises KeyError).
        """

class ParameterBook:
    """An ordered set of named parameters, saved as one JSON book file.

    Parameters are reached by name through methods, subscription
    (book["speed"]) and attribute syntax (book.speed); typed code reads them
    by subscription, so that a misspelt method name is reported as such.
    The value accessors work on the attribute "value" of a parameter. A book
    has no len() and no iteration of its own: use names() and items().
    """

    ExtName: ClassVar[str]
    """The extension of book files, "d7ori" (without the dot)."""
    _ParameterBook__parameters: dict[str, Parameter]
    # Two variants, since dict is invariant: a literal of mixed values, and a
    # dict[str, int] (say) held in a variable.
    @overload
    def __init__(
        self, parameters: dict[str, Parameter] | None = None, values: dict[str, _AttributeValue] | None = None
    ) -> None:
        """Make a book from parameters and plain values.

        Args:
            parameters: parameters by name, stored as clones.
            values: plain values by name, stored as set_parameter_value
                stores them (after `parameters`).

        Raises:
            TypeError: `parameters` or `values` is neither None nor exactly a
                dict, a name of `values` is not exactly a str, or a value is
                not an attribute value.
            AssertionError: a name that is not a str or an entry of
                `parameters` that is not a Parameter.
        """
    @overload
    def __init__(
        self, parameters: dict[str, Parameter] | None = None, values: dict[str, _ValueT] | None = None
    ) -> None:
        """Make a book from parameters and a dict of plain values of one type."""
    def clone(self) -> ParameterBook:
        """Return a deep copy: every parameter cloned, in the same order."""
    def items(self) -> dict_items[str, Parameter]:
        """Return a live view of the (name, parameter) pairs, in insertion order."""
    def names(self) -> dict_keys[str, Parameter]:
        """Return a live view of the parameter names, in insertion order."""
    def clear(self) -> None:
        """Remove every parameter from the book (the parameters themselves stay as they are)."""
    def __setattr__(self, key: str, value: Parameter) -> None:
        """Store the parameter `value` itself under `key` (book.key = value).

        Raises:
            AssertionError: `value` is not a Parameter (skipped under python -O).
        """
    def __delattr__(self, item: str) -> None:
        """Remove the parameter `item` (del book.item).

        Raises:
            KeyError: no parameter of that name.
        """
    def __getitem__(self, item: str) -> Parameter:
        """Return the parameter `item` (book[item]).

        Raises:
            KeyError: no parameter of that name.
        """
    def __setitem__(self, key: str, value: Parameter) -> None:
        """Store the parameter `value` itself under `key` (book[key] = value).

        Raises:
            AssertionError: `key` is not a str or `value` is not a Parameter
                (skipped under python -O).
        """
    def __delitem__(self, key: str) -> None:
        """Remove the parameter `key` (del book[key]).

        Raises:
            KeyError: no parameter of that name.
        """
    def get_parameter_value(self, name: str, default: Any = None) -> Any:
        """Return the attribute "value" of the parameter `name`.

        An absent parameter, or one without "value", gives `default`.

        Raises:
            TypeError: `name` is not exactly a str.
        """
    def set_parameter_value(self, name: str, value: _AttributeValue) -> None:
        """Set the attribute "value" of the parameter `name` to `value`.

        An existing parameter keeps its place, other attributes and
        descriptions; an absent name becomes a new parameter at the end.
        `value` is typed as an attribute value: a new parameter refuses
        anything else, and a book file cannot carry anything else back.

        Raises:
            TypeError: `name` is not exactly a str, or a new parameter's
                `value` is not an attribute value.
        """
    def get_or_set_parameter_value(self, name: str, value: _AttributeValue) -> Any:
        """Return the attribute "value" of the parameter `name`; when absent, first store `value`.

        Raises:
            TypeError: `name` is not exactly a str, or a new parameter's
                `value` is not an attribute value.
        """
    def rename(self, old: str, new: str) -> None:
        """Move the parameter `old` to the name `new`, at the end of the order.

        Raises:
            KeyError: "Old name `old` does not exist." or "New name `new`
                already exists.", with the names filled in.
            TypeError: `old` or `new` is not exactly a str.
            AssertionError: `new` is empty (skipped under python -O).
        """
    def __str__(self) -> str:
        """Return the book text: the JSON a book file holds (names sorted, indent 4).

        Raises:
            TypeError: a value JSON cannot carry, such as a complex number.
        """
    def save(self, filename: str, auto_append_extend_name: bool = True) -> None:
        """Write the book text to the file `filename`, in UTF-8.

        Missing folders of the path are made. ".d7ori" is appended unless
        `filename` already ends in "d7ori" or `auto_append_extend_name` is
        false. On POSIX systems the file is replaced as a whole: it holds
        either its old or its complete new text, also after a crash.

        Raises:
            TypeError: `filename` is not exactly a str, or a value JSON
                cannot carry (the file keeps its old text).
            OSError: the folder or file cannot be made or written.
            AssertionError: the folder part exists and is not a folder.
        """
    @staticmethod
    def load(filename: str) -> ParameterBook:
        """Read a book file (the name is taken as given) and return a new book.

        Raises:
            TypeError: `filename` is not exactly a str, or the file holds a
                value that is not an attribute value (such as null).
            AssertionError: no such file, or the JSON is not an array of
                objects (under python -O a missing file raises OSError).
            OSError: the file cannot be read.
            ValueError: the file is not UTF-8 JSON (UnicodeDecodeError,
                json.JSONDecodeError).
        """

class ParameterDirectory:
    """A tree node holding books and sub-directories by name, saved as a folder tree.

    Items are reached by name through methods, subscription (tree["ui"])
    and attribute syntax (tree.ui); typed code reads them by subscription.
    save() writes one folder per directory and one book file per book;
    load() reads such a folder tree back. A directory has no len() and no
    iteration of its own: use names() and items().
    """

    _ParameterDirectory__parameters: dict[str, _Item]
    # One variant per dict type, since dict is invariant: a dict[str, ParameterBook]
    # is welcome as it is.
    @overload
    def __init__(self, parameters: dict[str, _Item] | None = None) -> None:
        """Make a directory from books and sub-directories by name, each stored as a clone.

        Raises:
            TypeError: `parameters` is neither None nor exactly a dict.
            AssertionError: a name that is not a str or an item that is
                neither a ParameterBook nor a ParameterDirectory.
        """
    @overload
    def __init__(self, parameters: dict[str, ParameterBook]) -> None:
        """Make a directory from books by name, each stored as a clone."""
    @overload
    def __init__(self, parameters: dict[str, ParameterDirectory]) -> None:
        """Make a directory from sub-directories by name, each stored as a clone."""
    def clone(self) -> ParameterDirectory:
        """Return a deep copy of the whole tree, in the same order."""
    def items(self) -> dict_items[str, _Item]:
        """Return a live view of the (name, item) pairs, in insertion order."""
    def names(self) -> dict_keys[str, _Item]:
        """Return a live view of the item names, in insertion order."""
    def __setattr__(self, key: str, value: _Item) -> None:
        """Store the book or directory `value` itself under `key` (tree.key = value).

        Raises:
            AssertionError: `value` is neither a ParameterBook nor a
                ParameterDirectory (skipped under python -O).
        """
    def __delattr__(self, item: str) -> None:
        """Remove the item `item` (del tree.item).

        Raises:
            KeyError: no item of that name.
        """
    def __delitem__(self, key: str) -> None:
        """Remove the item `key` (del tree[key]).

        Raises:
            KeyError: no item of that name.
        """
    def __getitem__(self, item: str) -> _Item:
        """Return the item `item` (tree[item]).

        Raises:
            KeyError: no item of that name.
        """
    def __setitem__(self, key: str, value: _Item) -> None:
        """Store the book or directory `value` itself under `key` (tree[key] = value).

        Raises:
            AssertionError: `key` is not a str or `value` is neither a
                ParameterBook nor a ParameterDirectory (skipped under python -O).
        """
    def clear(self) -> None:
        """Remove every item from the directory."""
    def rename(self, old: str, new: str) -> None:
        """Move the item `old` to the name `new`, at the end of the order (this level only).

        Raises:
            KeyError: "Old name `old` does not exist." or "New name `new`
                already exists.", with the names filled in.
            TypeError: `old` or `new` is not exactly a str.
            AssertionError: `new` is empty (skipped under python -O).
        """
    @staticmethod
    def _backup_books_in_this_directory(directory: str) -> list[str]:
        """Set the book files of the folder `directory` aside as backups; return their names.

        A step of save(), which removes the backups once the folder is saved.

        Raises:
            TypeError: `directory` is not exactly a str.
            OSError: the folder cannot be listed or a file cannot be set aside.
        """
    def save(self, directory: str) -> None:
        """Write the tree to the folder `directory`: a folder per directory, a file per book.

        The folder is made when missing. Book files of a saved folder that
        belong to no book of the directory are removed; other files and
        sub-folders stay. A save that fails leaves each folder it touched
        with its book files' old or complete new texts.

        Raises:
            TypeError: `directory` is not exactly a str, or a value JSON
                cannot carry.
            ValueError: an item name that cannot be a file or folder name
                (a path separator, a "." in a book name, two names for one
                file, a name too long), found before anything is written.
            OSError: a folder or file cannot be made, written or renamed.
            AssertionError: the path exists and is not a folder.
        """
    @staticmethod
    def load(directory: str) -> ParameterDirectory:
        """Read the folder tree `directory` and return a new directory.

        Each sub-folder becomes a sub-directory and each "*.d7ori" file a
        book (named by the file name up to its first "."); other files are
        ignored.

        Raises:
            TypeError: `directory` is not exactly a str.
            OSError: the path is not a readable folder.
            Any error of ParameterBook.load for a book file.
        """
