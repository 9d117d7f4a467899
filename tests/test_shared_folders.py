"""Saves into folders that another user may write: a second user (made with useradd) races the saver,
swaps links, reads what it can; and saves where fallocate is missing or killed saves left files."""
import errno
import fcntl
import os
import pwd
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import time

import pytest
from childrun import _child_env
from helpers import TEMP_NAME

from r7u_razarozu import ParameterBook, ParameterDirectory

pytestmark = pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="needs root to make a second user")


@pytest.fixture(scope="module")
def other():
    subprocess.run(["useradd", "--system", "--no-create-home", "r7u-other"], capture_output=True)
    try:
        return pwd.getpwnam("r7u-other")
    except KeyError:
        pytest.skip("useradd could not make a second user")


def as_user(user, loop):
    """A process of `user` that runs loop() until killed."""
    pid = os.fork()
    if pid == 0:  # pragma: no cover - child
        try:
            os.setgroups([]), os.setgid(user.pw_gid), os.setuid(user.pw_uid), loop()
        finally:
            os._exit(0)
    return pid


def stop(pid):
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)


def mkdir(path, owner, mode=0o755):
    os.mkdir(path, mode)
    os.chown(path, owner.pw_uid, owner.pw_gid)
    return path


HELPERS = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/fs.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(SLOW_FCHOWN) /* each change of owner takes a round trip, as on a network file system */
int fchown(int fd, uid_t u, gid_t g) { usleep(2000); return ((int (*)(int, uid_t, gid_t))dlsym(RTLD_NEXT, "fchown"))(fd, u, g); }
#elif defined(NO_FALLOCATE) /* runs argv[1:] with fallocate() answering EOPNOTSUPP, as on NFSv3, 9p or FUSE */
int main(int argc, char **argv) {
    struct sock_filter f[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                              BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fallocate, 0, 1),
                              BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
                              BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    struct sock_fprog prog = {4, f};
    if (argc < 2 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog)) return 126;
    return execvp(argv[1], argv + 1);
}
#else /* once the saver opens mine/book.d7ori, having looked at it, swaps the links private and spare for a while */
int main(int argc, char **argv) {
    char buf[4096];
    int in = inotify_init();
    if (argc < 2 || chdir(argv[1]) || inotify_add_watch(in, "mine", IN_OPEN) < 0) return 1;
    for (;;)
        for (int i = 0; read(in, buf, sizeof buf) > 0 && i < 2; ++i, usleep(3000))
            syscall(SYS_renameat2, AT_FDCWD, "private", AT_FDCWD, "spare", RENAME_EXCHANGE);
}
#endif
"""


def compile_c(folder, name, *flags):
    """One of the HELPERS, built into `folder`."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("no C compiler")
    with open(os.path.join(folder, "helpers.c"), "w") as f:
        f.write(HELPERS)
    subprocess.run([cc, *flags, "-o", os.path.join(folder, name), os.path.join(folder, "helpers.c")], check=True, timeout=300)
    return os.path.join(folder, name)


def test_a_swapped_folder_link_never_hands_a_private_file_over(other, open_dir):
    """The other user swaps the link `shared/private` from its own folder to root's while root saves
    through it: root's private file must keep its owner and mode, whichever folder each save reached."""
    flipper = compile_c(open_dir, "flipper")  # where the other user may run it
    real = os.path.join(open_dir, "real")
    os.mkdir(real, 0o700)
    shared = mkdir(os.path.join(open_dir, "shared"), other)
    mine = mkdir(os.path.join(shared, "mine"), other)
    victim, bait = os.path.join(real, "book.d7ori"), os.path.join(mine, "book.d7ori")
    for path, owner, mode in ((victim, 0, 0o600), (bait, other.pw_uid, 0o666)):
        ParameterBook().save(path)
        os.chown(path, owner, owner)
        os.chmod(path, mode)
    link = os.path.join(shared, "private")
    os.symlink("mine", link)
    os.symlink(real, os.path.join(shared, "spare"))
    pid = as_user(other, lambda: os.execv(flipper, [flipper, shared]))
    book, outcomes = ParameterBook(values={"secret": "root only"}), set()
    try:
        time.sleep(0.2)
        for _ in range(300):
            try:
                book.save(os.path.join(link, "book.d7ori"))
                outcomes.add("saved")
            except OSError as e:
                outcomes.add(str(e))
            st = os.stat(victim)
            assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (0, 0o600)
    finally:
        stop(pid)
    assert "saved" in outcomes
    assert outcomes <= {"saved", f"[Errno {errno.EBUSY}] The file was replaced by another during the save; "
                                 f"it was left as it is: '{os.path.join(link, 'book.d7ori')}'"}
    assert os.stat(bait).st_uid == other.pw_uid


@pytest.mark.parametrize("link_owner, folder_owner, followed", [
    ("other", "root", False), ("root", "root", True), ("other", "other", True), ("root", "other", True)])
def test_book_file_links_follow_the_protected_links_rule(other, open_dir, link_owner, folder_owner, followed):
    users = {"root": pwd.getpwuid(0), "other": other}
    folder = mkdir(os.path.join(open_dir, "sticky"), users[folder_owner], 0o1777)
    os.chmod(folder, 0o1777)
    target = os.path.join(open_dir, "target.d7ori")
    ParameterBook(values={"v": 1}).save(target)
    link = os.path.join(folder, "b.d7ori")
    os.symlink(target, link)
    os.lchown(link, users[link_owner].pw_uid, users[link_owner].pw_gid)
    if followed:
        ParameterBook(values={"v": 2}).save(link)
    else:
        with pytest.raises(PermissionError) as e:
            ParameterBook(values={"v": 2}).save(link)
        assert e.value.filename == link
    assert os.path.islink(link) and ParameterBook.load(target).v.value == (2 if followed else 1)
    assert sorted(os.listdir(folder)) == ["b.d7ori"]


def test_another_user_never_reads_a_private_books_new_text(other, open_dir, tmp_path):
    path = os.path.join(open_dir, "b.d7ori")
    ParameterBook().save(path)
    os.chmod(path, 0o600)
    found = mkdir(os.path.join(open_dir, "found"), other)

    def poll():
        # Opens whatever it may, and reads it again later: the text may come after the open.
        held, n = {}, 0
        while True:
            for name in set(os.listdir(open_dir)) - set(held) - {"found"}:
                try:
                    held[name] = os.open(os.path.join(open_dir, name), os.O_RDONLY)
                except OSError:
                    pass
            for name, fd in list(held.items()):
                if b"SECRET" in os.pread(fd, 1 << 20, 0):
                    n += 1
                    open(os.path.join(found, str(n)), "w").close()
                    os.close(held.pop(name))

    env = _child_env()
    env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"),
                                               compile_c(tmp_path, "slow.so", "-DSLOW_FCHOWN", "-shared", "-fPIC")]))
    code = "import sys\nfrom r7u_razarozu import ParameterBook as B\n" \
           "for i in range(150): B(values={'v': f'SECRET {i}'}).save(sys.argv[1])"
    poller = as_user(other, poll)
    try:
        subprocess.run([sys.executable, "-c", code, path], env=env, check=True, timeout=300)
    finally:
        stop(poller)
    assert os.listdir(found) == [] and stat.S_IMODE(os.stat(path).st_mode) == 0o600


def test_in_place_saves_without_fallocate(open_dir, tmp_path):
    launcher = compile_c(tmp_path, "launcher", "-DNO_FALLOCATE")
    tiny = os.path.join(open_dir, "tiny")
    os.mkdir(tiny)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "r7u-tiny", tiny]).returncode:
        pytest.skip("cannot mount a tmpfs")
    code = textwrap.dedent("""
        import errno, os, sys
        from r7u_razarozu import ParameterBook as B
        try:  # the C library's stand-in reads the write-only file
            os.posix_fallocate(os.open(os.path.join(sys.argv[1], "probe"), os.O_WRONLY | os.O_CREAT), 0, 8192)
        except OSError as e:
            assert e.errno == errno.EBADF, e
        big = lambda n: B(values={f"k{i:04d}": "x" * 200 for i in range(n)})
        for folder, grow in ((sys.argv[1], 40), (sys.argv[2], 1000)):
            path = os.path.join(folder, "b.d7ori")
            big(20).save(path)  # more than a block, so the stand-in reads what is there
            os.link(path, path + ".link")  # a file with two names is written in place
            try:
                big(grow).save(path)
            except OSError as e:
                print(errno.errorcode[e.errno], end=" ")
            print(os.path.getsize(path), str(B.load(path + ".link")) == str(big(grow)), end=" ")
    """)
    try:
        r = subprocess.run([launcher, sys.executable, "-c", code, str(tmp_path), tiny],
                           capture_output=True, text=True, env=os.environ, timeout=300)
    finally:
        subprocess.run(["umount", tiny], check=True)
    assert r.returncode == 0, r.stderr
    # Grown past many blocks where there is room; the old text whole on a full disk.
    size = [len(str(ParameterBook(values={f"k{i:04d}": "x" * 200 for i in range(n)}))) for n in (40, 20)]
    assert r.stdout.split() == [str(size[0]), "True", "ENOSPC", str(size[1]), "False"]


def locked(name):
    fd = os.open(name, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False  # stopped between making it and locking it
    except BlockingIOError:
        return True
    finally:
        os.close(fd)


def test_a_save_clears_only_unlocked_temporary_files_of_its_own_kind(tmp_path):
    """A saver stopped mid-save holds its temporary file: it stays; killed, the next save clears it.
    Files of the same shape that no save made stay always."""
    code = "import sys\nfrom r7u_razarozu import ParameterBook as B\n" \
           "b = B(values={f'k{i:05d}': 'v' * 300 for i in range(3000)})\nwhile True: b.save(sys.argv[1])"
    saver = subprocess.Popen([sys.executable, "-c", code, str(tmp_path / "a")], env=_child_env())
    lookalikes = {".a.d7ori.abcdefghijklmnop.tmp", ".a.d7ori.AbCdEfGhIj.tmp", ".notes.tmp"}
    for name in lookalikes:
        (tmp_path / name).write_bytes(b"mine")
    try:
        for _ in range(500):
            time.sleep(0.01)
            saver.send_signal(signal.SIGSTOP)
            temps = [tmp_path / n for n in os.listdir(tmp_path) if TEMP_NAME.match(n) and n not in lookalikes]
            if temps and (tmp_path / "a.d7ori").exists() and all(map(locked, temps)):
                break
            saver.send_signal(signal.SIGCONT)
        assert temps, "never stopped a save with its temporary file"
        ParameterBook().save(str(tmp_path / "b"))
        assert set(os.listdir(tmp_path)) == {"a.d7ori", "b.d7ori", *(t.name for t in temps), *lookalikes}
    finally:
        saver.kill()
        saver.wait()
    ParameterDirectory({"b": ParameterBook()}).save(str(tmp_path))
    assert set(os.listdir(tmp_path)) == {"b.d7ori", *lookalikes}
