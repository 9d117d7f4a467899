"""Names that lose data only where the separator is a backslash are refused before any disk change (here
through ntpath bound to `_path`), and a failed save cannot lose a book on a folder that ignores case."""
import ntpath
import os
import posixpath
import types

import pytest

from platforms import on_disk
from r7u_razarozu import ParameterBook, ParameterDirectory


def snapshot(folder):
    return {n: open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder))}


REFUSED = [
    ("book", "a<b"), ("book", "a>b"), ("book", "a:b"), ("book", 'a"b'), ("book", "a|b"), ("book", "a?b"),
    ("book", "a*b"), ("book", "tab\there"), ("dir", "ctl\x1f"),
    ("book", "NUL"), ("book", "con"), ("book", "Com1"), ("book", "lpt9"), ("dir", "aux"), ("dir", "PRN.txt"),
    ("dir", "nul .x"), ("dir", "sub."), ("dir", "sub "),
    ("book", "x" * 249), ("book", "\U0001f600" * 125), ("dir", "y" * 256),
]


@pytest.mark.parametrize("kind, name", REFUSED, ids=[repr(n)[:20] for _, n in REFUSED])
def test_windows_unsafe_names_refused(tmp_path, rebind, kind, name):
    folder = str(tmp_path)
    (tmp_path / "keep.d7ori").write_bytes(b"[]")
    before = snapshot(folder)
    rebind("_path", ntpath)
    item = ParameterBook() if kind == "book" else ParameterDirectory()
    tree = ParameterDirectory({"first": ParameterBook(values={"v": 1}), name: item})
    with pytest.raises(ValueError) as e:
        tree.save(folder)
    assert e.value.args[0].startswith(f"Cannot save the {'book' if kind == 'book' else 'sub-directory'} item ")
    assert snapshot(folder) == before


@pytest.mark.parametrize("names", [("A", "a"), ("Sub", "sub"), ("Ä", "ä")])
def test_names_equal_after_case_folding_refused(tmp_path, rebind, names):
    rebind("_path", ntpath)
    kind = ParameterDirectory if names[0] == "Sub" else ParameterBook
    tree = ParameterDirectory({n: kind() for n in names})
    with pytest.raises(ValueError, match="would share its entry"):
        tree.save(str(tmp_path / "t"))
    assert os.listdir(tmp_path) == []


def test_the_same_names_are_fine_where_the_host_allows_them(tmp_path):
    names = ["a:b", "NUL", "com1", "sub ", "A", "a", 'q"uote']
    tree = ParameterDirectory({n: ParameterBook(values={"v": i}) for i, n in enumerate(names)})
    tree.save(str(tmp_path / "t"))
    loaded = ParameterDirectory.load(str(tmp_path / "t"))
    assert sorted(loaded.names()) == sorted(names)


def case_insensitive(root):
    """`_os` and `_path` stand-ins that treat every path below `root` as its lower-case spelling."""
    def ci(p):
        return p[:len(root)] + p[len(root):].lower() if p.startswith(root) else p

    path = types.SimpleNamespace(
        sep=posixpath.sep, dirname=posixpath.dirname, basename=posixpath.basename,
        exists=lambda p: os.path.exists(ci(p)), isdir=lambda p: os.path.isdir(ci(p)),
        isfile=lambda p: os.path.isfile(ci(p)), normcase=lambda p: p.lower())
    fs = types.SimpleNamespace(
        listdir=lambda p: os.listdir(ci(p)), makedirs=lambda p: os.makedirs(ci(p)),
        rename=lambda a, b: os.rename(ci(a), ci(b)), remove=lambda p: os.remove(ci(p)))
    return fs, path


def test_failed_save_after_a_case_only_rename_keeps_the_book(tmp_path, rebind):
    root = str(tmp_path / "ci")
    os.mkdir(root)
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1}), "z": ParameterBook(values={"v": 1})})
    tree.save(root)
    before = snapshot(root)
    fs, path = case_insensitive(root)
    rebind("_os", fs)
    rebind("_path", path)
    tree.rename("a", "A")
    tree["A"].set_parameter_value("v", 1 + 2j)   # the save of "A" fails
    with pytest.raises(TypeError):
        tree.save(root)
    assert snapshot(root) == before


def test_book_file_spelled_in_other_case_is_not_overwritten(tmp_path, monkeypatch):
    folder = tmp_path / "t"
    folder.mkdir()
    (folder / "B.D7ORI").write_bytes(b"kept")
    tree = ParameterDirectory({"B": ParameterBook(values={"v": 1})})
    # Where letter case tells files apart, B.D7ORI is just another file.
    tree.save(str(folder))
    assert snapshot(folder) == {"B.D7ORI": b"kept", "B.d7ori": on_disk(str(tree["B"]))}
    os.remove(folder / "B.d7ori")
    # Where it does not (the host says both names are one file), the save
    # refuses instead of writing into a file that load would not read.
    monkeypatch.setattr(os.path, "samefile", lambda a, b: True)
    with pytest.raises(ValueError, match=r"^Cannot save the book item 'B': the folder holds its file as 'B.D7ORI'"):
        tree.save(str(folder))
    assert snapshot(folder) == {"B.D7ORI": b"kept"}
