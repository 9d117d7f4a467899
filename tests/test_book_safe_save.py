"""Saving a book replaces its file atomically: old or new text, whole, with the file's metadata kept."""
import errno
import os
import random
import stat
import subprocess
import sys
import textwrap
import threading

import pytest

import r7u_razarozu as mod
from helpers import TEMP_NAME
from platforms import needs_fifos, needs_fork, needs_posix_modes, needs_symlinks
from r7u_razarozu import ParameterBook

IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
NOBODY = 65534



def big_book(letter, count=2000):
    return ParameterBook(values={f"k{i:05d}": letter * 200 for i in range(count)})


def others(folder, *keep):
    return sorted(set(os.listdir(folder)) - set(keep))


def in_child(fn, drop_privileges=True):
    """Runs fn() in a forked child (as nobody when we are root); returns its text result."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            os.close(r)
            if drop_privileges and IS_ROOT:
                os.setgroups([])
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            result = str(fn())
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            result = f"{type(e).__name__}: {e}"
        os.write(w, result.encode())
        os._exit(0)
    os.close(w)
    chunks = []
    while chunk := os.read(r, 65536):
        chunks.append(chunk)
    os.close(r)
    os.waitpid(pid, 0)
    return b"".join(chunks).decode()


# ---------------------------------------------------------------------------
# Atomic replacement
# ---------------------------------------------------------------------------
CHILD = """
import sys
import r7u_razarozu as m
path = sys.argv[1]
books = [m.ParameterBook(values={f"k{i:05d}": letter * 200 for i in range(int(sys.argv[2]))}) for letter in "AB"]
print("ready", flush=True)
while True:
    for b in books:
        b.save(path, False)
"""


def test_killed_saves_leave_old_or_new_text_whole(tmp_path):
    path = str(tmp_path / "x.d7ori")
    count = 4000
    texts = {str(big_book(letter, count)) for letter in "AB"}
    big_book("A", count).save(path, False)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(mod.__file__))] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    rng = random.Random(1234)
    seen = set()
    for _ in range(25):
        child = subprocess.Popen([sys.executable, "-c", CHILD, path, str(count)], stdout=subprocess.PIPE, env=env)
        try:
            assert child.stdout.readline() == b"ready\n"
            threading.Event().wait(rng.uniform(0, 0.25))
        finally:
            child.kill()  # SIGKILL, or TerminateProcess
            child.wait()
            child.stdout.close()
        with open(path, encoding="utf8") as f:
            text = f.read()
        assert text in texts
        seen.add(text[text.index('"value": "') + 10])
        # A killed save may leave its temporary file; nothing else appears.
        for name in others(tmp_path, "x.d7ori"):
            assert TEMP_NAME.match(name), name
            assert not name.endswith("d7ori") and not name.endswith("d7ori-")
            os.remove(tmp_path / name)
    assert seen  # at least one complete text was always found


def test_replacement_makes_a_new_file_and_leaves_nothing_else(tmp_path):
    path = tmp_path / "x.d7ori"
    ParameterBook(values={"a": 1}).save(str(path))
    before = os.stat(path).st_ino
    ParameterBook(values={"a": 2}).save(str(path))
    assert os.stat(path).st_ino != before
    assert ParameterBook.load(str(path)).a.value == 2
    assert others(tmp_path) == ["x.d7ori"]


def test_concurrent_saves_of_one_file(tmp_path):
    path = str(tmp_path / "x.d7ori")
    books = [big_book(letter, 300) for letter in "ABCD"]
    texts = {str(b) for b in books}
    errors = []

    def work(b):
        try:
            for _ in range(15):
                b.save(path, False)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(b,)) for b in books]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with open(path, encoding="utf8") as f:
        assert f.read() in texts
    assert others(tmp_path) == ["x.d7ori"]


# ---------------------------------------------------------------------------
# Metadata
# ---------------------------------------------------------------------------
@needs_posix_modes
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o754, 0o2775, 0o444])
def test_existing_file_keeps_its_permission_bits(tmp_path, mode):
    if not mode & 0o200 and not IS_ROOT:
        pytest.skip("only root may write a read-only file")
    path = str(tmp_path / "x.d7ori")
    ParameterBook().save(path)
    os.chmod(path, mode)
    ParameterBook(values={"a": 1}).save(path)
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert ParameterBook.load(path).a.value == 1


@needs_posix_modes
@pytest.mark.parametrize("umask", [0o022, 0o027, 0o077, 0o000])
def test_new_file_gets_0666_less_umask(tmp_path, umask):
    old = os.umask(umask)
    try:
        ParameterBook().save(str(tmp_path / "x"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "x.d7ori").st_mode) == 0o666 & ~umask


@pytest.mark.skipif(not IS_ROOT, reason="changing a file's owner needs root")
@needs_posix_modes
def test_existing_file_keeps_owner_and_group(tmp_path):
    path = str(tmp_path / "x.d7ori")
    ParameterBook().save(path)
    os.chown(path, 12345, 23456)
    os.chmod(path, 0o4640)
    ParameterBook(values={"a": 1}).save(path)
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (12345, 23456, 0o4640)
    assert ParameterBook.load(path).a.value == 1


@needs_symlinks
def test_symlinks_are_written_through(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    ParameterBook().save(str(real / "x"))
    os.symlink("real/x.d7ori", tmp_path / "rel.d7ori")
    os.symlink(tmp_path / "rel.d7ori", tmp_path / "chain.d7ori")
    os.symlink(os.path.join("real", "new.d7ori"), tmp_path / "dangling.d7ori")
    inode = os.stat(real / "x.d7ori").st_ino

    ParameterBook(values={"a": 1}).save(str(tmp_path / "rel"))
    assert os.readlink(tmp_path / "rel.d7ori") == "real/x.d7ori"
    assert ParameterBook.load(str(real / "x.d7ori")).a.value == 1
    assert os.stat(real / "x.d7ori").st_ino != inode

    ParameterBook(values={"a": 2}).save(str(tmp_path / "chain"))
    assert os.path.islink(tmp_path / "chain.d7ori") and os.path.islink(tmp_path / "rel.d7ori")
    assert ParameterBook.load(str(real / "x.d7ori")).a.value == 2

    ParameterBook(values={"a": 3}).save(str(tmp_path / "dangling"))
    assert os.path.islink(tmp_path / "dangling.d7ori")
    assert ParameterBook.load(str(real / "new.d7ori")).a.value == 3
    assert others(real) == ["new.d7ori", "x.d7ori"]
    assert others(tmp_path) == ["chain.d7ori", "dangling.d7ori", "real", "rel.d7ori"]


@needs_symlinks
def test_symlink_loop_gets_the_hosts_error(tmp_path):
    os.symlink("b.d7ori", tmp_path / "a.d7ori")
    os.symlink("a.d7ori", tmp_path / "b.d7ori")
    with pytest.raises(OSError) as e:
        ParameterBook().save(str(tmp_path / "a"))
    assert e.value.errno == errno.ELOOP
    assert others(tmp_path) == ["a.d7ori", "b.d7ori"]


def test_hard_links_are_written_in_place(tmp_path):
    ParameterBook().save(str(tmp_path / "x"))
    os.link(tmp_path / "x.d7ori", tmp_path / "y.d7ori")
    inode = os.stat(tmp_path / "x.d7ori").st_ino
    ParameterBook(values={"a": 1}).save(str(tmp_path / "x"))
    assert os.stat(tmp_path / "x.d7ori").st_ino == inode
    assert ParameterBook.load(str(tmp_path / "y.d7ori")).a.value == 1
    assert others(tmp_path) == ["x.d7ori", "y.d7ori"]


@needs_fifos
def test_special_files_are_not_replaced(tmp_path):
    fifo = tmp_path / "p.d7ori"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        ParameterBook().save(str(tmp_path / "p"))
        assert os.read(reader, 100) == b"[]"
    finally:
        os.close(reader)
    # Without a reader the save fails at once instead of waiting for one.
    with pytest.raises(OSError) as e:
        ParameterBook().save(str(tmp_path / "p"))
    assert e.value.errno == errno.ENXIO and e.value.filename == str(tmp_path / "p.d7ori")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert others(tmp_path) == ["p.d7ori"]
    # Character devices are written in place, never replaced.
    ParameterBook().save(os.devnull, False)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


# ---------------------------------------------------------------------------
# Where no temporary file can be made: the in-place write
# ---------------------------------------------------------------------------
@needs_posix_modes
def test_read_only_folder_falls_back_to_writing_in_place(open_dir):
    ro = os.path.join(open_dir, "ro")
    os.mkdir(ro)
    path = os.path.join(ro, "x.d7ori")
    ParameterBook().save(path)
    os.chmod(path, 0o666)
    os.chmod(ro, 0o555)
    inode = os.stat(path).st_ino

    def scenario():
        out = []
        ParameterBook(values={"a": 1}).save(path)
        out.append("saved")
        try:
            ParameterBook().save(os.path.join(ro, "new"))
        except PermissionError:
            out.append("PermissionError")
        return " ".join(out)

    assert in_child(scenario) == "saved PermissionError"
    assert os.stat(path).st_ino == inode
    assert ParameterBook.load(path).a.value == 1
    assert others(ro) == ["x.d7ori"]


@needs_posix_modes
def test_a_file_that_cannot_be_written_is_not_replaced(open_dir):
    path = os.path.join(open_dir, "x.d7ori")
    ParameterBook(values={"a": 1}).save(path)
    os.chmod(open_dir, 0o777)
    os.chmod(path, 0o444)
    if not IS_ROOT:
        pytest.skip("needs a second user: the owner may replace a read-only file")

    def scenario():
        try:
            ParameterBook(values={"a": 2}).save(path)
        except PermissionError:
            return "PermissionError"
        return "saved"

    assert in_child(scenario) == "PermissionError"
    assert ParameterBook.load(path).a.value == 1
    assert others(open_dir) == ["x.d7ori"]


@pytest.mark.skipif(not IS_ROOT, reason="needs a file owned by another user")
@needs_posix_modes
def test_sticky_folder_refusing_the_rename_falls_back(open_dir):
    os.chmod(open_dir, 0o1777)
    path = os.path.join(open_dir, "x.d7ori")
    ParameterBook().save(path)
    os.chmod(path, 0o666)
    inode = os.stat(path).st_ino

    def scenario():
        ParameterBook(values={"a": 5}).save(path)
        return "saved"

    assert in_child(scenario) == "saved"
    st = os.stat(path)
    assert (st.st_ino, st.st_uid) == (inode, 0)
    assert ParameterBook.load(path).a.value == 5
    assert others(open_dir) == ["x.d7ori"]


# ---------------------------------------------------------------------------
# Errors leave no temporary file and the old text
# ---------------------------------------------------------------------------
@needs_fork
def test_write_error_keeps_the_old_file_and_removes_the_temporary(tmp_path):
    path = str(tmp_path / "x.d7ori")
    ParameterBook(values={"a": 1}).save(path)
    before = open(path, "rb").read()

    def scenario():
        import resource

        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        try:
            big_book("A", 100).save(path)
        except OSError as e:
            return f"{type(e).__name__} {errno.errorcode[e.errno]} {e.filename == path}"
        return "saved"

    assert in_child(scenario, drop_privileges=False) == "OSError EFBIG True"
    assert open(path, "rb").read() == before
    assert others(tmp_path) == ["x.d7ori"]


def test_long_names_still_get_a_temporary_file_that_fits(tmp_path):
    name = "é" * 60 + "x" * 70
    path = str(tmp_path / name)
    ParameterBook(values={"a": 1}).save(path)
    inode = os.stat(path + ".d7ori").st_ino
    ParameterBook(values={"a": 2}).save(path)
    assert os.stat(path + ".d7ori").st_ino != inode
    assert others(tmp_path) == [name + ".d7ori"]


def test_failed_saves_create_nothing(tmp_path):
    os.mkdir(tmp_path / "d.d7ori")
    with pytest.raises(IsADirectoryError if os.name == "posix" else PermissionError):
        ParameterBook().save(str(tmp_path / "d"))
    with pytest.raises(UnicodeEncodeError):
        ParameterBook(values={"a": "\udcff"}).save(str(tmp_path / "s"))
    assert others(tmp_path) == ["d.d7ori"] and os.listdir(tmp_path / "d.d7ori") == []


@needs_posix_modes
def test_assertions_off_subprocess_writes_the_same_way(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(mod.__file__))] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    code = textwrap.dedent(
        """
        import os, r7u_razarozu as m
        m.ParameterBook(values={"a": 1}).save("x")
        os.chmod("x.d7ori", 0o640)
        m.ParameterBook(values={"a": 2}).save("x")
        print(oct(os.stat("x.d7ori").st_mode & 0o777), sorted(os.listdir(".")))
        """
    )
    r = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, env=env, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split(" ", 1) == ["0o640", "['x.d7ori']\n"]


# ---------------------------------------------------------------------------
# A real full disk
# ---------------------------------------------------------------------------
@pytest.fixture
def tiny_fs(tmp_path):
    """A file system of 64 KiB (root only), for saves that run out of space."""
    d = tmp_path / "tiny"
    d.mkdir()
    if not IS_ROOT or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "r7u-tiny", str(d)],
                                     capture_output=True).returncode:
        pytest.skip("needs root and a mountable tmpfs")
    yield d
    subprocess.run(["umount", str(d)], check=True)


def test_a_full_disk_keeps_the_old_file_and_raises_the_hosts_error(tiny_fs):
    path = str(tiny_fs / "x.d7ori")
    ParameterBook(values={"a": 1}).save(path)
    before = open(path, "rb").read()
    with pytest.raises(OSError) as e:
        big_book("A", 1000).save(path)  # about 260 KB
    assert type(e.value) is OSError and e.value.errno == errno.ENOSPC and e.value.filename == path
    assert str(e.value) == str(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path))
    assert open(path, "rb").read() == before
    assert others(tiny_fs) == ["x.d7ori"]
    # The same book fits once there is room: nothing was left taking space.
    ParameterBook(values={"a": 2}).save(path)
    assert ParameterBook.load(path).a.value == 2
