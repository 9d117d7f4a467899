"""A tree save under real faults: killed at random points, raced by other processes, on a full disk, fed
hostile names; and what each book file was (mode, owner, ACL, attributes, links) survives it."""
import errno
import os
import random
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import types

import pytest
from childrun import _child_env, run_json

import r7u_razarozu as mod
from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory

pytestmark = pytest.mark.skipif(os.name != "posix", reason="POSIX processes and file semantics")

IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
NOBODY = 65534
ROUTED = "_ParameterDirectory__parameters"


def make_tree(letter, dirs=10, books=20, params=10):
    return ParameterDirectory({
        f"d{d:02d}": ParameterDirectory({
            f"b{b:02d}": ParameterBook(values={f"p{i:02d}": letter * 40 for i in range(params)})
            for b in range(books)})
        for d in range(dirs)})


def book_texts(tree):
    return {(d, b): str(book) for d, sub in tree.items() for b, book in sub.items()}


def use_backup_protocol():
    """Replaces the backup step by a wrapper: the save must follow the documented protocol."""
    step = ParameterDirectory._backup_books_in_this_directory
    ParameterDirectory._backup_books_in_this_directory = staticmethod(lambda directory: step(directory))
    return step


def fork(fn):
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        code = 0
        try:
            fn()
        except BaseException:  # noqa: BLE001
            code = 1
        os._exit(code)
    return pid


def kill_at_random(folder, trees, kills, rng, stop_when_missing=False, protocol=False):
    """Forks savers of `trees` into `folder`, kills each at a random point, loads after every kill.
    Returns (kills, loads checked, books missing in total, loads that failed)."""
    expected = [book_texts(t) for t in trees]
    keys = set(expected[0])
    done = missing = failed = 0

    def saver():
        if protocol:
            use_backup_protocol()
        while True:
            for t in trees:
                t.save(folder)

    for _ in range(kills):
        pid = fork(saver)
        time.sleep(rng.uniform(0.0, 0.25))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        done += 1
        try:
            loaded = book_texts(ParameterDirectory.load(folder))
        except Exception:  # noqa: BLE001 - a torn file: counted
            failed += 1
            continue
        missing += len(keys - set(loaded))
        for key, text in loaded.items():
            assert any(text == e[key] for e in expected), key
        if stop_when_missing and missing:
            break
    return done, missing, failed


def test_kills_during_tree_saves_lose_no_book(tmp_path):
    folder = str(tmp_path / "tree")
    trees = [make_tree("A"), make_tree("B")]
    trees[0].save(folder)
    kills, missing, failed = kill_at_random(folder, trees, 25, random.Random(7))
    assert (kills, missing, failed) == (25, 0, 0)
    # Only temporary files may stay behind a kill; never a backup.
    for dirpath, _, files in os.walk(folder):
        for f in files:
            assert f.endswith(".d7ori") or (f.startswith(".") and f.endswith(".tmp")), f


def test_the_kill_test_catches_the_backup_protocol(tmp_path):
    # The same kills against the documented protocol, which moves book files
    # away before writing them: books go missing from view.
    folder = str(tmp_path / "tree")
    trees = [make_tree("A"), make_tree("B")]
    trees[0].save(folder)
    kills, missing, failed = kill_at_random(folder, trees, 60, random.Random(11), stop_when_missing=True,
                                            protocol=True)
    assert missing + failed > 0, kills


def test_two_savers_and_a_loader_never_see_a_book_vanish(tmp_path):
    folder = str(tmp_path / "tree")
    make_tree("A", dirs=4, books=10, params=5).save(folder)
    keys = set(book_texts(ParameterDirectory.load(folder)))
    seconds = 3.0

    def writer(tag):
        def run():
            end = time.monotonic() + seconds
            n = 0
            while time.monotonic() < end:
                tree = ParameterDirectory.load(folder)
                tree["d00"]["b00"].set_parameter_value(tag, n)
                tree.save(folder)
                n += 1
        return run

    pids = [fork(writer("w1")), fork(writer("w2"))]
    loads = missing = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        missing += len(keys - set(book_texts(ParameterDirectory.load(folder))))
        loads += 1
    for pid in pids:
        assert os.waitpid(pid, 0)[1] == 0
    assert loads > 0 and missing == 0
    assert set(book_texts(ParameterDirectory.load(folder))) == keys


# ---------------------------------------------------------------------------
# What each book file was
# ---------------------------------------------------------------------------
def has_tool(name):
    return shutil.which(name) is not None


def xattrs_supported(path):
    try:
        os.setxattr(path, "user.r7u-probe", b"1")
        os.removexattr(path, "user.r7u-probe")
        return True
    except OSError:
        return False


def saved_twice(tmp_path):
    folder = tmp_path / "t"
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1}), "s": ParameterDirectory(
        {"b": ParameterBook(values={"v": 1})})})
    tree.save(str(folder))
    return folder, tree


def save_new_values(tree, folder, value=2):
    tree["a"].set_parameter_value("v", value)
    tree["s"]["b"].set_parameter_value("v", value)
    tree.save(str(folder))


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o2754])
def test_tree_save_keeps_mode(tmp_path, mode):
    folder, tree = saved_twice(tmp_path)
    os.chmod(folder / "a.d7ori", mode)
    save_new_values(tree, folder)
    assert stat.S_IMODE(os.stat(folder / "a.d7ori").st_mode) == mode
    assert ParameterBook.load(str(folder / "a.d7ori")).v.value == 2


@pytest.mark.skipif(not IS_ROOT, reason="changing a file's owner needs root")
def test_tree_save_keeps_owner_and_group(tmp_path):
    folder, tree = saved_twice(tmp_path)
    os.chown(folder / "s" / "b.d7ori", 12345, 23456)
    save_new_values(tree, folder)
    st = os.stat(folder / "s" / "b.d7ori")
    assert (st.st_uid, st.st_gid) == (12345, 23456)


@pytest.mark.skipif(not has_tool("setfacl"), reason="needs setfacl")
def test_tree_save_keeps_acl_and_attributes(tmp_path):
    folder, tree = saved_twice(tmp_path)
    path = str(folder / "a.d7ori")
    if not xattrs_supported(path):
        pytest.skip("no extended attributes here")
    os.setxattr(path, "user.origin", b"hand-made")
    r = subprocess.run(["setfacl", "-m", "u:12345:---,g::r--", path], capture_output=True)
    if r.returncode:
        pytest.skip("no ACLs here")
    acl = subprocess.run(["getfacl", "-cp", path], capture_output=True, text=True).stdout
    inode = os.stat(path).st_ino
    save_new_values(tree, folder)
    assert os.stat(path).st_ino != inode  # replaced, not written in place
    assert os.getxattr(path, "user.origin") == b"hand-made"
    assert subprocess.run(["getfacl", "-cp", path], capture_output=True, text=True).stdout == acl
    # The single-book save keeps them too.
    tree["a"].save(path)
    assert os.getxattr(path, "user.origin") == b"hand-made"
    assert subprocess.run(["getfacl", "-cp", path], capture_output=True, text=True).stdout == acl


def test_tree_save_writes_through_symlinks_and_hard_links(tmp_path):
    folder, tree = saved_twice(tmp_path)
    elsewhere = tmp_path / "elsewhere.json"
    os.replace(folder / "a.d7ori", elsewhere)
    os.symlink(elsewhere, folder / "a.d7ori")
    os.link(folder / "s" / "b.d7ori", tmp_path / "second-name")
    inode = os.stat(tmp_path / "second-name").st_ino
    save_new_values(tree, folder)
    assert os.path.islink(folder / "a.d7ori")
    assert ParameterBook.load(str(elsewhere)).v.value == 2
    assert os.stat(folder / "s" / "b.d7ori").st_ino == inode
    assert ParameterBook.load(str(tmp_path / "second-name")).v.value == 2


@pytest.mark.skipif(not IS_ROOT, reason="needs a file owned by another user")
def test_another_users_file_is_written_in_place(tmp_path):
    shared = tempfile.mkdtemp(prefix="r7u-shared-")
    try:
        os.chmod(shared, 0o777)
        tree = ParameterDirectory({"a": ParameterBook(values={"v": 1})})
        tree.save(shared)
        path = os.path.join(shared, "a.d7ori")
        os.chmod(path, 0o666)
        inode = os.stat(path).st_ino

        def as_nobody():
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            tree["a"].set_parameter_value("v", 2)
            tree.save(shared)

        assert os.waitpid(fork(as_nobody), 0)[1] == 0
        st = os.stat(path)
        assert (st.st_ino, st.st_uid, stat.S_IMODE(st.st_mode)) == (inode, 0, 0o666)
        assert ParameterBook.load(path).v.value == 2
        assert sorted(os.listdir(shared)) == ["a.d7ori"]
    finally:
        shutil.rmtree(shared)


# ---------------------------------------------------------------------------
# A full disk
# ---------------------------------------------------------------------------
@pytest.fixture
def tiny_fs():
    if not IS_ROOT or not shutil.which("mount"):
        pytest.skip("mounting a tmpfs needs root")
    where = tempfile.mkdtemp(prefix="r7u-tiny-")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", where], capture_output=True)
    if r.returncode:
        os.rmdir(where)
        pytest.skip("cannot mount a tmpfs here: " + r.stderr.decode(errors="replace").strip())
    try:
        yield where
    finally:
        subprocess.run(["umount", where], check=True)
        os.rmdir(where)


def fill(where):
    fd = os.open(os.path.join(where, "filler"), os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, b"\0" * 4096)
    except OSError as e:
        assert e.errno == errno.ENOSPC
    finally:
        os.close(fd)


@pytest.mark.parametrize("linked", [False, True], ids=["replaced", "hard-linked"])
@pytest.mark.parametrize("how", ["book", "tree"])
def test_full_disk_keeps_the_old_text(tiny_fs, linked, how):
    folder = os.path.join(tiny_fs, "t")
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1})})
    tree.save(folder)
    path = os.path.join(folder, "a.d7ori")
    if linked:
        os.link(path, os.path.join(tiny_fs, "other-name"))
    with open(path, "rb") as f:
        before = f.read()
    fill(tiny_fs)
    tree["a"].set_parameter_value("v", "x" * 200000)
    with pytest.raises(OSError) as e:
        if how == "book":
            tree["a"].save(path)
        else:
            tree.save(folder)
    assert e.value.errno == errno.ENOSPC
    with open(path, "rb") as f:
        assert f.read() == before
    assert sorted(os.listdir(folder)) == ["a.d7ori"]
    os.remove(os.path.join(tiny_fs, "filler"))


# ---------------------------------------------------------------------------
# Hostile names: every path is built from a checked exact-str copy
# ---------------------------------------------------------------------------
class Sneaky(str):
    def __radd__(self, other):
        return other.replace("inside", "outside") + str(self)

    def __add__(self, other):
        return "../outside/" + str(self) + other


class ShiftyMap(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.calls = 0

    def items(self):
        self.calls += 1
        if self.calls > 1:
            return [("../escaped", book) for book in self.values()]
        return list(super().items())


@pytest.fixture(params=[False, True], ids=["native", "protocol"])
def either_save(request, monkeypatch):
    """Runs the test once with the native tree save, once with the documented protocol."""
    if request.param:
        step = ParameterDirectory._backup_books_in_this_directory
        monkeypatch.setattr(ParameterDirectory, "_backup_books_in_this_directory",
                            staticmethod(lambda directory: step(directory)))
    return request.param


def test_escape_attempts_write_nothing_outside(tmp_path, either_save):
    base = tmp_path / "inside"
    outside = tmp_path / "outside"
    outside.mkdir()
    # A str subclass name whose concatenation would build another path.
    tree = ParameterDirectory()
    object.__getattribute__(tree, ROUTED)[Sneaky("a")] = ParameterBook(values={"v": 1})
    tree.save(str(base))
    assert sorted(os.listdir(base)) == ["a.d7ori"]

    # An item map whose items() answers differently the second time.
    tree = ParameterDirectory()
    object.__setattr__(tree, ROUTED, ShiftyMap({"b": ParameterBook(values={"v": 2})}))
    tree.save(str(base / "shifty"))
    assert sorted(os.listdir(base / "shifty")) == ["b.d7ori"]

    # A parameter whose to_dict renames an item to "../x" during the save.
    tree = ParameterDirectory({"c": ParameterBook(), "d": ParameterBook()})
    victim = tree["d"]

    class Renaming:
        def to_dict(self, name):
            items = object.__getattribute__(tree, ROUTED)
            if "d" in items:
                items["../x"] = items.pop("d")
            return Parameter(value=1).to_dict(name)

    object.__getattribute__(tree["c"], "_ParameterBook__parameters")["p"] = Renaming()
    tree.save(str(base / "renamed"))
    assert sorted(os.listdir(base / "renamed")) == ["c.d7ori", "d.d7ori"]
    assert str(ParameterBook.load(str(base / "renamed" / "d.d7ori"))) == str(victim)
    assert os.listdir(outside) == []
    assert sorted(os.listdir(tmp_path)) == ["inside", "outside"]


# ---------------------------------------------------------------------------
# Names that could not come back, and values that loading refuses
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("items, shown", [
    ({"codec.h264": ParameterBook()}, "book item 'codec.h264'"),
    ({"a": ParameterBook(), "a.d7ori": ParameterDirectory()}, "sub-directory item 'a.d7ori'"),
    ({"s": ParameterDirectory({"x": ParameterDirectory({"c.d": ParameterBook()})})}, "book item 'c.d'"),
    ({"n" * 250: ParameterBook()}, "book item 'nnnn"),
], ids=["dot", "collision", "nested-dot", "too-long"])
def test_names_refused_before_any_disk_change(tmp_path, either_save, items, shown):
    folder = tmp_path / "t"
    ParameterDirectory({"old": ParameterBook(values={"v": 1})}).save(str(folder))
    before = {n: (folder / n).read_bytes() for n in os.listdir(folder)}
    tree = ParameterDirectory(dict(items, first=ParameterBook(values={"v": 2})))
    with pytest.raises(ValueError) as e:
        tree.save(str(folder))
    assert e.value.args[0].startswith("Cannot save the " + shown)
    assert {n: (folder / n).read_bytes() for n in os.listdir(folder)} == before


@pytest.mark.parametrize("where, note", [
    (lambda p: p.__setitem__("value", None), "its attribute 'value' holds None"),
    (lambda p: p.__setitem__("value", [1, {"k": None}]), "its attribute 'value' holds None"),
    (lambda p: object.__getattribute__(p, "_Parameter__description").__setitem__("en", None),
     "its description 'en' holds None"),
], ids=["value", "nested", "description"])
def test_none_refused_with_every_file_untouched(tmp_path, either_save, where, note):
    folder = tmp_path / "t"
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1}),
                               "s": ParameterDirectory({"b": ParameterBook(values={"proxy": "x"})})})
    tree.save(str(folder))
    before = {p: open(p, "rb").read() for p in (folder / "a.d7ori", folder / "s" / "b.d7ori")}
    tree["a"].set_parameter_value("v", 2)
    where(tree["s"]["b"]["proxy"])
    with pytest.raises(TypeError) as e:
        tree.save(str(folder))
    assert e.value.args == ("Error: Unsupported attribute type: <class 'NoneType'>",)
    assert e.value.__notes__ == [f"Cannot save the parameter 'proxy': {note}, which loading the book refuses",
                                 f"in the book file {str(folder / 's' / 'b.d7ori')!r}"]
    assert {p: open(p, "rb").read() for p in before} == before
    with pytest.raises(TypeError):
        tree["s"]["b"].save(str(folder / "s" / "b.d7ori"))
    assert {p: open(p, "rb").read() for p in before} == before
    # str(book) still shows the value as it is.
    assert "null" in str(tree["s"]["b"])


def test_none_accepted_when_the_copy_rule_accepts_it(tmp_path, rebind):
    rebind("_clone_attribute", lambda v: v)
    b = ParameterBook(values={"a": 1})
    b.set_parameter_value("a", None)
    b.save(str(tmp_path / "x"))
    assert ParameterBook.load(str(tmp_path / "x.d7ori")).a.value is None


# ---------------------------------------------------------------------------
# The native save stands in for the protocol only while nothing it replaces changed
# ---------------------------------------------------------------------------
def module_copy(module):
    copy = types.ModuleType(module.__name__)
    vars(copy).update({k: v for k, v in vars(module).items() if not k.startswith("__")})
    return copy


class SubBook(ParameterBook):
    pass


class SubDirectory(ParameterDirectory):
    pass


def replace_setup(what, rebind, monkeypatch):
    if what == "_os":
        rebind("_os", module_copy(os))
    elif what == "_path":
        rebind("_path", module_copy(os.path))
    elif what == "os.rename":
        monkeypatch.setattr(os, "rename", lambda a, b: os.replace(a, b))
    elif what == "os.path.isfile":
        monkeypatch.setattr(os.path, "isfile", lambda p: os.path.exists(p) and not os.path.isdir(p))
    elif what == "backup step":
        step = ParameterDirectory._backup_books_in_this_directory
        monkeypatch.setattr(ParameterDirectory, "_backup_books_in_this_directory", staticmethod(lambda d: step(d)))
    elif what == "ParameterDirectory.save":
        save = ParameterDirectory.save
        monkeypatch.setattr(ParameterDirectory, "save", lambda self, d: save(self, d))
    elif what == "ParameterBook.save":
        save = ParameterBook.save
        monkeypatch.setattr(ParameterBook, "save", lambda self, f, a=True: save(self, f, a))
    elif what == "ParameterBook.__str__":
        text = ParameterBook.__str__
        monkeypatch.setattr(ParameterBook, "__str__", lambda self: text(self))
    elif what == "ParameterBook":
        rebind("ParameterBook", SubBook)
    elif what == "ParameterDirectory":
        rebind("ParameterDirectory", SubDirectory)


@pytest.mark.parametrize("what", [None, "_os", "_path", "os.rename", "os.path.isfile", "backup step",
                                  "ParameterDirectory.save", "ParameterBook.save", "ParameterBook.__str__",
                                  "ParameterBook", "ParameterDirectory", "book item", "directory item"])
def test_anything_replaced_runs_the_backup_protocol(tmp_path, rebind, monkeypatch, what):
    folder = tmp_path / "t"
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1}), "s": ParameterDirectory()})
    tree.save(str(folder))
    # A second name of the book file tells the two apart: the native save
    # writes the file itself, the protocol moves it to its backup first.
    os.link(folder / "a.d7ori", tmp_path / "other")
    old = (tmp_path / "other").read_bytes()
    replace_setup(what, rebind, monkeypatch)
    tree["a"].set_parameter_value("v", 2)
    if what in ("book item", "ParameterBook"):
        # Subclass instances made bare: their own constructor is not the point.
        sub = object.__new__(SubBook)
        vars(sub)["_ParameterBook__parameters"] = dict(tree["a"].items())
        tree["a"] = sub
    if what in ("directory item", "ParameterDirectory"):
        sub = object.__new__(SubDirectory)
        vars(sub)[ROUTED] = {}
        tree["s"] = sub
    tree.save(str(folder))
    monkeypatch.undo()
    new = (folder / "a.d7ori").read_bytes()
    assert new != old and b'"value": 2' in new
    assert (tmp_path / "other").read_bytes() == (new if what is None else old)
    assert sorted(os.listdir(folder)) == ["a.d7ori", "s"]


def test_tree_save_with_assertions_off(tmp_path):
    out = run_json("""
tree = D({"a": B(values={"v": 1}), "s": D({"b": B(values={"v": 1})})})
tree.save("t")
os.link("t/a.d7ori", "other")
with open("t/stale.d7ori", "w") as f:
    f.write("[]")
tree["a"].set_parameter_value("v", 2)
tree.save("t")
loaded = D.load("t")
print(json.dumps([sorted(os.listdir("t")), loaded["a"].get_parameter_value("v"),
                  B.load("other").get_parameter_value("v"), outcome(lambda: D({"x.y": B()}).save("t"))]))
""", cwd=tmp_path, optimize=True)
    assert out == [["a.d7ori", "s"], 2, 2, "ValueError"]


def test_files_shaped_like_temporary_files_stay(tmp_path):
    """Only names a save makes (their check letters) are ever cleared, however old."""
    folder = tmp_path / "t"
    tree = ParameterDirectory({"a": ParameterBook(values={"v": 1})})
    tree.save(str(folder))
    names = [".a.d7ori.AbCdEfGhIj.tmp", ".a.d7ori.AbCdEfGhIjKlMnOp.tmp", ".a.d7ori.short.tmp", ".notes.tmp"]
    for name in names:
        (folder / name).write_bytes(b"partial")
        os.utime(folder / name, (0, 0))
    os.mkdir(folder / ".b.d7ori.UvWxYz0123456789.tmp")
    tree.save(str(folder))
    assert sorted(os.listdir(folder)) == sorted(["a.d7ori", ".b.d7ori.UvWxYz0123456789.tmp"] + names)


INTERRUPTED_SAVER = """
import os, signal, sys, types
import r7u_razarozu as m
# Python wrappers of the file calls: the backup protocol runs, and Ctrl-C lands between its steps.
m._os = types.SimpleNamespace(**{n: (lambda f: lambda *a: f(*a))(getattr(os, n))
                                 for n in ("listdir", "makedirs", "rename", "remove")})
folder = sys.argv[1]
trees = [m.ParameterDirectory({n: m.ParameterBook(values={"v": n}) for n in names})
         for names in (["a", "b", "c"], ["a"])]
signal.signal(signal.SIGINT, signal.default_int_handler)  # also where it was inherited ignored
block = lambda how: signal.pthread_sigmask(how, [signal.SIGINT])  # Ctrl-C only lands inside a save
block(signal.SIG_BLOCK)
print("ready", flush=True)
for i in range(10 ** 9):
    try:
        block(signal.SIG_UNBLOCK)
        trees[i % 2].save(folder)
        block(signal.SIG_BLOCK)
    except KeyboardInterrupt:
        block(signal.SIG_BLOCK)
        print(sorted(n for n in os.listdir(folder) if n.endswith("-")), flush=True)
"""


def test_ctrl_c_during_the_backup_protocol_leaves_no_backup(tmp_path):
    """Each interrupt ends a save part-way; its clean-up still runs, so no backup stays to keep the file of
    a book deleted later."""
    saver = subprocess.Popen([sys.executable, "-c", INTERRUPTED_SAVER, str(tmp_path / "t")], env=_child_env(),
                             stdout=subprocess.PIPE, text=True)
    rng, reports = random.Random(5), []
    try:
        assert saver.stdout.readline() == "ready\n"
        for _ in range(80):
            time.sleep(rng.uniform(0, 0.004))
            saver.send_signal(signal.SIGINT)
            assert select.select([saver.stdout], [], [], 60)[0], "the interrupt raised nothing"
            reports.append(saver.stdout.readline())
    finally:
        saver.kill()
        saver.wait()
    assert len(reports) == 80 and set(reports) == {"[]\n"}


def test_a_stale_book_file_removed_meanwhile_is_no_error(tmp_path):
    out = run_json(f"""
folder = {str(tmp_path)!r}
D({{"a": B()}}).save(folder)
B().save(os.path.join(folder, "old.d7ori"))
def hook(event, args, done=[]):
    if event == "os.remove" and str(args[0]).endswith("old.d7ori") and not done:
        done.append(1)
        os.unlink(args[0])  # another process gets there first
sys.addaudithook(hook)
D({{"a": B()}}).save(folder)
print(json.dumps(sorted(os.listdir(folder))))
""")
    assert out == ["a.d7ori"]


def test_a_book_file_that_cannot_be_written_stops_the_save_after_the_books_before_it(tmp_path):
    # Written in batches, flushed together: still the books before it are in and the books after it
    # keep their old text, as when each file is written in turn; no temporary file stays.
    folder = tmp_path / "t" / "d00"
    make_tree("o", dirs=1, books=3, params=1).save(str(tmp_path / "t"))
    old = (folder / "b02.d7ori").read_bytes()
    (folder / "b01.d7ori").unlink()
    (folder / "b01.d7ori").mkdir()
    tree = make_tree("n", dirs=1, books=3, params=1)
    with pytest.raises(IsADirectoryError):
        tree.save(str(tmp_path / "t"))
    assert (folder / "b00.d7ori").read_bytes() == str(tree["d00"]["b00"]).encode()
    assert (folder / "b02.d7ori").read_bytes() == old
    assert sorted(os.listdir(folder)) == ["b00.d7ori", "b01.d7ori", "b02.d7ori"]


def test_a_save_short_of_file_handles_writes_the_books_it_holds_first(tmp_path):
    # The books of a batch hold a few handles each until their commit: a process near its limit still saves.
    out = run_json(f"""
import resource
folder = {str(tmp_path / "t")!r}
tree = D({{f"b{{i:02d}}": B(values={{"v": i}}) for i in range(64)}})
tree.save(folder)
free = os.open(folder, os.O_RDONLY)
os.close(free)
resource.setrlimit(resource.RLIMIT_NOFILE, (free + 20, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
tree["b63"].set_parameter_value("v", "new")
tree.save(folder)
print(json.dumps(D.load(folder)["b63"].get_parameter_value("v")))
""")
    assert out == "new"
