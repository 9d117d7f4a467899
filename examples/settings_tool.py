"""List and edit a saved settings tree from the command line, showing a diff of each change.

    python settings_tool.py FOLDER list [PATH]
    python settings_tool.py FOLDER show BOOK
    python settings_tool.py FOLDER set BOOK/NAME VALUE [--attribute ATTR]
    python settings_tool.py FOLDER describe BOOK/NAME TEXT [--locale LOCALE]
    python settings_tool.py FOLDER rename BOOK OLD NEW
    python settings_tool.py FOLDER delete BOOK/NAME
    python settings_tool.py                         (a short demonstration in a temporary folder)

A BOOK is a path of directory names and a book name, such as ui/window for the book file
ui/window.d7ori. VALUE is read as JSON (3, 2.5, true, "text", [1, 2], {"a": 1}) and taken as
plain text when it is not JSON. Every editing command saves the tree, loads it back and
prints a unified diff between the settings before and after, one line per attribute and
description; --dry-run prints the diff without saving.
"""
from __future__ import annotations

import argparse
import contextlib
import difflib
import json
import os
import shlex
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory


def books(node: ParameterDirectory, prefix: str = "") -> Iterator[tuple[str, ParameterBook]]:
    """(path, book) for every book of a tree, depth first, in name order."""
    for name in sorted(node.names()):
        item = node[name]
        if isinstance(item, ParameterDirectory):
            yield from books(item, prefix + name + "/")
        else:
            yield prefix + name, item


def lines(tree: ParameterDirectory, under: str = "") -> list[str]:
    """One line per attribute and per description of every parameter below a path."""
    out = []
    for path, book in books(tree):
        for name in sorted(book.names()):
            full = f"{path}/{name}"
            if under and full != under and not full.startswith(under.rstrip("/") + "/"):
                continue
            parameter = book[name]
            for attribute, value in parameter.items():
                out.append(f"{full}.{attribute} = {json.dumps(value, ensure_ascii=False)}")
            for locale, text in parameter.all_descriptions().items():
                out.append(f"{full}[{locale}] = {json.dumps(text, ensure_ascii=False)}")
    return out


def find_book(tree: ParameterDirectory, path: str, create: bool = False) -> ParameterBook:
    """The book at `path`; with `create`, a missing book and its directories are made."""
    *folders, name = path.split("/")
    node = tree
    for folder in folders:
        if folder not in node.names():
            if not create:
                raise LookupError(f"no directory {folder} in {path}")
            node[folder] = ParameterDirectory()
        child = node[folder]
        if not isinstance(child, ParameterDirectory):
            raise LookupError(f"{folder} in {path} is a book, not a directory")
        node = child
    if name not in node.names():
        if not create:
            raise LookupError(f"no book {path}")
        node[name] = ParameterBook()
    book = node[name]
    if not isinstance(book, ParameterBook):
        raise LookupError(f"{path} is a directory, not a book")
    return book


def find_parameter(tree: ParameterDirectory, path: str) -> tuple[ParameterBook, str]:
    """The book holding the parameter at `path` (BOOK/NAME), and the parameter's name."""
    book_path, _, name = path.rpartition("/")
    book = find_book(tree, book_path)
    if name not in book.names():
        raise LookupError(f"no parameter {name} in {book_path}")
    return book, name


def parse_value(text: str) -> Any:
    try:
        value = json.loads(text)
    except ValueError:
        return text
    # Only what a parameter can store and load again: the constructor checks it (a JSON
    # null is refused with TypeError) and hands back its own copy.
    return Parameter(value=value).value


def edit(args: argparse.Namespace, tree: ParameterDirectory) -> None:
    if args.command == "set":
        book_path, _, name = args.parameter.rpartition("/")
        book = find_book(tree, book_path, create=True)
        if name not in book.names():
            book[name] = Parameter()
        book[name][args.attribute] = parse_value(args.value)
    elif args.command == "describe":
        book, name = find_parameter(tree, args.parameter)
        book[name].set_description(args.text, args.locale)
    elif args.command == "rename":
        find_book(tree, args.book).rename(args.old, args.new)  # KeyError when a name is wrong
    elif args.command == "delete":
        book, name = find_parameter(tree, args.parameter)
        del book[name]


def run(args: argparse.Namespace) -> int:
    tree = ParameterDirectory.load(args.folder)
    if args.command == "list":
        print("\n".join(lines(tree, args.path)))
        return 0
    if args.command == "show":
        print(find_book(tree, args.book))  # the book text, as the book file holds it
        return 0
    before = lines(tree)
    edit(args, tree)
    if not args.dry_run:
        tree.save(args.folder)
        tree = ParameterDirectory.load(args.folder)  # the diff shows what was really stored
    diff = list(difflib.unified_diff(before, lines(tree), "before", "after", lineterm="", n=0))
    print("\n".join(diff) if diff else "no change")
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(description="List and edit a saved settings tree.")
    top.add_argument("folder", help="the folder the tree was saved to")
    top.add_argument("--dry-run", action="store_true", help="print the diff of an edit without saving")
    commands = top.add_subparsers(dest="command", required=True)
    listing = commands.add_parser("list", help="every attribute and description, one per line")
    listing.add_argument("path", nargs="?", default="", help="only below this path")
    show = commands.add_parser("show", help="the text of one book")
    show.add_argument("book")
    set_ = commands.add_parser("set", help="set an attribute (the value by default), adding what is missing")
    set_.add_argument("parameter", help="BOOK/NAME")
    set_.add_argument("value", help="JSON, else plain text")
    set_.add_argument("--attribute", default="value")
    describe = commands.add_parser("describe", help="set a description text")
    describe.add_argument("parameter", help="BOOK/NAME")
    describe.add_argument("text")
    describe.add_argument("--locale", default="default", help="such as de_DE (default: the fallback text)")
    rename = commands.add_parser("rename", help="give a parameter of a book a new name")
    rename.add_argument("book")
    rename.add_argument("old")
    rename.add_argument("new")
    delete = commands.add_parser("delete", help="remove a parameter")
    delete.add_argument("parameter", help="BOOK/NAME")
    return top


def main(argv: list[str]) -> int:
    args = parser().parse_args(argv)
    try:
        return run(args)
    except KeyError as error:  # from rename: its argument is the whole message
        print(f"error: {error.args[0]}", file=sys.stderr)
    except (LookupError, TypeError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
    return 1


def demo() -> None:
    with tempfile.TemporaryDirectory() as folder:
        ParameterDirectory({
            "ui": ParameterDirectory({"window": ParameterBook(values={"width": 1024, "theme": "light"})}),
            "network": ParameterBook({"timeout": Parameter("Time-out in seconds", value=2.5, hi=60)}),
        }).save(folder)
        for command in (["list"], ["set", "ui/window/width", "1280"], ["set", "ui/window/height", "800"],
                        ["set", "network/timeout", "120", "--attribute", "hi"],
                        ["describe", "network/timeout", "Zeitlimit in Sekunden", "--locale", "de_DE"],
                        ["rename", "ui/window", "theme", "colours"], ["delete", "ui/window/nothing"],
                        ["show", "network"]):
            print("$ settings_tool.py FOLDER " + shlex.join(command))
            # The demonstration shows its refused command as part of the transcript: the
            # error goes to standard output here, so that a good run writes nothing to stderr.
            with contextlib.redirect_stderr(sys.stdout):
                main([folder, *command])
            print()
        print(sorted(os.listdir(folder)))


if __name__ == "__main__":
    if len(sys.argv) == 1:
        demo()
    else:
        raise SystemExit(main(sys.argv[1:]))
