"""An application that keeps its settings in a folder tree, described in several languages.

    python app_settings.py [FOLDER] [--locale de_DE] [--set ui/window/theme=dark ...]

The defaults live in the code below, with their descriptions and limits. On start the
tree saved in FOLDER (default: app-settings) is loaded and merged into the defaults: a
setting the folder lacks takes its default, a saved value that breaks its limits falls
back to the default, and descriptions and limits always come from the code, so a new
release can reword them. Settings the code does not know are kept as they are, so an
older release does not wipe what a newer one stored. The settings are listed with their
descriptions in the chosen language (else the system's) and saved back.
"""
from __future__ import annotations

import argparse
import json
import os
from collections.abc import Iterator
from typing import Any

from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory


def defaults() -> ParameterDirectory:
    window = ParameterBook({
        "width": Parameter({"default": "Window width in pixels", "de_DE": "Fensterbreite in Pixeln",
                            "fr_FR": "Largeur de la fenêtre en pixels"}, value=1024, lo=320, hi=7680),
        "height": Parameter({"default": "Window height in pixels", "de_DE": "Fensterhöhe in Pixeln",
                             "fr_FR": "Hauteur de la fenêtre en pixels"}, value=768, lo=240, hi=4320),
        "theme": Parameter({"default": "Colour theme", "de_DE": "Farbschema", "fr_FR": "Thème de couleurs"},
                           value="light", choices=["light", "dark", "system"]),
    })
    network = ParameterBook({
        "timeout": Parameter({"default": "Time-out of a request in seconds",
                              "de_DE": "Zeitlimit einer Anfrage in Sekunden",
                              "fr_FR": "Délai d'attente d'une requête en secondes"}, value=2.5, lo=0.1, hi=60.0),
        "retries": Parameter({"default": "Attempts after a failed request",
                              "de_DE": "Versuche nach einer gescheiterten Anfrage",
                              "fr_FR": "Essais après une requête échouée"}, value=3, lo=0, hi=10),
        "proxy": Parameter({"default": "Proxy address, empty for none", "de_DE": "Proxy-Adresse, leer für keinen",
                            "fr_FR": "Adresse du proxy, vide pour aucun"}, value=""),
    })
    # The constructors copy what they are given, so every call returns a fresh tree.
    return ParameterDirectory({"ui": ParameterDirectory({"window": window}), "network": network})


def problem(setting: Parameter, value: Any) -> str | None:
    """Why `value` does not suit `setting` (whose attributes give type and limits), or None."""
    current = setting.value
    if type(value) is not type(current) and not (type(current) is float and type(value) is int):
        kind = type(current).__name__
        return f"expected {'an' if kind[0] in 'aeiou' else 'a'} {kind}, got {json.dumps(value)}"
    lo, hi, choices = setting.get("lo"), setting.get("hi"), setting.get("choices")
    if lo is not None and value < lo or hi is not None and value > hi:
        return f"{value} is outside {lo}..{hi}"
    if choices is not None and value not in choices:
        return f"{json.dumps(value)} is not one of {', '.join(choices)}"
    return None


def books(node: ParameterDirectory, prefix: str = "") -> Iterator[tuple[str, ParameterBook]]:
    """(path, book) for every book of a tree, depth first, in name order."""
    for name, item in sorted(node.items()):
        if isinstance(item, ParameterDirectory):
            yield from books(item, prefix + name + "/")
        else:
            yield prefix + name, item


class Settings:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.tree = defaults()
        self.warnings: list[str] = []
        if os.path.isdir(folder):
            self._merge(ParameterDirectory.load(folder))

    def _merge(self, saved: ParameterDirectory) -> None:
        for path, saved_book in books(saved):
            try:
                book = self.book(path)
            except KeyError:
                self._attach(path, saved_book)  # a book the code does not know: keep it
                continue
            for name, stored in saved_book.items():
                if name not in book.names():
                    book[name] = stored  # an unknown setting: keep it
                    continue
                value = stored.get("value")
                reason = problem(book[name], value)
                if reason:
                    self.warnings.append(f"{path}/{name}: {reason}; the default stays")
                else:
                    book[name].value = value

    def _attach(self, path: str, book: ParameterBook) -> None:
        node = self.tree
        *folders, name = path.split("/")
        for folder in folders:
            child = node[folder] if folder in node.names() else None
            if not isinstance(child, ParameterDirectory):
                child = node[folder] = ParameterDirectory()
            node = child
        node[name] = book

    def book(self, path: str) -> ParameterBook:
        """The book at a path such as "ui/window"; KeyError when there is none."""
        node: ParameterBook | ParameterDirectory = self.tree
        for part in path.split("/"):
            if not isinstance(node, ParameterDirectory):
                raise KeyError(path)
            node = node[part]
        if not isinstance(node, ParameterBook):
            raise KeyError(path)
        return node

    def get(self, path: str) -> Any:
        """The value of a setting such as "ui/window/width"."""
        book, _, name = path.rpartition("/")
        return self.book(book)[name].value

    def set(self, path: str, value: Any) -> None:
        book, _, name = path.rpartition("/")
        setting = self.book(book)[name]  # KeyError: only known settings can be set
        reason = problem(setting, value)
        if reason:
            raise ValueError(f"{path}: {reason}")
        setting.value = value

    def describe(self, locale: str | None) -> Iterator[str]:
        for path, book in books(self.tree):
            for name, setting in sorted(book.items()):
                if locale is None:
                    text = setting.description  # follows the system's language
                else:
                    text = setting.all_descriptions().get(locale) or setting.get_description()
                yield f"{path + '/' + name:22} {json.dumps(setting.value, ensure_ascii=False):>10}  {text}"

    def save(self) -> None:
        self.tree.save(self.folder)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Show and change this application's settings.")
    parser.add_argument("folder", nargs="?", default="app-settings", help="where the settings live")
    parser.add_argument("--locale", help="language of the descriptions, such as de_DE (default: the system's)")
    parser.add_argument("--set", action="append", default=[], metavar="PATH=VALUE",
                        help="change a setting, such as ui/window/theme=dark (VALUE is JSON, else text)")
    args = parser.parse_args(argv)

    settings = Settings(args.folder)
    for assignment in args.set:
        path, _, text = assignment.partition("=")
        try:
            value = json.loads(text)
        except ValueError:
            value = text
        try:
            settings.set(path, value)
        except (KeyError, ValueError) as error:
            parser.error(f"cannot set {path}: {error}")
    for warning in settings.warnings:
        print("warning:", warning)
    for line in settings.describe(args.locale):
        print(line)
    settings.save()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
