"""ParameterDirectory on disk: folder layout, backups, load, unsafe names and failed saves."""
import errno
import os
import subprocess
import sys
import textwrap

import pytest

from helpers import book
from leakcheck import refcounts
from platforms import needs_fifos, needs_symlinks
from platforms import on_disk as file_bytes
from r7u_razarozu import ParameterBook, ParameterDirectory

ROUTED = "_ParameterDirectory__parameters"
BOOK_MAP = "_ParameterBook__parameters"


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------

def directory(**items):
    d = ParameterDirectory()
    for name, item in items.items():
        d[name] = item
    return d


def bare(cls, content=None):
    """A ParameterBook subclass instance, given its mapping directly."""
    obj = object.__new__(cls)
    vars(obj)[BOOK_MAP] = {} if content is None else content
    return obj


def expected_files(tree, prefix=""):
    """{relative path: bytes} of the book files a save of `tree` writes, and its folders."""
    files, dirs = {}, set()
    for name, item in tree.items():
        if isinstance(item, ParameterDirectory):
            dirs.add(prefix + name)
            f, d = expected_files(item, prefix + name + "/")
            files.update(f)
            dirs |= d
        else:
            try:
                files[prefix + name + ".d7ori"] = file_bytes(str(item))
            except TypeError:
                pass  # a book that cannot be written has no file to expect
    return files, dirs


def on_disk(root):
    files, dirs = {}, set()
    for top, subdirs, names in os.walk(root):
        rel = os.path.relpath(top, root)
        rel = "" if rel == "." else rel.replace(os.sep, "/") + "/"
        dirs |= {rel + s for s in subdirs}
        for n in names:
            with open(os.path.join(top, n), "rb") as f:
                files[rel + n] = f.read()
    return files, dirs


def book_files(files):
    return {k: v for k, v in files.items() if k.endswith(".d7ori")}


def backups(files):
    return sorted(k for k in files if k.endswith(".d7ori-"))


def describe(d):
    """Order-free picture of a tree: sub-directories as dicts, books as their text."""
    return {name: describe(item) if isinstance(item, ParameterDirectory) else str(item)
            for name, item in d.items()}


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Recorder:
    """A module stand-in that logs every call made through it."""

    def __init__(self, real, tag, log, **overrides):
        self._real, self._tag, self._log, self._over = real, tag, log, overrides

    def __getattr__(self, name):
        if name in self._over:
            attr = self._over[name]
        else:
            attr = getattr(self._real, name)
        if not callable(attr):
            return attr

        def call(*args, **kwargs):
            self._log.append((self._tag, name, args, kwargs) if kwargs else (self._tag, name, args))
            return attr(*args, **kwargs)

        return call


class FaultyOS:
    """`os` whose makedirs, rename and remove fail on the k-th such call (from 1),
    or on every one from the k-th on."""

    def __init__(self, fail_at=None, persistent=False):
        self.calls, self.fail_at, self.persistent, self.fired = [], fail_at, persistent, None

    def __getattr__(self, name):
        return getattr(os, name)

    def _counted(self, name, *args):
        self.calls.append((name, args))
        n = len(self.calls)
        if self.fail_at is not None and (n == self.fail_at or (self.persistent and n > self.fail_at)):
            if self.fired is None:
                self.fired = (n, name, args)
            raise OSError(f"injected fault {n}")
        return getattr(os, name)(*args)

    def makedirs(self, *args):
        return self._counted("makedirs", *args)

    def rename(self, *args):
        return self._counted("rename", *args)

    def remove(self, *args):
        return self._counted("remove", *args)


# ---------------------------------------------------------------------------
# Layout and round trips
# ---------------------------------------------------------------------------

def sample_tree():
    return directory(
        a=book(x=1, s="ü"),
        sub=directory(c=book(y=[1, 2], z={"k": "v"}), deep=directory(d=book(w=2.5))),
        b=book(),
        empty=ParameterDirectory(),
    )


def test_save_writes_exact_files_and_folders_creating_every_level(tmp_path):
    tree = sample_tree()
    target = tmp_path / "x" / "y" / "conf"
    assert tree.save(str(target)) is None
    files, dirs = on_disk(tmp_path / "x" / "y" / "conf")
    exp_files, exp_dirs = expected_files(tree)
    assert files == exp_files and dirs == exp_dirs
    assert set(exp_files) == {"a.d7ori", "b.d7ori", "sub/c.d7ori", "sub/deep/d.d7ori"}
    assert exp_dirs == {"sub", "sub/deep", "empty"}


def test_round_trip_of_a_nested_tree(tmp_path):
    tree = sample_tree()
    tree.save(str(tmp_path / "t"))
    loaded = ParameterDirectory.load(str(tmp_path / "t"))
    assert type(loaded) is ParameterDirectory and describe(loaded) == describe(tree)
    assert type(loaded["sub"]["deep"]) is ParameterDirectory and type(loaded["a"]) is ParameterBook
    assert list(loaded["empty"].names()) == []
    # The loaded tree saves to the same bytes.
    loaded.save(str(tmp_path / "u"))
    assert on_disk(tmp_path / "u") == on_disk(tmp_path / "t")


def test_save_again_replaces_files_and_leaves_no_backup(tmp_path):
    p = str(tmp_path / "t")
    sample_tree().save(p)
    changed = sample_tree()
    changed["a"].set_parameter_value("x", 99)
    changed["sub"]["c"] = book(q="new")
    changed.save(p)
    files, _ = on_disk(p)
    assert book_files(files) == expected_files(changed)[0] and backups(files) == []
    assert not [f for f in files if f.endswith("-")]


def test_other_files_and_foreign_folders_stay_and_dropped_books_lose_their_files(tmp_path):
    p = tmp_path / "t"
    sample_tree().save(str(p))
    write(str(p / "notes.txt"), b"notes")
    write(str(p / "a.d7ori-old"), b"keep")
    write(str(p / "d7ori"), b"not a book file")
    write(str(p / "foreign" / "x.d7ori"), b"foreign book")
    write(str(p / "sub" / "readme"), b"r")
    smaller = directory(a=book(x=2), sub=directory())
    smaller.save(str(p))
    files, dirs = on_disk(p)
    assert files == {
        "a.d7ori": file_bytes(str(smaller["a"])),
        "notes.txt": b"notes", "a.d7ori-old": b"keep", "d7ori": b"not a book file",
        "foreign/x.d7ori": b"foreign book", "sub/readme": b"r",
        # deep is no longer in the tree: its folder is not this save's business
        "sub/deep/d.d7ori": expected_files(sample_tree())[0]["sub/deep/d.d7ori"],
    }
    assert dirs == {"sub", "sub/deep", "empty", "foreign"}


def test_empty_directory_into_folder_with_books(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"[]")
    write(str(p / "b.d7ori"), b"[]")
    write(str(p / "sub" / "c.d7ori"), b"[]")
    ParameterDirectory().save(str(p))
    assert on_disk(p) == ({"sub/c.d7ori": b"[]"}, {"sub"})


def test_names_with_dots_and_folders_named_like_books(tmp_path):
    p = tmp_path / "t"
    # A book named "a.b" would load as "a": refused before anything is written.
    with pytest.raises(ValueError, match=r"^Cannot save the book item 'a\.b': "):
        directory(**{"a.b": book(v=1), "x.d7ori": directory(inner=book(v=2))}).save(str(p))
    assert not p.exists()
    tree = directory(**{"x.d7ori": directory(inner=book(v=2))})
    tree.save(str(p))
    files, dirs = on_disk(p)
    assert set(files) == {"x.d7ori/inner.d7ori"} and dirs == {"x.d7ori"}
    loaded = ParameterDirectory.load(str(p))
    assert sorted(loaded.names()) == ["x.d7ori"]
    assert isinstance(loaded["x.d7ori"], ParameterDirectory)
    # Saving again: the folder x.d7ori is not a book file, so it is not moved.
    tree.save(str(p))
    assert on_disk(p) == (files, dirs)


def test_book_items_named_dot_and_empty_are_distinct_files(tmp_path):
    p = tmp_path / "t"
    tree = directory(**{"": book(v=0)})
    tree.save(str(p))
    files, _ = on_disk(p)
    assert files == {".d7ori": file_bytes(str(tree[""]))}
    tree.save(str(p))
    assert on_disk(p)[0] == files
    assert list(ParameterDirectory.load(str(p)).names()) == [""]
    # "." and ".." would load back as "": refused, nothing changes.
    for name in (".", ".."):
        with pytest.raises(ValueError):
            directory(**{"": book(v=0), name: book(v=1)}).save(str(p))
        assert on_disk(p)[0] == files


def test_stale_backup_from_an_earlier_crash(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"[]")
    write(str(p / "a.d7ori-"), b"stale")
    write(str(p / "b.d7ori"), b"[]")
    write(str(p / "b.d7ori-"), b"stale b")
    tree = directory(a=book(v=1))
    tree.save(str(p))
    files, _ = on_disk(p)
    # a is overwritten in place; b's file stays (its backup name is taken).
    assert files == {"a.d7ori": file_bytes(str(tree["a"])), "a.d7ori-": b"stale",
                     "b.d7ori": b"[]", "b.d7ori-": b"stale b"}
    assert sorted(ParameterDirectory.load(str(p)).names()) == ["a", "b"]


@needs_symlinks
@needs_fifos
def test_load_reads_folders_first_and_ignores_other_entries(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"[]")
    write(str(p / "a.d7ori-"), b"not json")
    write(str(p / "notes.txt"), b"not json")
    write(str(p / "d7ori"), b"not json")
    write(str(p / "B.D7ORI"), b"not json")
    os.makedirs(p / "s")
    os.makedirs(p / "f.d7ori")
    os.symlink("a.d7ori", p / "link.d7ori")
    os.mkfifo(p / "pipe.d7ori")
    loaded = ParameterDirectory.load(str(p))
    assert sorted(loaded.names()) == ["a", "f.d7ori", "link", "s"]
    assert isinstance(loaded["s"], ParameterDirectory) and list(loaded["s"].names()) == []
    assert isinstance(loaded["f.d7ori"], ParameterDirectory) and isinstance(loaded["link"], ParameterBook)


@needs_symlinks
def test_links_back_into_a_folder_being_loaded_end_the_walk(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"[]")
    os.makedirs(p / "sub")
    os.symlink("..", p / "sub" / "up")
    with pytest.raises(OSError) as e:
        ParameterDirectory.load(str(p))
    assert e.value.errno == errno.ELOOP and e.value.filename == str(p / "sub" / "up")
    os.remove(p / "sub" / "up")
    # Two ways back in would make the walk exponential; it ends at once.
    os.symlink(".", p / "one")
    os.symlink(".", p / "two")
    with pytest.raises(OSError) as e:
        ParameterDirectory.load(str(p))
    assert e.value.errno == errno.ELOOP
    os.remove(p / "one")
    os.remove(p / "two")
    # A folder reached twice, but never inside itself, loads twice.
    write(str(p / "sub" / "b.d7ori"), b"[]")
    os.symlink("sub", p / "again")
    loaded = ParameterDirectory.load(str(p))
    assert sorted(loaded.names()) == ["a", "again", "sub"]
    assert list(loaded["again"].names()) == ["b"] and loaded["again"]["b"] is not loaded["sub"]["b"]
    # The walk is per call: a later load of the same folder is fine.
    assert sorted(ParameterDirectory.load(str(p / "sub")).names()) == ["b"]


def test_load_follows_the_listing_order_and_later_entries_win(tmp_path, rebind):
    p = tmp_path / "t"
    write(str(p / "a.x.d7ori"), b'[{"name": "n", "description": {"default": ""}, "attributes": {}}]')
    os.makedirs(p / "a")
    write(str(p / "z.d7ori"), b"[]")
    order = ["z.d7ori", "a", "a.x.d7ori"]
    rebind("_os", Recorder(os, "os", [], listdir=lambda path: list(order)))
    loaded = ParameterDirectory.load(str(p))
    assert list(loaded.names()) == ["z", "a"]
    assert list(loaded["a"].names()) == ["n"]
    order.reverse()
    loaded = ParameterDirectory.load(str(p))
    assert list(loaded.names()) == ["a", "z"] and isinstance(loaded["a"], ParameterDirectory)
    # Two book files of one book name: either would be dropped, so neither is.
    write(str(p / "a.d7ori"), b"[]")
    order[:] = ["a.d7ori", "a", "a.x.d7ori"]
    with pytest.raises(ValueError) as e:
        ParameterDirectory.load(str(p))
    assert str(e.value) == f"The book files 'a.d7ori' and 'a.x.d7ori' of the folder {str(p)!r} both load as the book 'a'"


def test_load_stores_the_routed_name_as_an_item(tmp_path):
    p = tmp_path / "t"
    write(str(p / (ROUTED + ".d7ori")), b"[]")
    write(str(p / "b.d7ori"), b"[]")
    loaded = ParameterDirectory.load(str(p))
    assert type(vars(loaded)[ROUTED]) is dict
    assert sorted(loaded.names()) == [ROUTED, "b"] and isinstance(loaded[ROUTED], ParameterBook)
    os.remove(p / (ROUTED + ".d7ori"))
    os.makedirs(p / ROUTED / "inner")
    loaded = ParameterDirectory.load(str(p))
    assert isinstance(loaded[ROUTED], ParameterDirectory) and list(loaded[ROUTED].names()) == ["inner"]


def test_ext_name_is_read_afresh(tmp_path):
    p = tmp_path / "t"
    write(str(p / "old.d7ori"), b"[]")
    ParameterBook.ExtName = "qq"
    try:
        tree = directory(a=book(v=1))
        tree.save(str(p))
        files, _ = on_disk(p)
        assert files == {"a.qq": file_bytes(str(tree["a"])), "old.d7ori": b"[]"}
        assert list(ParameterDirectory.load(str(p)).names()) == ["a"]
    finally:
        ParameterBook.ExtName = "d7ori"
    assert list(ParameterDirectory.load(str(p)).names()) == ["old"]


# ---------------------------------------------------------------------------
# The exact file-system calls
# ---------------------------------------------------------------------------

def test_save_makes_exactly_the_named_calls(tmp_path, rebind):
    log = []

    class StubBook(ParameterBook):
        def save(self, *args, **kwargs):
            log.append(("book", "save", args, kwargs) if kwargs else ("book", "save", args))

    p = str(tmp_path / "t")
    for name in ("x.txt", "a.d7ori", "d7ori", "stale.d7ori", "stale.d7ori-", "b.c.d7ori"):
        write(os.path.join(p, name))
    os.makedirs(os.path.join(p, "f.d7ori"))
    listing = ["x.txt", "a.d7ori", "d7ori", "f.d7ori", "stale.d7ori", "stale.d7ori-", "b.c.d7ori"]
    rebind("_os", Recorder(os, "os", log, listdir=lambda path: list(listing)))
    rebind("_path", Recorder(os.path, "path", log))
    tree = directory(a=bare(StubBook), sub=directory(c=bare(StubBook)), n=bare(StubBook))
    tree.save(p)
    j = os.path.join
    assert log == [
        ("path", "exists", (p,)),
        ("path", "isdir", (p,)),
        ("os", "listdir", (p,)),
        ("path", "isfile", (j(p, "a.d7ori"),)),
        ("path", "exists", (j(p, "a.d7ori-"),)),
        ("os", "rename", (j(p, "a.d7ori"), j(p, "a.d7ori-"))),
        ("path", "isfile", (j(p, "f.d7ori"),)),
        ("path", "isfile", (j(p, "stale.d7ori"),)),
        ("path", "exists", (j(p, "stale.d7ori-"),)),
        ("path", "isfile", (j(p, "b.c.d7ori"),)),
        ("path", "exists", (j(p, "b.c.d7ori-"),)),
        ("os", "rename", (j(p, "b.c.d7ori"), j(p, "b.c.d7ori-"))),
        ("book", "save", (j(p, "a.d7ori"),)),
        ("path", "exists", (j(p, "sub"),)),
        ("os", "makedirs", (j(p, "sub"),)),
        ("book", "save", (j(p, "sub", "c.d7ori"),)),
        ("book", "save", (j(p, "n.d7ori"),)),
        ("os", "remove", (j(p, "a.d7ori-"),)),
        ("os", "remove", (j(p, "b.c.d7ori-"),)),
    ]


def test_paths_are_plain_concatenations_with_the_module_separator(tmp_path, rebind):
    log = []

    class StubBook(ParameterBook):
        def save(self, filename):
            log.append(filename)

    class DoubleSep:
        sep = "//"

        def __getattr__(self, name):
            return getattr(os.path, name)

    rebind("_path", DoubleSep())
    p = str(tmp_path / "t") + "/"
    directory(a=bare(StubBook), s=directory(b=bare(StubBook))).save(p)
    assert log == [p + "//a.d7ori", p + "//s//b.d7ori"]
    assert os.path.isdir(p + "//s")


def test_load_makes_exactly_the_named_calls(tmp_path, rebind):
    log = []
    p = str(tmp_path / "t")
    write(os.path.join(p, "a.d7ori"), b"[]")
    write(os.path.join(p, "b.x.d7ori"), b"[]")
    write(os.path.join(p, "notes.txt"), b"")
    write(os.path.join(p, "sub", "c.d7ori"), b"[]")

    class StubBook(ParameterBook):
        @staticmethod
        def load(filename):
            log.append(("book", "load", (filename,)))
            return bare(StubBook)

    rebind("ParameterBook", StubBook)
    rebind("_os", Recorder(os, "os", log, listdir=lambda path: sorted(os.listdir(path))))
    rebind("_path", Recorder(os.path, "path", log))
    loaded = ParameterDirectory.load(p)
    j = os.path.join
    assert log == [
        ("os", "listdir", (p,)),
        ("path", "isdir", (j(p, "a.d7ori"),)),
        ("path", "isfile", (j(p, "a.d7ori"),)),
        ("book", "load", (j(p, "a.d7ori"),)),
        ("path", "basename", ("a.d7ori",)),
        ("path", "isdir", (j(p, "b.x.d7ori"),)),
        ("path", "isfile", (j(p, "b.x.d7ori"),)),
        ("book", "load", (j(p, "b.x.d7ori"),)),
        ("path", "basename", ("b.x.d7ori",)),
        ("path", "isdir", (j(p, "notes.txt"),)),
        ("path", "isfile", (j(p, "notes.txt"),)),
        ("path", "isdir", (j(p, "sub"),)),
        ("os", "listdir", (j(p, "sub"),)),
        ("path", "isdir", (j(p, "sub", "c.d7ori"),)),
        ("path", "isfile", (j(p, "sub", "c.d7ori"),)),
        ("book", "load", (j(p, "sub", "c.d7ori"),)),
        ("path", "basename", ("c.d7ori",)),
    ]
    assert list(loaded.names()) == ["a", "b", "sub"] and list(loaded["sub"].names()) == ["c"]


def test_backup_step_directly(tmp_path, rebind):
    p = tmp_path / "t"
    for name in ("a.d7ori", "b.d7ori", "b.d7ori-", "c.txt", "d7ori", "e.f.d7ori"):
        write(str(p / name), name.encode())
    os.makedirs(p / "dir.d7ori")
    listing = ["c.txt", "e.f.d7ori", "dir.d7ori", "a.d7ori", "d7ori", "b.d7ori", "b.d7ori-"]
    rebind("_os", Recorder(os, "os", [], listdir=lambda path: list(listing)))
    made = ParameterDirectory._backup_books_in_this_directory(str(p))
    assert made == [str(p) + os.sep + "e.f.d7ori-", str(p) + os.sep + "a.d7ori-"]
    files, _ = on_disk(p)
    assert files == {"e.f.d7ori-": b"e.f.d7ori", "a.d7ori-": b"a.d7ori", "b.d7ori": b"b.d7ori",
                     "b.d7ori-": b"b.d7ori-", "c.txt": b"c.txt", "d7ori": b"d7ori"}
    assert ParameterDirectory()._backup_books_in_this_directory(str(p)) == []
    with pytest.raises(TypeError) as e:
        ParameterDirectory._backup_books_in_this_directory(None)
    assert str(e.value) == "Argument 'directory' has incorrect type (expected str, got NoneType)"


def test_backup_step_is_all_or_nothing(tmp_path, rebind):
    p = tmp_path / "t"
    for name in ("a.d7ori", "b.d7ori", "c.d7ori"):
        write(str(p / name), name.encode())
    before = on_disk(p)
    faulty = FaultyOS(fail_at=3)
    rebind("_os", faulty)
    with pytest.raises(OSError, match="injected fault 3"):
        ParameterDirectory._backup_books_in_this_directory(str(p))
    assert on_disk(p) == before
    assert [c[0] for c in faulty.calls] == ["rename"] * 5
    assert [c[1][::-1] for c in faulty.calls[3:]] == [c[1] for c in faulty.calls[1::-1]]


def test_save_uses_the_backup_step_of_the_module_level_class(tmp_path, rebind):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old")
    seen = []

    class Sub(ParameterDirectory):
        @staticmethod
        def _backup_books_in_this_directory(directory):
            seen.append(directory)
            os.rename(directory + "/a.d7ori", directory + "/a.d7ori-")
            return [directory + "/a.d7ori-"]

    rebind("ParameterDirectory", Sub)
    tree = directory(a=book(v=1))
    tree.save(str(p))
    assert seen == [str(p)] and on_disk(p)[0] == {"a.d7ori": file_bytes(str(tree["a"]))}

    class Lazy(ParameterDirectory):
        @staticmethod
        def _backup_books_in_this_directory(directory):
            os.rename(directory + "/a.d7ori", directory + "/a.d7ori-")
            yield directory + "/a.d7ori-"

    rebind("ParameterDirectory", Lazy)
    before = on_disk(p)
    with pytest.raises(OSError, match="disk full"):
        directory(a=bare(PartialBook)).save(str(p))
    assert on_disk(p) == before


# ---------------------------------------------------------------------------
# Failures of the Part's own checks
# ---------------------------------------------------------------------------

def test_argument_types():
    d = ParameterDirectory()
    for call, shown in ((lambda: d.save(1), "int"), (lambda: d.save(None), "NoneType"),
                        (lambda: ParameterDirectory.load(b"x"), "bytes"),
                        (lambda: d.load(type("S", (str,), {})("x")), "S")):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == f"Argument 'directory' has incorrect type (expected str, got {shown})"


def test_save_into_a_regular_file_and_unmakeable_paths(tmp_path):
    f = tmp_path / "file"
    write(str(f), b"data")
    with pytest.raises(AssertionError) as e:
        directory(a=book()).save(str(f))
    assert e.value.args == () and read(str(f)) == b"data"
    with pytest.raises(FileNotFoundError):
        directory(a=book()).save("")
    with pytest.raises(OSError):
        directory(a=book()).save(str(f / "below"))


def test_sub_directory_over_a_plain_file_restores_the_folder(tmp_path):
    p = tmp_path / "t"
    write(str(p / "sub"), b"plain")
    write(str(p / "a.d7ori"), b"old a")
    write(str(p / "z.d7ori"), b"old z")
    tree = directory(a=book(v=1), sub=directory(b=book()), z=book(v=2))
    with pytest.raises(AssertionError):
        tree.save(str(p))
    # a was written whole before the failure; z still has its old content.
    assert on_disk(p)[0] == {"sub": b"plain", "a.d7ori": file_bytes(str(tree["a"])), "z.d7ori": b"old z"}


def test_load_failures(tmp_path):
    with pytest.raises(FileNotFoundError):
        ParameterDirectory.load(str(tmp_path / "missing"))
    write(str(tmp_path / "file"), b"")
    with pytest.raises(NotADirectoryError):
        ParameterDirectory.load(str(tmp_path / "file"))
    write(str(tmp_path / "t" / "sub" / "bad.d7ori"), b"{not json")
    with pytest.raises(ValueError):
        ParameterDirectory.load(str(tmp_path / "t"))
    write(str(tmp_path / "u" / "obj.d7ori"), b"{}")
    with pytest.raises(AssertionError):
        ParameterDirectory.load(str(tmp_path / "u"))


def test_deep_and_self_containing_trees_fail_before_touching_disk(tmp_path):
    d = ParameterDirectory()
    d["me"] = d
    with pytest.raises(RecursionError):
        d.save(str(tmp_path / "loop"))
    assert not os.path.exists(tmp_path / "loop")
    top = d = ParameterDirectory()
    for _ in range(20000):
        d["x"] = ParameterDirectory()
        d = d["x"]
    with pytest.raises(RecursionError):
        top.save(str(tmp_path / "deep"))
    assert not os.path.exists(tmp_path / "deep")


def test_non_str_item_names_fail_and_restore(tmp_path, rebind):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old")
    tree = directory(a=book(v=1))
    object.__getattribute__(tree, ROUTED)[5] = book()
    with pytest.raises(TypeError):
        tree.save(str(p))
    # Refused before anything on disk changes.
    assert on_disk(p)[0] == {"a.d7ori": b"old"}


# ---------------------------------------------------------------------------
# Unsafe item names
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("where", ["top", "nested"])
@pytest.mark.parametrize("name, is_dir, shown", [
    ("", True, "''"), (".", True, "'.'"), ("..", True, "'..'"),
    ("a/b", False, "'a/b'"), ("a/b", True, "'a/b'"), ("/abs", False, "'/abs'"),
    ("nul\0", False, "'nul\\x00'"), ("../up", True, "'../up'"),
])
def test_unsafe_names_are_refused_before_anything_changes(tmp_path, rebind, where, name, is_dir, shown):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old")
    before = on_disk(tmp_path)
    bad = directory(x=book()) if is_dir else book()
    tree = directory(a=book(v=1), ok=directory(y=book()))
    if where == "top":
        tree[name] = bad
    else:
        tree["ok"]["deeper"] = ParameterDirectory()
        tree["ok"]["deeper"][name] = bad
    faulty = FaultyOS()
    rebind("_os", faulty)
    for target in (str(p), str(tmp_path / "new")):
        with pytest.raises(ValueError) as e:
            tree.save(target)
        assert shown in str(e.value)
    assert faulty.calls == [] and on_disk(tmp_path) == before


def test_alternative_separator_is_refused_too(tmp_path, rebind):
    class WithAltsep:
        altsep = "\\"

        def __getattr__(self, name):
            return getattr(os.path, name)

    rebind("_path", WithAltsep())
    with pytest.raises(ValueError, match=r"'a\\\\b'"):
        directory(**{"a\\b": book()}).save(str(tmp_path / "t"))
    assert not os.path.exists(tmp_path / "t")
    rebind("_path", os.path)
    directory(**{"a\\b": book()}).save(str(tmp_path / "t"))
    assert os.listdir(tmp_path / "t") == ["a\\b.d7ori"]


# ---------------------------------------------------------------------------
# Failed saves repair themselves
# ---------------------------------------------------------------------------

def old_tree():
    return directory(
        a=book(v=1), b=book(v=2), gone=book(v=3),
        sub=directory(c=book(v=4), gone2=book(v=5), deep=directory(d=book(v=6))),
    )


def new_tree(bad_value=None):
    sub = directory(c=book(v=40), new2=book(v=50), deep=directory(d=book(v=60)))
    if bad_value is not None:
        sub["new2"] = book(v=bad_value)
    return directory(a=book(v=10), sub=sub, b=book(v=20), fresh=directory(e=book(v=70)), new1=book(v=80))


def prepare(p):
    old_tree().save(str(p))
    write(str(p / "notes.txt"), b"notes")
    write(str(p / "sub" / "notes.txt"), b"sub notes")


def check_consistent(p, old, new, leftover=None):
    """Every book file holds its old or its complete new content; no backup but `leftover`."""
    files, _ = on_disk(p)
    old_f, new_f = expected_files(old)[0], expected_files(new)[0]
    for rel in set(old_f) | set(new_f):
        got = files.get(rel)
        if rel in old_f and rel in new_f:
            assert got in (old_f[rel], new_f[rel]), rel
        elif rel in old_f:
            assert got in (None, old_f[rel]), rel
        else:
            assert got in (None, new_f[rel]), rel
    assert set(book_files(files)) <= set(old_f) | set(new_f)
    assert backups(files) == ([leftover] if leftover else [])
    if leftover:
        # Only a backup whose removal failed stays: its book file is whole, or
        # gone with its book.
        assert files.get(leftover[:-1]) == new_f.get(leftover[:-1])
    assert files["notes.txt"] == b"notes" and files["sub/notes.txt"] == b"sub notes"


def check_next_save(p, new, rebind, allow_stale=False):
    rebind("_os", os)
    new.save(str(p))
    files, _ = on_disk(p)
    assert book_files(files) == expected_files(new)[0]
    if not allow_stale:
        assert backups(files) == []
    assert describe(ParameterDirectory.load(str(p))) == describe(new)


def count_calls(tmp_path, rebind, bad_value=None):
    p = tmp_path / "count"
    prepare(p)
    faulty = FaultyOS()
    rebind("_os", faulty)
    try:
        new_tree(bad_value).save(str(p))
    except TypeError:
        assert bad_value is not None
    rebind("_os", os)
    return faulty.calls


def test_the_counted_save_touches_every_kind_of_call(tmp_path, rebind):
    calls = count_calls(tmp_path, rebind)
    kinds = [c[0] for c in calls]
    assert kinds.count("makedirs") == 1 and kinds.count("rename") == 6 and kinds.count("remove") == 6


def test_fault_at_every_call_position(tmp_path, rebind):
    n = len(count_calls(tmp_path, rebind))
    for k in range(1, n + 1):
        p = tmp_path / f"k{k}"
        prepare(p)
        faulty = FaultyOS(fail_at=k)
        rebind("_os", faulty)
        new = new_tree()
        with pytest.raises(OSError, match=f"^injected fault {k}$"):
            new.save(str(p))
        _, name, args = faulty.fired
        leftover = None
        if name == "remove" and args[0].endswith("-"):
            leftover = os.path.relpath(args[0], p)
        check_consistent(p, old_tree(), new, leftover)
        check_next_save(p, new, rebind, allow_stale=leftover is not None)
        if leftover:
            assert os.path.exists(p / leftover)


def test_every_fault_from_a_position_on_still_raises_the_first(tmp_path, rebind):
    n = len(count_calls(tmp_path, rebind))
    for k in range(1, n + 1):
        p = tmp_path / f"k{k}"
        prepare(p)
        rebind("_os", FaultyOS(fail_at=k, persistent=True))
        new = new_tree()
        with pytest.raises(OSError, match=f"^injected fault {k}$"):
            new.save(str(p))
        files, _ = on_disk(p)
        old_f, new_f = expected_files(old_tree())[0], expected_files(new)[0]
        for rel, data in book_files(files).items():
            assert data in (old_f.get(rel), new_f.get(rel)), rel
        check_next_save(p, new, rebind, allow_stale=True)


def test_book_whose_text_cannot_be_built(tmp_path, rebind):
    calls = count_calls(tmp_path, rebind, bad_value=1j)
    p = tmp_path / "plain"
    prepare(p)
    bad = new_tree(1j)
    with pytest.raises(TypeError, match="complex"):
        bad.save(str(p))
    check_consistent(p, old_tree(), bad)
    files, _ = on_disk(p)
    assert "sub/new2.d7ori" not in files
    good = new_tree()
    check_next_save(p, good, rebind)
    for k in range(1, len(calls) + 1):
        p = tmp_path / f"k{k}"
        prepare(p)
        faulty = FaultyOS(fail_at=k)
        rebind("_os", faulty)
        bad = new_tree(1j)
        with pytest.raises((OSError, TypeError)) as e:
            bad.save(str(p))
        if isinstance(e.value, TypeError):
            # The fault hit a repair step: the original error still comes out.
            assert "complex" in str(e.value)
            files, _ = on_disk(p)
            old_f, new_f = expected_files(old_tree())[0], expected_files(bad)[0]
            for rel, data in book_files(files).items():
                assert data in (old_f.get(rel), new_f.get(rel)), rel
        else:
            assert str(e.value) == f"injected fault {k}"
            _, name, args = faulty.fired
            leftover = os.path.relpath(args[0], p) if name == "remove" and args[0].endswith("-") else None
            check_consistent(p, old_tree(), bad, leftover)
        check_next_save(p, good, rebind, allow_stale=True)


class PartialBook(ParameterBook):
    """Writes part of its file, then fails."""

    def save(self, filename):
        with open(filename, "wb") as f:
            f.write(b"partial")
        raise OSError("disk full")


def test_partial_book_file_goes_back_to_its_old_content(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old a")
    write(str(p / "b.d7ori"), b"old b")
    tree = directory(a=book(v=1), b=bare(PartialBook))
    with pytest.raises(OSError, match="disk full"):
        tree.save(str(p))
    assert on_disk(p)[0] == {"a.d7ori": file_bytes(str(tree["a"])), "b.d7ori": b"old b"}


def test_partial_new_book_file_is_removed(tmp_path):
    for exists in (False, True):
        p = tmp_path / f"t{exists}"
        if exists:
            write(str(p / "a.d7ori"), b"old a")
        tree = directory(a=book(v=1), sub=directory(n=bare(PartialBook)))
        with pytest.raises(OSError, match="disk full"):
            tree.save(str(p))
        files, dirs = on_disk(p)
        # a was written whole before the failure, so its backup is dropped.
        assert files == {"a.d7ori": file_bytes(str(tree["a"]))}
        assert dirs == {"sub"}


def test_partial_write_over_a_book_file_with_a_stale_backup_stays(tmp_path):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old a")
    write(str(p / "a.d7ori-"), b"stale")
    with pytest.raises(OSError, match="disk full"):
        directory(a=bare(PartialBook)).save(str(p))
    # Written in place, as with any book file whose backup name is taken.
    assert on_disk(p)[0] == {"a.d7ori": b"partial", "a.d7ori-": b"stale"}


def test_failed_backup_removal_still_removes_the_others(tmp_path, rebind):
    p = tmp_path / "t"
    for name in ("a", "b", "c"):
        write(str(p / f"{name}.d7ori"), b"old")
    tree = directory(a=book(v=1), b=book(v=2), c=book(v=3))

    class FailFirstRemove(FaultyOS):
        def listdir(self, path):
            return sorted(os.listdir(path))

        def remove(self, *args):
            self.calls.append(("remove", args))
            if len([c for c in self.calls if c[0] == "remove"]) in (1, 2):
                raise OSError(f"cannot remove {os.path.basename(args[0])}")
            return os.remove(*args)

    rebind("_os", FailFirstRemove())
    with pytest.raises(OSError, match="cannot remove a.d7ori-"):
        tree.save(str(p))
    files, _ = on_disk(p)
    assert book_files(files) == expected_files(tree)[0]
    assert backups(files) == ["a.d7ori-", "b.d7ori-"]


def test_repair_uses_a_replacing_rename_where_rename_does_not_replace(tmp_path, rebind):
    p = tmp_path / "t"
    write(str(p / "a.d7ori"), b"old a")

    class WindowsLikeOS(FaultyOS):
        def rename(self, src, dst):
            self.calls.append(("rename", (src, dst)))
            if os.path.exists(dst):
                raise FileExistsError(dst)
            return os.rename(src, dst)

    rebind("_os", WindowsLikeOS())
    with pytest.raises(OSError, match="disk full"):
        directory(a=bare(PartialBook)).save(str(p))
    assert on_disk(p)[0] == {"a.d7ori": b"old a"}


# ---------------------------------------------------------------------------
# Assertions off
# ---------------------------------------------------------------------------

def test_assertions_off_in_a_subprocess(tmp_path):
    code = textwrap.dedent(f"""
        import os, r7u_razarozu as m
        from r7u_razarozu import ParameterDirectory, ParameterBook
        base = {str(tmp_path)!r}
        open(os.path.join(base, "file"), "w").close()
        calls = []
        class P:
            def __getattr__(self, name):
                calls.append(name)
                return getattr(os.path, name)
        m._path = P()
        d = ParameterDirectory()
        d["a"] = ParameterBook()
        try:
            d.save(os.path.join(base, "file"))
        except NotADirectoryError:
            print("listdir", calls.count("isdir"))
        m._path = os.path
        os.makedirs(os.path.join(base, "t"))
        open(os.path.join(base, "t", "sub"), "w").close()
        open(os.path.join(base, "t", "a.d7ori"), "w").close()
        d["sub"] = ParameterDirectory()
        try:
            d.save(os.path.join(base, "t"))
        except NotADirectoryError:
            print(sorted(os.listdir(os.path.join(base, "t"))))
        d = ParameterDirectory()
        d["n"] = 5
        try:
            d.save(os.path.join(base, "u"))
        except AttributeError as e:
            print("AttributeError")
    """)
    r = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["listdir 0", "['a.d7ori', 'sub']", "AttributeError"]


# ---------------------------------------------------------------------------
# References
# ---------------------------------------------------------------------------

@needs_symlinks
def test_no_reference_leaks_in_disk_entry_points(tmp_path, rebind):
    base = str(tmp_path)
    path = os.path.join(base, "t")
    sentinel = book(v=1)
    tree = directory(a=sentinel, s=directory(b=sentinel))
    bad_tree = directory(a=sentinel)
    bad_tree[".."] = directory()
    complex_tree = directory(a=sentinel, z=book(v=1j))
    looping = os.path.join(base, "loop")
    os.makedirs(os.path.join(looping, "sub"))
    os.symlink("..", os.path.join(looping, "sub", "up"))

    def calls(k):
        tree.save(path)
        tree.save(path)
        ParameterDirectory.load(path)
        ParameterDirectory._backup_books_in_this_directory(os.path.join(path, "s"))
        for op in (lambda: bad_tree.save(path), lambda: tree.save(1), lambda: complex_tree.save(path),
                   lambda: ParameterDirectory.load(path + "-missing"),
                   lambda: ParameterDirectory.load(os.path.join(path, "a.d7ori")),
                   lambda: ParameterDirectory.load(looping),
                   lambda: object.__new__(ParameterDirectory).save(path)):
            try:
                op()
            except (ValueError, TypeError, OSError, KeyError):
                pass
        rebind("_os", FaultyOS(fail_at=k % 4 + 1))
        try:
            tree.save(path)
        except OSError:
            pass
        rebind("_os", os)

    for k in range(20):
        calls(k)
    counts = refcounts(sentinel, path, tree, looping)
    for k in range(60):
        calls(k)
    assert refcounts(sentinel, path, tree, looping) == counts
